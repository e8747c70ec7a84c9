// Linux stand-in for folders held by handle: descriptors, and every step relative to one.
//
// A held folder is a descriptor opened with O_DIRECTORY; a level below it is opened
// with openat and O_NOFOLLOW, so that a symbolic link is never followed, and a folder on another
// mount than its parent counts as a link, as a Windows mount point does. Files are created with
// O_CREAT | O_EXCL | O_NOFOLLOW: never through a link, a hard link or anything already there.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "os_file.h"
#include "os_paths.h"
#include "platform.h"

struct os_dir_ {
    int fd;
};

namespace {

// The descriptor under f; a C stream's own.
int descriptor(os_file *f) { return f->stream ? fileno(f->stream) : int(f->handle); }

os_file *file_over(int fd) {
    os_file *f = fd < 0 ? nullptr : os_file_over(fd, nullptr);
    if (!f && fd >= 0) close(fd);
    return f;
}

os_dir *held(int fd) {
    if (fd < 0) return nullptr;
    os_dir *d = static_cast<os_dir *>(malloc(sizeof(os_dir)));
    if (!d) close(fd);
    else d->fd = fd;
    return d;
}

// A folder's entry seen without following it. A mount point is a folder like any other to stat;
// statx tells it apart, bind mounts included.
int kind_of(int dir, const char *name) {
    struct statx st;
    if (statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? OS_KIND_NONE : -1;
    if (S_ISLNK(st.stx_mode)) return OS_KIND_LINK;
    if (!S_ISDIR(st.stx_mode)) return OS_KIND_FILE;
    if (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
        return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) ? OS_KIND_LINK : OS_KIND_FOLDER;
    // A kernel before 5.8: another file system than its parent's, at least, shows.
    struct stat here, parent;
    if (fstatat(dir, name, &here, AT_SYMLINK_NOFOLLOW) != 0 || fstat(dir, &parent) != 0) return -1;
    return here.st_dev == parent.st_dev ? OS_KIND_FOLDER : OS_KIND_LINK;
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

os_dir *os_open_dir(const char *path) {
    os_native_path native;
    return os_to_native(path, native) ? held(open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) : nullptr;
}

os_dir *os_open_dir_at(os_dir *dir, const char *name, int *kind) {
    int fd = openat(dir->fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *kind = errno == ENOENT ? OS_KIND_NONE : kind_of(dir->fd, name);
        if (*kind == OS_KIND_FOLDER) *kind = -1;
        return nullptr;
    }
    // What was opened is a folder reached without a link; whether it is another mount's root is
    // asked of the folder itself, so that nothing swapped in meanwhile can answer for it.
    struct statx st;
    struct stat here, parent;
    bool mount_root = statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &st) == 0 &&
                              (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
                          ? (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0
                          : fstat(fd, &here) != 0 || fstat(dir->fd, &parent) != 0 || here.st_dev != parent.st_dev;
    if (mount_root) {
        close(fd);
        *kind = OS_KIND_LINK;
        return nullptr;
    }
    *kind = OS_KIND_FOLDER;
    return held(fd);
}

void os_close_dir(os_dir *dir) {
    if (!dir) return;
    close(dir->fd);
    free(dir);
}

int os_same_dir(os_dir *a, os_dir *b) {
    struct stat sa, sb;
    return fstat(a->fd, &sa) == 0 && fstat(b->fd, &sb) == 0 && same_file(sa, sb);
}

int os_kind_at(os_dir *dir, const char *name) { return kind_of(dir->fd, name); }

int os_mkdir_at(os_dir *dir, const char *name) { return mkdirat(dir->fd, name, 0777) == 0 ? 0 : -1; }

int os_rmdir_at(os_dir *dir, const char *name) { return unlinkat(dir->fd, name, AT_REMOVEDIR) == 0 ? 0 : -1; }

int os_remove_at(os_dir *dir, const char *name) { return unlinkat(dir->fd, name, 0) == 0 ? 0 : -1; }

// rename would replace an existing target silently; Windows never does, and neither does this.
// Nor does it copy: a rename to another file system fails (EXDEV).
int os_rename_at(os_dir *from_dir, const char *from, os_dir *to_dir, const char *to) {
    struct stat st;
    if (fstatat(from_dir->fd, from, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) return -1;
    if (renameat2(from_dir->fd, from, to_dir->fd, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL) return -1;
    // A file system that cannot rename without replacing: looked at first, then renamed.
    if (fstatat(to_dir->fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return -1;
    return renameat(from_dir->fd, from, to_dir->fd, to) == 0 ? 0 : -1;
}

os_file *os_create_at(os_dir *dir, const char *name) {
    return file_over(openat(dir->fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

// Linux lets a running or open file be renamed and replaced, and the stand-in has nothing like
// Windows' sharing modes: no file is in use here.
int os_in_use_at(os_dir *, const char *) { return 0; }

// Linux compares names byte for byte: a file's stored name is the name that reached it.
int os_stored_name_at(os_dir *dir, const char *name, char *out, size_t size) {
    struct stat st;
    if (fstatat(dir->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || strlen(name) >= size) return 0;
    strcpy(out, name);
    return 1;
}

// A held file is a stream over a descriptor with an exclusive lock (flock), which every run
// takes before it touches the file.
os_file *os_hold_at(os_dir *dir, const char *name, int empty, int *held_elsewhere) {
    *held_elsewhere = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        int fd = openat(dir->fd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) return nullptr;
        struct stat st, now;
        // A file with another name elsewhere (a hard link) is not this run's to write.
        bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
        if (ok && flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *held_elsewhere = errno == EWOULDBLOCK;
            ok = false;
        }
        if (!ok) {
            close(fd);
            return nullptr;
        }
        // The run that held it until now may have deleted it since it was opened here, and a third
        // one made a new one: a lock on the old one holds nothing. Opened again, then.
        if (fstatat(dir->fd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, st)) {
            close(fd);
            continue;
        }
        if (empty && ftruncate(fd, 0) != 0) {
            close(fd);
            return nullptr;
        }
        return file_over(fd);
    }
    *held_elsewhere = 1;
    return nullptr;
}

// Deleted while still locked, so that no run can open it in between; and only while the name
// still stands for the held file. Linux deletes by name alone, so a file that an attacker swaps in
// between the look and the deletion can go in its place: only one the attacker could delete.
int os_remove_held(os_file *f, os_dir *dir, const char *name) {
    struct stat mine, now;
    int result = fstat(descriptor(f), &mine) == 0 && fstatat(dir->fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                         same_file(mine, now) && unlinkat(dir->fd, name, 0) == 0
                     ? 0
                     : -1;
    os_fclose(f);
    return result;
}

int os_ftruncate(os_file *f) {
    if (os_fflush(f) != 0 || ftruncate(descriptor(f), 0) != 0) return -1;
    return os_fseek(f, 0);
}

long long os_file_size(os_file *f) {
    struct stat st;
    if (os_fflush(f) != 0 || fstat(descriptor(f), &st) != 0) return -1;
    return st.st_size;
}

// fdatasync also writes the size, without which the bytes cannot be reached.
int os_fsync(os_file *f) { return os_fflush(f) == 0 && fdatasync(descriptor(f)) == 0 ? 0 : -1; }

int os_fsync_at(os_dir *dir, const char *name) {
    int fd = openat(dir->fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    bool ok = fdatasync(fd) == 0;
    close(fd);
    return ok ? 0 : -1;
}

int os_fsync_dir(os_dir *dir) { return fsync(dir->fd) == 0 ? 0 : -1; }

int os_fclose_and_write_out(os_file *f, os_dir *, const char *) {
    int written = os_fflush(f);
    if (written == 0) sync_file_range(descriptor(f), 0, 0, SYNC_FILE_RANGE_WRITE);
    return os_fclose(f) == 0 && written == 0 ? 0 : -1;
}

void os_end_write_outs(void) {}

int os_free_space(os_dir *dir, unsigned long long *bytes) {
    struct statvfs st;
    if (fstatvfs(dir->fd, &st) != 0) return -1;
    *bytes = (unsigned long long)st.f_bavail * st.f_frsize;
    return 0;
}
