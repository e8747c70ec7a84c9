// Linux stand-in for the Win32 threads the payload's decoding uses: POSIX threads.
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform.h"

struct os_thread_ {
    pthread_t id;
    void (*run)(void *);
    void *arg;
};

namespace {

void *trampoline(void *t) {
    os_thread_ *thread = static_cast<os_thread_ *>(t);
    thread->run(thread->arg);
    return nullptr;
}

}  // namespace

os_thread os_thread_start(void (*run)(void *arg), void *arg) {
    os_thread_ *t = static_cast<os_thread_ *>(malloc(sizeof(os_thread_)));
    if (!t) return nullptr;
    t->run = run;
    t->arg = arg;
    pthread_attr_t attr;
    bool started = pthread_attr_init(&attr) == 0;
    if (started) {
        pthread_attr_setstacksize(&attr, 256 * 1024);
        started = pthread_create(&t->id, &attr, trampoline, t) == 0;
        pthread_attr_destroy(&attr);
    }
    if (started) return t;
    free(t);
    return nullptr;
}

void os_thread_join(os_thread t) {
    pthread_join(t->id, nullptr);
    free(t);
}

// The processors this process may run on (taskset and cgroup sets count), as Windows reports
// those of the process's group.
unsigned os_processor_count(void) {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return unsigned(CPU_COUNT(&set));
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? unsigned(n) : 1;
}
