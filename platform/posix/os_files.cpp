// Linux stand-in for the runtime library's files and paths: descriptors under the seam's buffer, '\' a separator too.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "os_file.h"
#include "os_paths.h"
#include "platform.h"

// The modes the core uses, as fopen reads them: "rb", "wb" (created or emptied), "w+b" (the same,
// and read back).
os_file *os_fopen(const char *path, const char *mode) {
    os_native_path native;
    int flags = mode[0] == 'r' ? O_RDONLY : (strchr(mode, '+') ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    int fd = os_to_native(path, native) ? open(native, flags | O_CLOEXEC, 0666) : -1;
    if (fd < 0) return nullptr;
    os_file *f = os_file_over(fd, nullptr);
    if (!f) close(fd);
    return f;
}

long long os_native_read(os_file *f, void *buffer, size_t n) {
    if (f->stream) {
        size_t got = fread(buffer, 1, n, f->stream);
        return got == 0 && ferror(f->stream) ? -1 : (long long)got;
    }
    for (;;) {
        ssize_t got = read(int(f->handle), buffer, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

int os_native_write(os_file *f, const void *data, size_t n) {
    if (f->stream) return fwrite(data, 1, n, f->stream) == n ? 0 : -1;
    for (const char *p = static_cast<const char *>(data); n > 0;) {
        ssize_t done = write(int(f->handle), p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return -1;
        p += done, n -= size_t(done);
    }
    return 0;
}

int os_native_seek(os_file *f, long long offset) {
    if (f->stream) return fseeko(f->stream, off_t(offset), SEEK_SET) == 0 ? 0 : -1;
    return lseek(int(f->handle), off_t(offset), SEEK_SET) == off_t(offset) ? 0 : -1;
}

int os_native_close(os_file *f) { return (f->stream ? fclose(f->stream) : close(int(f->handle))) == 0 ? 0 : -1; }

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
