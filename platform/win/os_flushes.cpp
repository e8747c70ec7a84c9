// Win32 flushes of many new files, started ahead and taken side by side.
//
// FlushFileBuffers waits for the disk, one file at a time, and Windows has no call that only
// starts a file's write-out. So os_fclose_and_write_out hands the new file's own handle to a few
// threads of this file's own, which flush the files side by side and close them while the caller
// goes on; os_fsync_at then only waits for the flush it asks for, when it asks for the started
// files in the order they were started (as the change does); anything else is flushed there and
// then, by its path. No core code runs on these threads: they flush and close a handle, nothing
// more. A handle handed over keeps its file open, shared for reading alone: nobody can delete,
// rename or write it meanwhile, this run included. So before anything is deleted or renamed, the
// flushers finish what they hold, and what they have not taken yet is closed unflushed
// (os_flushes_quiet); a file started before that may no longer be the one at its name, and is
// flushed by its path when it is asked for. At the end of a change nothing stays open
// (os_end_write_outs).
//
// Every wake-up goes to a thread that sleeps, never to one that is busy: each is a call to the
// system (under Wine a round trip to its server), and a run starts thousands of flushes.
#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "os_wide.h"
#include "platform.h"

namespace {

const unsigned kFlushers = 4;

enum { kQueued, kTaken, kDone };

struct flush_job {
    wchar_t *path;   // the file's path, as the W calls take it
    HANDLE handle;   // its handle, until it is closed; null once closed unflushed
    unsigned era;    // the queue's era when it was started
    int state;       // kQueued, then kTaken by a flusher or the caller, then kDone
    bool ok;
    flush_job *next;
};

// The jobs in the order they were started, each until the caller has asked for its flush; the
// flushers take them from next_to_take on. Everything here is under the lock.
struct flush_queue {
    CRITICAL_SECTION lock;
    HANDLE work;      // a semaphore, released once for each sleeping flusher that a new job wakes
    HANDLE progress;  // set when a flusher is done with a job while the caller waits
    flush_job *head = nullptr, *tail = nullptr, *next_to_take = nullptr;
    unsigned running = 0;   // jobs taken by flushers and not done
    unsigned sleeping = 0;  // flushers waiting for work, and not yet woken
    unsigned era = 0;       // how many times the flushers were quieted
    bool caller_waits = false;
    bool started = false;
};
flush_queue queue;

// The next job to flush, taken; or none, and the flusher counted as sleeping.
flush_job *take(void) {
    flush_job *job = queue.next_to_take;
    while (job && job->state != kQueued) job = job->next;
    queue.next_to_take = job ? job->next : nullptr;
    if (job) {
        job->state = kTaken;
        queue.running++;
    } else {
        queue.sleeping++;
    }
    return job;
}

// Has the caller wait until a flusher is done with a job.
void wait_for_progress(void) {
    queue.caller_waits = true;
    LeaveCriticalSection(&queue.lock);
    WaitForSingleObject(queue.progress, INFINITE);
    EnterCriticalSection(&queue.lock);
}

// Flushes the file and closes it: by its handle, or else by its path.
bool flush_and_close(const wchar_t *path, HANDLE h) {
    if (!h) {
        h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
    }
    bool ok = FlushFileBuffers(h);
    return CloseHandle(h) && ok;
}

DWORD WINAPI flusher(void *) {
    EnterCriticalSection(&queue.lock);
    for (;;) {
        flush_job *job = take();
        if (!job) {
            LeaveCriticalSection(&queue.lock);
            WaitForSingleObject(queue.work, INFINITE);
            EnterCriticalSection(&queue.lock);
            continue;
        }
        HANDLE h = job->handle;
        LeaveCriticalSection(&queue.lock);
        bool ok = flush_and_close(job->path, h);
        EnterCriticalSection(&queue.lock);
        job->handle = nullptr;
        job->ok = ok;
        job->state = kDone;
        queue.running--;
        if (queue.caller_waits) {
            queue.caller_waits = false;
            SetEvent(queue.progress);
        }
    }
}

bool start_flushers(void) {
    if (queue.started) return true;
    InitializeCriticalSection(&queue.lock);
    queue.work = CreateSemaphoreW(nullptr, 0, kFlushers, nullptr);
    queue.progress = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!queue.work || !queue.progress) return false;
    for (unsigned i = 0; i < kFlushers; i++) {
        HANDLE t = CreateThread(nullptr, 64 << 10, flusher, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (!t) return i > 0;
        CloseHandle(t);
    }
    return queue.started = true;
}

// Closes what the flushers have not taken and waits for what they hold; they take nothing started
// so far. A new era begins: a file may now be moved, or another take its name. Only jobs from
// next_to_take on can still hold a handle (those before it were taken, or closed by the last
// quieting), so an upgrade, which quiets the flushers for every file it moves aside, walks each
// job once, not the whole queue each time.
void quiet(void) {
    for (flush_job *job = queue.next_to_take; job; job = job->next) {
        if (job->state != kQueued || !job->handle) continue;
        CloseHandle(job->handle);
        job->handle = nullptr;
    }
    queue.next_to_take = nullptr;
    queue.era++;
    while (queue.running > 0) wait_for_progress();
}

}  // namespace

