// Win32 buffered files of the runtime library (msvcrt), as the installer uses them.
//
// An os_file is the FILE itself. Reads use the no-lock forms where msvcrt has them: the installer
// has one thread, and _getc_nolock is a macro over the stream's own buffer.
#include <windows.h>

#include <direct.h>
#include <stdio.h>

#include "platform.h"

namespace {

FILE *stream(os_file *f) { return reinterpret_cast<FILE *>(f); }

}  // namespace

os_file *os_fopen(const char *path, const char *mode) { return os_stdio(fopen(path, mode)); }

os_file *os_stdio(FILE *s) { return reinterpret_cast<os_file *>(s); }

// The flush comes first and on its own: Wine's msvcrt closes a file whose last bytes did not fit
// on the disk and still reports success, so only the flush tells that the file is short.
int os_fclose(os_file *f) {
    int flushed = fflush(stream(f));
    return fclose(stream(f)) == 0 && flushed == 0 ? 0 : -1;
}

int os_setvbuf(os_file *f, char *buffer, size_t size) { return setvbuf(stream(f), buffer, _IOFBF, size) == 0 ? 0 : -1; }

size_t os_fread(void *buffer, size_t n, os_file *f) { return fread(buffer, 1, n, stream(f)); }

int os_getc(os_file *f) { return _getc_nolock(stream(f)); }

char *os_fgets(char *buffer, int size, os_file *f) { return fgets(buffer, size, stream(f)); }

int os_ferror(os_file *f) { return ferror(stream(f)); }

// msvcrt counts the bytes read ahead in _cnt from _ptr, as its own _getc_nolock does.
size_t os_peek(os_file *f, const unsigned char **bytes) {
    FILE *s = stream(f);
    *bytes = reinterpret_cast<const unsigned char *>(s->_ptr);
    return s->_cnt > 0 ? size_t(s->_cnt) : 0;
}

void os_skip(os_file *f, size_t n) {
    FILE *s = stream(f);
    s->_ptr += n;
    s->_cnt -= int(n);
}

// msvcrt has no _fwrite_nolock; writes come in pieces of up to 63 bytes, so the lock matters less.
size_t os_fwrite(const void *data, size_t n, os_file *f) { return fwrite(data, 1, n, stream(f)); }

int os_fflush(os_file *f) { return fflush(stream(f)) == 0 ? 0 : -1; }

int os_fseek(os_file *f, long offset) { return fseek(stream(f), offset, SEEK_SET) == 0 ? 0 : -1; }

int os_mkdir(const char *path) { return _mkdir(path) == 0 ? 0 : -1; }

int os_rmdir(const char *path) { return _rmdir(path) == 0 ? 0 : -1; }

int os_remove(const char *path) { return remove(path) == 0 ? 0 : -1; }

int os_rename(const char *from, const char *to) {
    DWORD attributes = GetFileAttributesA(from);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    return MoveFileA(from, to) ? 0 : -1;
}

int os_file_kind(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? OS_KIND_FOLDER : OS_KIND_FILE;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OS_KIND_NONE : -1;
}

// Opening the file for writing and deleting, sharing it with nobody, succeeds only when no other
// handle is open on it: a program that holds it open, or runs it (its image is mapped), or a
// read-only file makes it fail.
int os_file_in_use(const char *path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 1;
}

// CON, NUL, COM1 and the rest name devices in every folder, with or without an extension.
int os_reserves_device_names(void) { return 1; }
