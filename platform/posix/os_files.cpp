// Linux stand-in for the runtime library's file calls: '\' separates directories here too.
#include "platform.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

// Copies path into buf with every '\' turned into '/'. False (errno ENAMETOOLONG) if it does
// not fit; the archive reader's joined paths are at most 5000 bytes.
static bool to_native(const char *path, char (&buf)[5120]) {
    size_t n = strlen(path);
    if (n >= sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (size_t i = 0; i <= n; i++) buf[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

FILE *os_fopen(const char *path, const char *mode) {
    char native[5120];
    return to_native(path, native) ? fopen(native, mode) : nullptr;
}

int os_mkdir(const char *path) {
    char native[5120];
    return to_native(path, native) && mkdir(native, 0777) == 0 ? 0 : -1;
}

int os_remove(const char *path) {
    char native[5120];
    return to_native(path, native) && remove(native) == 0 ? 0 : -1;
}
