// Linux stand-in for the runtime library's buffered files: glibc's stdio, '\' a separator too.
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

int os_remove(const char *path) {
    os_native_path native;
    return os_to_native(path, native) && remove(native) == 0 ? 0 : -1;
}

// rename would replace an existing target silently; Windows never does, and neither does this.
// Nor does it copy: a rename to another file system fails (EXDEV).
int os_rename(const char *from, const char *to) {
    os_native_path a, b;
    struct stat st;
    if (!os_to_native(from, a) || !os_to_native(to, b)) return -1;
    if (lstat(a, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    if (renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL) return -1;
    // A file system that cannot rename without replacing: looked at first, then renamed.
    if (lstat(b, &st) == 0 || errno != ENOENT) return -1;
    return rename(a, b) == 0 ? 0 : -1;
}

// A mount point is a folder like any other to lstat; statx tells it apart, bind mounts included.
int os_file_kind(const char *path) {
    os_native_path native;
    struct statx st;
    if (!os_to_native(path, native)) return -1;
    if (statx(AT_FDCWD, native, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? OS_KIND_NONE : -1;
    if (S_ISLNK(st.stx_mode)) return OS_KIND_LINK;
    if (!S_ISDIR(st.stx_mode)) return OS_KIND_FILE;
    if (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
        return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) ? OS_KIND_LINK : OS_KIND_FOLDER;
    // A kernel before 5.8: another file system than its parent's, at least, shows.
    os_native_path up;
    struct stat here, parent;
    if (snprintf(up, sizeof up, "%s/..", native) >= int(sizeof up) || lstat(native, &here) != 0 ||
        lstat(up, &parent) != 0)
        return -1;
    return here.st_dev == parent.st_dev ? OS_KIND_FOLDER : OS_KIND_LINK;
}

// Linux lets a running or open file be renamed and replaced, and the stand-in has nothing like
// Windows' sharing modes: no file is in use here.
int os_file_in_use(const char *) { return 0; }

// Linux has no device names in ordinary folders: "aux.c" and "con.h" are plain files.
int os_reserves_device_names(void) { return 0; }

// A held file is a stream over a descriptor with an exclusive lock (flock), which every run
// takes before it touches the file.
os_file *os_hold_file(const char *path, int empty, int *held) {
    *held = 0;
    os_native_path native;
    if (!os_to_native(path, native)) return nullptr;
    for (int attempt = 0; attempt < 3; attempt++) {
        int fd = open(native, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) return nullptr;
        struct stat st, now;
        // A file with another name elsewhere (a hard link) is not this run's to write.
        bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
        if (ok && flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *held = errno == EWOULDBLOCK;
            ok = false;
        }
        if (!ok) {
            close(fd);
            return nullptr;
        }
        // The run that held it until now may have deleted it since it was opened here, and a third
        // one made a new one: a lock on the old one holds nothing. Opened again, then.
        if (lstat(native, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
            close(fd);
            continue;
        }
        FILE *f = empty && ftruncate(fd, 0) != 0 ? nullptr : fdopen(fd, "r+b");
        if (!f) close(fd);
        return os_stdio(f);
    }
    *held = 1;
    return nullptr;
}

// Deleted while still locked, so that no run can open it in between.
int os_remove_held(os_file *f, const char *path) {
    os_native_path native;
    int result = os_to_native(path, native) && unlink(native) == 0 ? 0 : -1;
    fclose(stream(f));
    return result;
}

int os_ftruncate(os_file *f) {
    FILE *s = stream(f);
    if (fflush_unlocked(s) != 0 || ftruncate(fileno_unlocked(s), 0) != 0) return -1;
    return fseek(s, 0, SEEK_SET) == 0 ? 0 : -1;
}

long long os_file_size(os_file *f) {
    FILE *s = stream(f);
    struct stat st;
    if (fflush_unlocked(s) != 0 || fstat(fileno_unlocked(s), &st) != 0) return -1;
    return st.st_size;
}

// fdatasync also writes the size, without which the bytes cannot be reached.
int os_fsync(os_file *f) {
    FILE *s = stream(f);
    return fflush_unlocked(s) == 0 && fdatasync(fileno_unlocked(s)) == 0 ? 0 : -1;
}

int os_fsync_path(const char *path) {
    os_native_path native;
    if (!os_to_native(path, native)) return -1;
    int fd = open(native, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) ? fsync(fd) : fdatasync(fd)) == 0;
    close(fd);
    return ok ? 0 : -1;
}

void os_start_write_out(const char *path) {
    os_native_path native;
    int fd = os_to_native(path, native) ? open(native, O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (fd < 0) return;
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    close(fd);
}

int os_free_space(const char *path, unsigned long long *bytes) {
    os_native_path native;
    struct statvfs st;
    if (!os_to_native(path, native) || statvfs(native, &st) != 0) return -1;
    *bytes = (unsigned long long)st.f_bavail * st.f_frsize;
    return 0;
}

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

// Linux compares names byte for byte: a file's stored name is the name that reached it.
int os_stored_name(const char *path, char *out, size_t size) {
    os_native_path native;
    struct stat st;
    if (!os_to_native(path, native) || lstat(native, &st) != 0) return 0;
    const char *last = strrchr(native, '/');
    last = last ? last + 1 : native;
    if (strlen(last) >= size) return 0;
    strcpy(out, last);
    return 1;
}
