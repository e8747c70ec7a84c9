// The embedded settings lookup: "key=value " lines in the optional resource "RCDATA_RAW"/103.
#include <string.h>

#include "payload.h"
#include "platform.h"

namespace {

// Values of up to 192 characters fit; a longer one is not found rather than cut short.
char result[193];

}  // namespace

// The block is bounded by its size alone (no NUL), so every read below is checked against it.
// The first line is never examined, only a space ends a value (CR and LF do not), and the first
// line that starts with the key and "=" decides the lookup.
char *lookup_embedded_setting(const char *key) {
    if (!key) return nullptr;
    os_resource res = os_find_resource(ZORV_SETTINGS_ID, ZORV_RESOURCE_TYPE);
    if (!res) return nullptr;
    unsigned long size = os_sizeof_resource(res);
    void *loaded = os_load_resource(res);
    const char *block = loaded ? static_cast<const char *>(os_lock_resource(loaded)) : nullptr;
    if (!block || size == 0) return nullptr;

    size_t key_len = strlen(key);
    for (size_t pos = 0;;) {
        const char *lf = static_cast<const char *>(memchr(block + pos, '\n', size - pos));
        if (!lf) return nullptr;
        size_t line = size_t(lf - block) + 1;
        while (line < size && (block[line] == '\r' || block[line] == '\n')) line++;
        if (line >= size) return nullptr;
        if (key_len < size - line && memcmp(block + line, key, key_len) == 0 && block[line + key_len] == '=') {
            size_t value = line + key_len + 1;
            if (value >= size) return nullptr;
            if (block[value] == ' ') {
                result[0] = '\0';
                return result;
            }
            const char *space = static_cast<const char *>(memchr(block + value + 1, ' ', size - value - 1));
            if (!space) return nullptr;
            size_t len = size_t(space - (block + value));
            if (len >= sizeof result) return nullptr;
            memcpy(result, block + value, len);
            result[len] = '\0';
            return result;
        }
        pos = line;
    }
}
