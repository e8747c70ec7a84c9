// Win32 threads for the payload's decoding: CreateThread, nothing of the runtime library's.
//
// The thread functions call libbzip2, which uses msvcrt's malloc and free: msvcrt sets up its
// per-thread data on demand for threads that CreateThread started, so no _beginthreadex is needed.
#include <windows.h>

#include <stdlib.h>

#include "platform.h"

struct os_thread_ {
    HANDLE handle;
    void (*run)(void *);
    void *arg;
};

namespace {

DWORD WINAPI trampoline(void *t) {
    os_thread_ *thread = static_cast<os_thread_ *>(t);
    thread->run(thread->arg);
    return 0;
}

}  // namespace

os_thread os_thread_start(void (*run)(void *arg), void *arg) {
    os_thread_ *t = static_cast<os_thread_ *>(malloc(sizeof(os_thread_)));
    if (!t) return nullptr;
    t->run = run;
    t->arg = arg;
    t->handle = CreateThread(nullptr, 256 * 1024, trampoline, t, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (t->handle) return t;
    free(t);
    return nullptr;
}

void os_thread_join(os_thread t) {
    WaitForSingleObject(t->handle, INFINITE);
    CloseHandle(t->handle);
    free(t);
}

unsigned os_processor_count(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? unsigned(info.dwNumberOfProcessors) : 1;
}
