// Inside the seam: the buffered file that both systems share, and the system's half under it.
//
// The seam owns the buffer of every os_file: reads take the system's bytes a buffer at a time and
// hand them out (os_peek shows them in place), writes gather in it and go to the system a buffer
// at a time, and a piece at least a buffer long goes straight through. Nothing here looks inside
// the C library's streams: a file the tools opened as a C stream (os_stdio) is read and written
// through that stream's public calls, under this buffer.
#ifndef ZORV_PLATFORM_OS_FILE_H
#define ZORV_PLATFORM_OS_FILE_H

#include <stdint.h>
#include <stdio.h>

#include "platform.h"

struct os_file_ {
    intptr_t handle;      // a descriptor (Linux) or a HANDLE (Windows); unused over a C stream
    FILE *stream;         // the C stream the file goes through (os_stdio), or null
    unsigned char *buf;   // the buffer: the file's own (own), or the caller's (os_setvbuf)
    size_t cap;
    size_t pos, len;      // reading: buf[pos, len) is read ahead and not yet handed out
    bool writing;         // buf[0, len) holds bytes not yet written
    bool own;
    bool error, ended;
    os_file_ *prev, *next;  // every open file, so that one the caller leaves open is never lost
};

// A file over an open handle of the system, or over a C stream: null (the handle closed) when
// memory cannot be had.
os_file *os_file_over(intptr_t handle, FILE *stream);

// The system's half, one per system: what the buffer reads, writes, seeks and closes with. Reads
// give the bytes read (0 at the end), -1 on an error; writes all n bytes or fail (-1).
long long os_native_read(os_file *f, void *buffer, size_t n);
int os_native_write(os_file *f, const void *data, size_t n);
int os_native_seek(os_file *f, long long offset);
int os_native_close(os_file *f);

// Writes out what f has gathered: 0 or -1 (then f reports an error).
int os_write_out(os_file *f);

// Lets go of f but not of the system's handle under it, which the caller keeps: what f gathered
// must have been written out.
void os_file_forget(os_file *f);

#endif
