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

#endif
