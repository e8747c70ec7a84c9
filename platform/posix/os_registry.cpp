// Linux stand-in for the per-user registry: keys are folders, each value one file of its own.
//
// The current user's key is the folder
//
//     $XDG_CONFIG_HOME/zorvana/registry/HKEY_CURRENT_USER      (or ~/.config/zorvana/...)
//
// A subkey is a folder below it, one level per '\'-separated name; a value is a file in its key's
// folder, named after the value ("@" for the unnamed default value), holding the value's bytes
// exactly, a string's terminator included. So the installer's record can be read with
//
//     cat ~/.config/zorvana/registry/HKEY_CURRENT_USER/Software/zorvdal/Path
//
// and the data size it was given stays visible. Every value comes back typed REG_SZ, the only
// type written here. A value is replaced through a temporary file renamed over it, so a reader
// sees the old value or the new one, never a part.
//
// Names are escaped so that none can step out of its key or clash with the temporary files: '%'
// and '/' anywhere, and a leading '.' or '@', become %XX. Unlike Windows, names are compared
// with their case, and a key cannot hold a subkey and a value of the same name (the second one is
// refused). Failures give Windows' error codes.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os_paths.h"
#include "platform.h"

struct os_key_ {
    char path[4096];
};

namespace {

const long kSuccess = 0, kFileNotFound = 2, kPathNotFound = 3, kAccessDenied = 5, kInvalidHandle = 6,
           kOutOfMemory = 14, kCantRead = 1012, kCantWrite = 1013, kBadPathname = 161, kNameTooLong = 206,
           kMoreData = 234;
const unsigned long kRegSz = 1;

// HKEY_CURRENT_USER: its folder is found again on every use, so that a changed XDG_CONFIG_HOME
// takes effect at once.
os_key_ current_user;

long error_code(int error) {
    switch (error) {
    case ENOENT: return kFileNotFound;
    case ENOTDIR: return kPathNotFound;
    case EACCES: case EPERM: case EROFS: case EEXIST: case EISDIR: return kAccessDenied;
    case ENAMETOOLONG: return kNameTooLong;
    case ENOMEM: return kOutOfMemory;
    default: return kCantWrite;
    }
}

// Appends "/" and the escaped name (n bytes of it) to path.
bool append_name(char *path, size_t size, const char *name, size_t n) {
    size_t at = strlen(path);
    if (at + 1 >= size) return false;
    path[at++] = '/';
    if (n == 0) path[at++] = '@';
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool escape = c == '%' || c == '/' || (i == 0 && (c == '.' || c == '@'));
        if (at + (escape ? 3 : 1) >= size) return false;
        if (escape) at += size_t(snprintf(path + at, 4, "%%%02X", c));
        else path[at++] = char(c);
    }
    path[at] = '\0';
    return true;
}

long key_folder(os_key key, char (&path)[4096]) {
    if (!key) return kInvalidHandle;
    if (key != &current_user) return snprintf(path, sizeof path, "%s", key->path) < int(sizeof path) ? kSuccess : kNameTooLong;
    if (!os_user_folder("XDG_CONFIG_HOME", ".config", path, sizeof path)) return kPathNotFound;
    size_t n = strlen(path);
    const char tail[] = "/zorvana/registry/HKEY_CURRENT_USER";
    if (n + sizeof tail > sizeof path) return kNameTooLong;
    memcpy(path + n, tail, sizeof tail);
    return kSuccess;
}

// Makes every missing level of the folder, as mkdir -p does.
bool make_folders(char *path) {
    for (char *p = path + 1;; p++) {
        if (*p != '/' && *p) continue;
        char c = *p;
        *p = '\0';
        bool ok = mkdir(path, 0700) == 0 || errno == EEXIST;
        *p = c;
        if (!ok) return false;
        if (!c) break;
    }
    struct stat st;
    if (stat(path, &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) errno = EEXIST;
    return S_ISDIR(st.st_mode);
}

// Opens (create: creates) subkey under root into *out.
long open_key(os_key root, const char *subkey, os_key *out, bool create) {
    os_key_ *key = static_cast<os_key_ *>(malloc(sizeof(os_key_)));
    if (!key) return kOutOfMemory;
    long result = key_folder(root, key->path);
    for (const char *p = subkey ? subkey : ""; result == kSuccess && *p;) {
        size_t n = strcspn(p, "\\");
        if (n == 0) result = kBadPathname;
        else if (!append_name(key->path, sizeof key->path, p, n)) result = kNameTooLong;
        p += n;
        if (*p && !*++p) result = kBadPathname;  // a trailing separator
    }
    struct stat st;
    if (result == kSuccess) {
        if (create && !make_folders(key->path)) result = error_code(errno);
        else if (!create && stat(key->path, &st) != 0) result = error_code(errno);
        else if (!create && !S_ISDIR(st.st_mode)) result = kFileNotFound;
    }
    if (result != kSuccess) {
        free(key);
        return result;
    }
    *out = key;
    return kSuccess;
}

long value_file(os_key key, const char *name, char (&path)[4096]) {
    long result = key_folder(key, path);
    if (result != kSuccess) return result;
    return append_name(path, sizeof path, name ? name : "", name ? strlen(name) : 0) ? kSuccess : kNameTooLong;
}

}  // namespace

os_key os_current_user_key(void) { return &current_user; }

long os_reg_create_key(os_key root, const char *subkey, os_key *out) { return open_key(root, subkey, out, true); }

long os_reg_open_key(os_key root, const char *subkey, os_key *out) { return open_key(root, subkey, out, false); }

long os_reg_set_string(os_key key, const char *name, const void *data, unsigned long size) {
    char path[4096], temporary[4096 + 32];
    long result = value_file(key, name, path);
    if (result != kSuccess) return result;
    char *slash = strrchr(path, '/');
    int n = snprintf(temporary, sizeof temporary, "%.*s/.%s.%ld.tmp", int(slash - path), path, slash + 1,
                     long(getpid()));
    if (n < 0 || size_t(n) >= sizeof temporary) return kNameTooLong;
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return error_code(errno);
    bool written = write(fd, data, size) == ssize_t(size);
    written = close(fd) == 0 && written;
    if (!written || rename(temporary, path) != 0) {
        result = written ? error_code(errno) : kCantWrite;
        unlink(temporary);
    }
    return result;
}

long os_reg_query_value(os_key key, const char *name, unsigned long *type, void *data, unsigned long *size) {
    char path[4096];
    long result = value_file(key, name, path);
    if (result != kSuccess) return result;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? kFileNotFound : error_code(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) result = kFileNotFound;
    else if (data && (unsigned long long)st.st_size > *size) result = kMoreData;
    else if (data && read(fd, data, size_t(st.st_size)) != ssize_t(st.st_size)) result = kCantRead;
    close(fd);
    if (result == kSuccess || result == kMoreData) {
        *size = (unsigned long)st.st_size;
        if (type) *type = kRegSz;
    }
    return result;
}

long os_reg_close_key(os_key key) {
    if (!key) return kInvalidHandle;
    if (key != &current_user) free(key);
    return kSuccess;
}
