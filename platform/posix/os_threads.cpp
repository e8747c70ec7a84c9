// Linux stand-in for the Win32 worker threads the payload's decoding uses: POSIX threads.
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform.h"

// The two events of the Windows build, as one mutex and its condition: a job handed (run set) and
// a job done (run cleared); stopping hands no job.
struct os_worker_ {
    pthread_t id;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    void (*run)(void *);
    void *arg;
    bool stopping;
};

namespace {

void *serve(void *w) {
    os_worker_ *worker = static_cast<os_worker_ *>(w);
    pthread_mutex_lock(&worker->lock);
    for (;;) {
        while (!worker->run && !worker->stopping) pthread_cond_wait(&worker->changed, &worker->lock);
        if (!worker->run) break;
        pthread_mutex_unlock(&worker->lock);
        worker->run(worker->arg);
        pthread_mutex_lock(&worker->lock);
        worker->run = nullptr;
        pthread_cond_broadcast(&worker->changed);
    }
    pthread_mutex_unlock(&worker->lock);
    return nullptr;
}

}  // namespace

os_worker os_worker_start(void) {
    os_worker_ *w = static_cast<os_worker_ *>(calloc(1, sizeof(os_worker_)));
    if (!w) return nullptr;
    pthread_mutex_init(&w->lock, nullptr);
    pthread_cond_init(&w->changed, nullptr);
    pthread_attr_t attr;
    bool started = pthread_attr_init(&attr) == 0;
    if (started) {
        pthread_attr_setstacksize(&attr, 256 * 1024);
        started = pthread_create(&w->id, &attr, serve, w) == 0;
        pthread_attr_destroy(&attr);
    }
    if (started) return w;
    pthread_cond_destroy(&w->changed);
    pthread_mutex_destroy(&w->lock);
    free(w);
    return nullptr;
}

void os_worker_give(os_worker w, void (*run)(void *arg), void *arg) {
    pthread_mutex_lock(&w->lock);
    w->run = run;
    w->arg = arg;
    pthread_cond_broadcast(&w->changed);
    pthread_mutex_unlock(&w->lock);
}

void os_worker_wait(os_worker w) {
    pthread_mutex_lock(&w->lock);
    while (w->run) pthread_cond_wait(&w->changed, &w->lock);
    pthread_mutex_unlock(&w->lock);
}

void os_worker_stop(os_worker w) {
    pthread_mutex_lock(&w->lock);
    w->stopping = true;
    pthread_cond_broadcast(&w->changed);
    pthread_mutex_unlock(&w->lock);
    pthread_join(w->id, nullptr);
    pthread_cond_destroy(&w->changed);
    pthread_mutex_destroy(&w->lock);
    free(w);
}

// The processors this process may run on (taskset and cgroup sets count), as Windows reports
// those of the process's group.
unsigned os_processor_count(void) {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return unsigned(CPU_COUNT(&set));
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? unsigned(n) : 1;
}
