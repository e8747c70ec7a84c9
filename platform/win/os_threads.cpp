// Win32 worker threads for the payload's decoding: CreateThread and two events, nothing of the runtime library's.
//
// The jobs call libbzip2 and msvcrt's malloc and string functions: msvcrt sets up its per-thread
// data on demand for threads that CreateThread started, so no _beginthreadex is needed. Events, not condition variables, so that the installer still starts
// on Windows XP.
#include <windows.h>

#include <stdlib.h>

#include "platform.h"

// go is set when a job is handed (or the worker is to end: run null), done when it has returned.
// Both reset themselves as their one waiter wakes. Setting and waiting order memory both ways.
struct os_worker_ {
    HANDLE thread, go, done;
    void (*run)(void *);
    void *arg;
};

namespace {

DWORD WINAPI serve(void *w) {
    os_worker_ *worker = static_cast<os_worker_ *>(w);
    for (;;) {
        WaitForSingleObject(worker->go, INFINITE);
        if (!worker->run) return 0;
        worker->run(worker->arg);
        SetEvent(worker->done);
    }
}

void release(os_worker_ *w) {
    if (w->go) CloseHandle(w->go);
    if (w->done) CloseHandle(w->done);
    free(w);
}

}  // namespace

os_worker os_worker_start(void) {
    os_worker_ *w = static_cast<os_worker_ *>(calloc(1, sizeof(os_worker_)));
    if (!w) return nullptr;
    w->go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (w->go && w->done)
        w->thread = CreateThread(nullptr, 256 * 1024, serve, w, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (w->thread) return w;
    release(w);
    return nullptr;
}

void os_worker_give(os_worker w, void (*run)(void *arg), void *arg) {
    w->run = run;
    w->arg = arg;
    SetEvent(w->go);
}

void os_worker_wait(os_worker w) { WaitForSingleObject(w->done, INFINITE); }

void os_worker_stop(os_worker w) {
    w->run = nullptr;
    SetEvent(w->go);
    WaitForSingleObject(w->thread, INFINITE);
    CloseHandle(w->thread);
    release(w);
}

unsigned os_processor_count(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? unsigned(info.dwNumberOfProcessors) : 1;
}
