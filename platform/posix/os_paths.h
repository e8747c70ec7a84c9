// Paths in the Linux stand-in: '\' read as a separator, and the user's standard folders.
#ifndef ZORV_OS_PATHS_H
#define ZORV_OS_PATHS_H

#include <stddef.h>

// Room for any path the installer makes: the archive reader's joined paths are at most 5000 bytes.
typedef char os_native_path[5120];

// Copies path into native with every '\' turned into '/'. False (errno ENAMETOOLONG) if it does
// not fit.
bool os_to_native(const char *path, os_native_path native);

// The user's folder named by the XDG variable when it holds an absolute path (a relative one is
// ignored, as the XDG rules say), else $HOME followed by "/" and under_home. False when neither
// gives a folder or it does not fit in size.
bool os_user_folder(const char *xdg_variable, const char *under_home, char *out, size_t size);

#endif
