// Win32 flushes of many new files, started ahead and taken side by side.
//
// FlushFileBuffers waits for the disk, one file at a time, and Windows has no call that only
// starts a file's write-out. So os_start_write_out_at hands the file to a few threads of this
// file's own, which flush the files side by side while the caller goes on; os_fsync_at then only
// waits for the flush it asks for, when it asks for the started files in the order they were
// started (as the change does). Anything else is flushed there and then. No core code runs on
// these threads: they open, flush and close a file, nothing more. While a flusher holds a file
// open, the file cannot be deleted for good, nor its name taken: so before anything is deleted,
// the flushers finish what they hold and take nothing more (os_flushes_quiet).
#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "os_wide.h"

namespace {

const unsigned kFlushers = 4;

enum { kQueued, kTaken, kDone };

struct flush_job {
    wchar_t *path;        // the file's path, as the W calls take it
    volatile LONG state;  // kQueued, then kTaken by a flusher or the caller, then kDone
    bool ok;
    flush_job *next;
};

// The jobs in the order they were started: the flushers take from next_to_take on, the caller
// from head.
struct flush_queue {
    CRITICAL_SECTION lock;
    HANDLE work;       // set while a job waits for a flusher
    HANDLE progress;   // set each time a job is done
    flush_job *head = nullptr, *tail = nullptr, *next_to_take = nullptr;
    unsigned running = 0;
    bool started = false;
};
flush_queue queue;

flush_job *take(void) {
    EnterCriticalSection(&queue.lock);
    flush_job *job = queue.next_to_take;
    while (job && job->state != kQueued) job = job->next;
    if (job) {
        job->state = kTaken;
        queue.running++;
    }
    queue.next_to_take = job ? job->next : nullptr;
    if (!queue.next_to_take) ResetEvent(queue.work);
    LeaveCriticalSection(&queue.lock);
    return job;
}

DWORD WINAPI flusher(void *) {
    for (;;) {
        WaitForSingleObject(queue.work, INFINITE);
        while (flush_job *job = take()) {
            HANDLE h = CreateFileW(job->path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            job->ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            EnterCriticalSection(&queue.lock);
            job->state = kDone;
            queue.running--;
            LeaveCriticalSection(&queue.lock);
            SetEvent(queue.progress);
        }
    }
}

bool start_flushers(void) {
    if (queue.started) return true;
    InitializeCriticalSection(&queue.lock);
    queue.work = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    queue.progress = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!queue.work || !queue.progress) return false;
    for (unsigned i = 0; i < kFlushers; i++) {
        HANDLE t = CreateThread(nullptr, 64 << 10, flusher, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (!t) return i > 0;
        CloseHandle(t);
    }
    return queue.started = true;
}

// A plain flush, on the caller's thread.
bool flush_now(const wchar_t *path) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = FlushFileBuffers(h);
    CloseHandle(h);
    return ok;
}

}  // namespace

void os_start_write_out_path(const wchar_t *path) {
    flush_job *job = static_cast<flush_job *>(malloc(sizeof(flush_job)));
    size_t n = wcslen(path) + 1;
    if (!job || !(job->path = static_cast<wchar_t *>(malloc(n * sizeof(wchar_t)))) || !start_flushers()) {
        if (job) free(job->path);
        free(job);
        return;
    }
    memcpy(job->path, path, n * sizeof(wchar_t));
    job->state = kQueued;
    job->ok = false;
    job->next = nullptr;
    EnterCriticalSection(&queue.lock);
    if (queue.tail) queue.tail->next = job;
    else queue.head = job;
    queue.tail = job;
    if (!queue.next_to_take) queue.next_to_take = job;
    SetEvent(queue.work);
    LeaveCriticalSection(&queue.lock);
}

bool os_fsync_path(const wchar_t *path) {
    flush_job *job = nullptr;
    bool mine = false;
    if (queue.started) {
        EnterCriticalSection(&queue.lock);
        if (queue.head && wcscmp(queue.head->path, path) == 0) {
            job = queue.head;
            queue.head = job->next;
            if (!queue.head) queue.tail = nullptr;
            if (queue.next_to_take == job) queue.next_to_take = job->next;
            // Not taken by a flusher yet: this thread flushes it itself.
            mine = job->state == kQueued;
            if (mine) job->state = kTaken;
        }
        LeaveCriticalSection(&queue.lock);
    }
    bool ok;
    if (!job || mine) {
        ok = flush_now(path);
    } else {
        while (job->state != kDone) WaitForSingleObject(queue.progress, INFINITE);
        ok = job->ok;
    }
    if (job) {
        free(job->path);
        free(job);
    }
    return ok;
}

void os_flushes_quiet(void) {
    if (!queue.started) return;
    EnterCriticalSection(&queue.lock);
    queue.next_to_take = nullptr;
    ResetEvent(queue.work);
    LeaveCriticalSection(&queue.lock);
    for (;;) {
        EnterCriticalSection(&queue.lock);
        unsigned running = queue.running;
        LeaveCriticalSection(&queue.lock);
        if (running == 0) return;
        WaitForSingleObject(queue.progress, INFINITE);
    }
}