void os_start_write_out_handle(const wchar_t *path, HANDLE h) {
    flush_job *job = static_cast<flush_job *>(malloc(sizeof(flush_job)));
    size_t n = wcslen(path) + 1;
    if (!job || !(job->path = static_cast<wchar_t *>(malloc(n * sizeof(wchar_t)))) || !start_flushers()) {
        // Not started: flushed by its path when it is asked for.
        if (job) free(job->path);
        free(job);
        CloseHandle(h);
        return;
    }
    memcpy(job->path, path, n * sizeof(wchar_t));
    job->handle = h;
    job->state = kQueued;
    job->era = queue.era;
    job->ok = false;
    job->next = nullptr;
    EnterCriticalSection(&queue.lock);
    if (queue.tail) queue.tail->next = job;
    else queue.head = job;
    queue.tail = job;
    if (!queue.next_to_take) queue.next_to_take = job;
    if (queue.sleeping > 0) {
        queue.sleeping--;
        ReleaseSemaphore(queue.work, 1, nullptr);
    }
    LeaveCriticalSection(&queue.lock);
}

bool os_fsync_path(const wchar_t *path) {
    if (!queue.started) return flush_and_close(path, nullptr);
    EnterCriticalSection(&queue.lock);
    flush_job *job = queue.head;
    if (job && wcscmp(job->path, path) == 0) {
        queue.head = job->next;
        if (!queue.head) queue.tail = nullptr;
        if (queue.next_to_take == job) queue.next_to_take = job->next;
    } else {
        // Asked out of order: its handle, if still handed over, is let go of first.
        job = nullptr;
        quiet();
    }
    // Not taken by a flusher yet: this thread flushes it itself.
    bool mine = job && job->state == kQueued;
    if (mine) job->state = kTaken;
    while (job && !mine && job->state != kDone) wait_for_progress();
    // Started before the last quieting, it may no longer be the file at its name.
    bool by_path = !job || job->era != queue.era;
    LeaveCriticalSection(&queue.lock);
    bool ok;
    if (by_path) {
        if (mine && job->handle) CloseHandle(job->handle);
        ok = flush_and_close(path, nullptr);
    } else {
        ok = mine ? flush_and_close(path, job->handle) : job->ok;
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
    quiet();
    LeaveCriticalSection(&queue.lock);
}

void os_end_write_outs(void) {
    if (!queue.started) return;
    EnterCriticalSection(&queue.lock);
    quiet();
    while (flush_job *job = queue.head) {
        queue.head = job->next;
        free(job->path);
        free(job);
    }
    queue.tail = nullptr;
    LeaveCriticalSection(&queue.lock);
}
