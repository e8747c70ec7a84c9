// Paths in the Win32 build: the process's ANSI code page in, the W calls' form out.
//
// Paths are the process's ANSI code page, as the A calls take them. The A calls refuse a path
// whose full form passes MAX_PATH, and the change's own paths ("tmp_inst.old\journal") are longer
// than the entries' that a target always took; so every path goes to the W calls, converted as
// the A calls convert it, and one too long for them as "\\?\" and its full form, which the W
// calls take up to 32 767 characters. Below that length nothing differs from the A calls.
#ifndef ZORV_OS_WIDE_H
#define ZORV_OS_WIDE_H

#include <windows.h>

#include <stdio.h>

// Room for any path the installer makes (at most 5000 bytes) in its full form.
const size_t kWide = 5200;

// path in the form the W calls take; ok false (ERROR_FILENAME_EXCED_RANGE) when it does not fit.
struct wide_path {
    wchar_t text[kWide];
    bool ok;
    explicit wide_path(const char *path);
};

// The full path full (without "\\?\") in the form the W calls take, into out: as it is while it
// is short, "\\?\" and the path (or "\\?\UNC" for a share) beyond MAX_PATH. False if it does not fit.
bool os_long_form(const wchar_t *full, wchar_t *out, size_t size);

// A wide text in the ANSI code page: false when it does not fit.
bool os_narrow(const wchar_t *wide, char *out, size_t size);

// A file of the seam over a handle of the system: null, with the handle closed, on failure. And
// the handle under a file of the seam.
struct os_file_;
os_file_ *os_file_over_handle(HANDLE h);
HANDLE os_handle_of(os_file_ *f);

// The flushes of new files (os_flushes.cpp): each file's handle handed over, flushed and closed
// ahead on threads of their own, and waited for, a file at a time, by its path in the W calls'
// form.
void os_start_write_out_handle(const wchar_t *path, HANDLE h);
bool os_fsync_path(const wchar_t *path);
// Waits until no flusher holds a file, closes those they have not taken, and has them take no
// more of what is queued (its flushes then come with os_fsync_path, by path): for before a file
// is deleted or renamed, or asked whether it is in use.
void os_flushes_quiet(void);
// os_end_write_outs, in platform.h, ends them all.

#endif
