// Paths in the Linux stand-in: '\' read as a separator, and the user's standard folders.
#include "os_paths.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool os_to_native(const char *path, os_native_path native) {
    size_t n = strlen(path);
    if (n >= sizeof(os_native_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (size_t i = 0; i <= n; i++) native[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

bool os_user_folder(const char *xdg_variable, const char *under_home, char *out, size_t size) {
    const char *xdg = getenv(xdg_variable);
    const char *home = getenv("HOME");
    int n;
    if (xdg && xdg[0] == '/') n = snprintf(out, size, "%s", xdg);
    else if (home && home[0]) n = snprintf(out, size, "%s/%s", home, under_home);
    else return false;
    return n > 0 && size_t(n) < size;
}
