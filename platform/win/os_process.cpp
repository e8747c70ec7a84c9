// Win32 time, the Windows directory and the runtime library's process calls.
#include <windows.h>

#include <process.h>
#include <stdlib.h>

#include "os_command_line.h"
#include "platform.h"

void os_sleep(unsigned milliseconds) { Sleep(milliseconds); }

unsigned long os_milliseconds(void) { return GetTickCount(); }

unsigned os_get_windows_directory(char *buffer, unsigned size) { return GetWindowsDirectoryA(buffer, size); }

// _execlp passes its arguments to the new program unquoted: each is quoted here where it needs
// it, so that a path with spaces arrives as one argument zero.
int os_exec(const char *program, const char *arg0, const char *arg1) {
    char *quoted0 = static_cast<char *>(malloc(os_quoted_size(arg0)));
    char *quoted1 = arg1 ? static_cast<char *>(malloc(os_quoted_size(arg1))) : nullptr;
    if (quoted0 && (quoted1 || !arg1)) {
        os_quote_argument(arg0, quoted0);
        if (arg1) os_quote_argument(arg1, quoted1);
        _execlp(program, quoted0, quoted1, nullptr);
    }
    free(quoted0);
    free(quoted1);
    return -1;
}

void os_exit(int status) { exit(status); }
