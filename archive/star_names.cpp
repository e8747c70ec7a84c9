// The archive's name rule, with the Windows device names where the system reserves them.
#include "star_names.h"

#include <ctype.h>
#include <string.h>

#include "platform.h"
#include "star_format.h"

namespace {

// Windows drops the blanks before the extension, so "CON .txt" is the console too.
bool is_device_name(const char *level, const char *end) {
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "COM1", "COM2", "COM3",
                                          "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                          "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    const char *stem = level;
    while (stem < end && *stem != '.') stem++;
    while (stem > level && stem[-1] == ' ') stem--;
    for (const char *device : devices) {
        size_t n = strlen(device);
        if (size_t(stem - level) != n) continue;
        size_t i = 0;
        while (i < n && toupper((unsigned char)level[i]) == device[i]) i++;
        if (i == n) return true;
    }
    return false;
}

int stays_inside(const char *name, bool devices) {
    if (star_is_separator(name[0])) return 0;
    if (strchr(name, ':')) return 0;
    for (const char *level = name;;) {
        const char *end = level;
        while (*end && !star_is_separator(*end)) end++;
        if (end - level == 2 && level[0] == '.' && level[1] == '.') return 0;
        if (devices && is_device_name(level, end)) return 0;
        if (!*end) return 1;
        level = end + 1;
    }
}

}  // namespace

int star_name_is_safe(const char *name) { return stays_inside(name, os_reserves_device_names() != 0); }

int star_name_is_safe_on_windows(const char *name) { return stays_inside(name, true); }
