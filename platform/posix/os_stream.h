// The archive reader's three kinds of read, and its writes, on a stdio stream (glibc).
//
// The reader makes one call per body byte, so these are the unlocked forms: the process has one
// thread, and the locking forms cost about twenty-five times as much per byte.
#ifndef ZORV_OS_STREAM_H
#define ZORV_OS_STREAM_H

#include <stdio.h>

static inline int os_getc(FILE *f) { return getc_unlocked(f); }
static inline char *os_fgets(char *buf, int size, FILE *f) { return fgets_unlocked(buf, size, f); }
static inline size_t os_fwrite(const void *p, size_t n, FILE *f) { return fwrite_unlocked(p, 1, n, f); }

// The bytes the stream has read ahead and not yet handed out, and a way to consume some of them:
// the body copy takes a stretch at a time instead of a byte at a time, on the same position.
// glibc's FILE keeps them between _IO_read_ptr and _IO_read_end (a stream that has not read yet
// shows none; the next byte read then fills the buffer).
static inline size_t os_peek(FILE *f, const unsigned char **bytes) {
    *bytes = reinterpret_cast<const unsigned char *>(f->_IO_read_ptr);
    return f->_IO_read_ptr < f->_IO_read_end ? size_t(f->_IO_read_end - f->_IO_read_ptr) : 0;
}
static inline void os_skip(FILE *f, size_t n) { f->_IO_read_ptr += n; }

#endif
