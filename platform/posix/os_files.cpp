// Linux stand-in for the runtime library's file calls: '\' separates directories here too.
#include <stdio.h>
#include <sys/stat.h>

#include "os_paths.h"
#include "platform.h"

FILE *os_fopen(const char *path, const char *mode) {
    os_native_path native;
    return os_to_native(path, native) ? fopen(native, mode) : nullptr;
}

int os_mkdir(const char *path) {
    os_native_path native;
    return os_to_native(path, native) && mkdir(native, 0777) == 0 ? 0 : -1;
}

int os_remove(const char *path) {
    os_native_path native;
    return os_to_native(path, native) && remove(native) == 0 ? 0 : -1;
}
