// The archive reader's three kinds of read, and its writes, on a stdio stream (msvcrt).
//
// The reader makes one call per body byte, so these are the no-lock forms: the installer has one
// thread, and msvcrt's _getc_nolock is a macro over the stream's own buffer (msvcrt has no
// _fwrite_nolock; writes come in pieces of up to 63 bytes, so the lock matters less there).
#ifndef ZORV_OS_STREAM_H
#define ZORV_OS_STREAM_H

#include <stdio.h>

static inline int os_getc(FILE *f) { return _getc_nolock(f); }
static inline char *os_fgets(char *buf, int size, FILE *f) { return fgets(buf, size, f); }
static inline size_t os_fwrite(const void *p, size_t n, FILE *f) { return fwrite(p, 1, n, f); }

// The bytes the stream has read ahead and not yet handed out, and a way to consume some of them:
// the body copy takes a stretch at a time instead of a byte at a time, on the same position.
// msvcrt's FILE counts them in _cnt from _ptr, as its own _getc_nolock does.
static inline size_t os_peek(FILE *f, const unsigned char **bytes) {
    *bytes = reinterpret_cast<const unsigned char *>(f->_ptr);
    return f->_cnt > 0 ? size_t(f->_cnt) : 0;
}
static inline void os_skip(FILE *f, size_t n) {
    f->_ptr += n;
    f->_cnt -= int(n);
}

#endif
