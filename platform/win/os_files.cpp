// Win32 file calls of the runtime library (msvcrt), as the installer uses them.
#include "platform.h"

#include <direct.h>
#include <stdio.h>

FILE *os_fopen(const char *path, const char *mode) { return fopen(path, mode); }

int os_mkdir(const char *path) { return _mkdir(path) == 0 ? 0 : -1; }

int os_remove(const char *path) { return remove(path) == 0 ? 0 : -1; }
