// Win32 buffered files of the runtime library (msvcrt), as the installer uses them.
//
// An os_file is the FILE itself. Reads use the no-lock forms where msvcrt has them: the installer
// has one thread, and _getc_nolock is a macro over the stream's own buffer.
#include <direct.h>
#include <stdio.h>

#include "platform.h"

namespace {

FILE *stream(os_file *f) { return reinterpret_cast<FILE *>(f); }

}  // namespace

os_file *os_fopen(const char *path, const char *mode) { return os_stdio(fopen(path, mode)); }

os_file *os_stdio(FILE *s) { return reinterpret_cast<os_file *>(s); }

int os_fclose(os_file *f) { return fclose(stream(f)) == 0 ? 0 : -1; }

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

int os_remove(const char *path) { return remove(path) == 0 ? 0 : -1; }

// CON, NUL, COM1 and the rest name devices in every folder, with or without an extension.
int os_reserves_device_names(void) { return 1; }
