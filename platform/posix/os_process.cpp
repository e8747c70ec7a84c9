// Linux stand-in for time, the Windows directory and the process calls.
//
// The Windows directory is a folder that a person or a test chooses: $ZORV_WINDOWS_DIR when set,
// else "zorvana/windows" in the user's data folder ($XDG_DATA_HOME or ~/.local/share). It is
// reported, not created, as GetWindowsDirectoryA only reports. With neither variable nor HOME
// there is none, and the query fails.
//
// Process replacement is execv on the translated program path, with the arguments exactly as
// given: the text of argument zero reaches the new program unchanged, backslashes included.
// Windows starts any program file it can read; the archive keeps no permission bits, so a file
// that the user may read but not execute is first given the execute bits matching its read bits.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "os_paths.h"
#include "platform.h"

void os_sleep(unsigned milliseconds) {
    timespec left = {time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

unsigned long os_milliseconds(void) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long)now.tv_sec * 1000UL + (unsigned long)(now.tv_nsec / 1000000L);
}

unsigned os_get_windows_directory(char *buffer, unsigned size) {
    char folder[4096];
    const char *chosen = getenv("ZORV_WINDOWS_DIR");
    if (chosen && chosen[0]) {
        if (strlen(chosen) >= sizeof folder) return 0;
        strcpy(folder, chosen);
    } else {
        char data[4096 - sizeof "/zorvana/windows"];
        if (!os_user_folder("XDG_DATA_HOME", ".local/share", data, sizeof data)) return 0;
        strcpy(folder, data);
        strcat(folder, "/zorvana/windows");
    }
    // As on Windows: the length written, or the size needed (terminator included) when it does
    // not fit, in which case nothing is written.
    unsigned length = unsigned(strlen(folder));
    if (length >= size) return length + 1;
    memcpy(buffer, folder, length + 1);
    return length;
}

int os_exec(const char *program, const char *arg0, const char *arg1) {
    os_native_path native;
    if (!os_to_native(program, native)) return -1;
    struct stat st;
    if (stat(native, &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IXUSR))
        chmod(native, st.st_mode | (st.st_mode & 0444) >> 2);
    char *argv[] = {const_cast<char *>(arg0), const_cast<char *>(arg1), nullptr};
    execv(native, argv);
    return -1;
}

void os_exit(int status) { exit(status); }
