// Linux stand-in for the runtime library's buffered files (glibc's stdio) and paths, '\' a separator too.
//
// An os_file is the FILE itself. The archive reader makes a call per byte where it cannot take a
// stretch, so reads use the unlocked forms: the process has one thread, and the locking forms
// cost about twenty-five times as much per byte.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "os_paths.h"
#include "platform.h"

namespace {

FILE *stream(os_file *f) { return reinterpret_cast<FILE *>(f); }

}  // namespace

os_file *os_fopen(const char *path, const char *mode) {
    os_native_path native;
    return os_to_native(path, native) ? os_stdio(fopen(native, mode)) : nullptr;
}

os_file *os_stdio(FILE *s) { return reinterpret_cast<os_file *>(s); }

int os_fclose(os_file *f) { return fclose(stream(f)) == 0 ? 0 : -1; }

int os_setvbuf(os_file *f, char *buffer, size_t size) { return setvbuf(stream(f), buffer, _IOFBF, size) == 0 ? 0 : -1; }

size_t os_fread(void *buffer, size_t n, os_file *f) { return fread_unlocked(buffer, 1, n, stream(f)); }

int os_getc(os_file *f) { return getc_unlocked(stream(f)); }

char *os_fgets(char *buffer, int size, os_file *f) { return fgets_unlocked(buffer, size, stream(f)); }

int os_ferror(os_file *f) { return ferror_unlocked(stream(f)); }

// glibc keeps the bytes read ahead between _IO_read_ptr and _IO_read_end (a stream that has not
// read yet shows none; its next getc fills the buffer).
size_t os_peek(os_file *f, const unsigned char **bytes) {
    FILE *s = stream(f);
    *bytes = reinterpret_cast<const unsigned char *>(s->_IO_read_ptr);
    return s->_IO_read_ptr < s->_IO_read_end ? size_t(s->_IO_read_end - s->_IO_read_ptr) : 0;
}

void os_skip(os_file *f, size_t n) { stream(f)->_IO_read_ptr += n; }

size_t os_fwrite(const void *data, size_t n, os_file *f) { return fwrite_unlocked(data, 1, n, stream(f)); }

int os_fflush(os_file *f) { return fflush_unlocked(stream(f)) == 0 ? 0 : -1; }

int os_fseek(os_file *f, long offset) { return fseek(stream(f), offset, SEEK_SET) == 0 ? 0 : -1; }

int os_mkdir(const char *path) {
    os_native_path native;
    return os_to_native(path, native) && mkdir(native, 0777) == 0 ? 0 : -1;
}

int os_rmdir(const char *path) {
    os_native_path native;
    return os_to_native(path, native) && rmdir(native) == 0 ? 0 : -1;
}

// Linux has no device names in ordinary folders: "aux.c" and "con.h" are plain files.
int os_reserves_device_names(void) { return 0; }

// Linux tells "A.txt" from "a.txt".
void os_fold_case(char *) {}

// The path's levels on top of the current folder's, "." and ".." resolved as written (a link is
// not followed, as Windows resolves a full path without looking at the disk).
int os_full_path(const char *path, char *out, size_t size) {
    char cwd[PATH_MAX];
    std::string full;
    if (path[0] != '/' && path[0] != '\\') {
        if (!getcwd(cwd, sizeof cwd)) return 0;
        full = cwd;
    }
    for (const char *p = path; *p;) {
        while (*p == '/' || *p == '\\') p++;
        const char *end = p;
        while (*end && *end != '/' && *end != '\\') end++;
        std::string level(p, end);
        p = end;
        if (level.empty() || level == ".") continue;
        if (level == "..") full.resize(full.rfind('/') == std::string::npos ? 0 : full.rfind('/'));
        else full += "/" + level;
    }
    if (full.empty()) full = "/";
    if (full.size() >= size) return 0;
    memcpy(out, full.c_str(), full.size() + 1);
    return 1;
}
