// The registry record: the installed program's path under the current user's key.
#include <string.h>

#include "driver.h"

namespace {

// Data of up to 1000 bytes, and one byte more so that a value stored without its terminator
// still comes back as a text.
const unsigned long kReadCapacity = 1000;
char read_buffer[kReadCapacity + 1];

}  // namespace

long registry_write_string(os_key root, const char *subkey, const char *name, const char *text) {
    os_key key;
    long result = os_reg_create_key(root, subkey, &key);
    if (result != 0) return result;
    result = os_reg_set_string(key, name, text, (unsigned long)strlen(text) + 1);
    os_reg_close_key(key);
    return result;
}

int record_install_path(const char *path) {
    registry_write_string(os_current_user_key(), "Software\\zorvdal", "Path", path);
    return 0;
}

char *registry_read_string(os_key root, const char *subkey, const char *name) {
    os_key key;
    if (os_reg_open_key(root, subkey, &key) != 0) return nullptr;
    unsigned long type, size = kReadCapacity;
    long result = os_reg_query_value(key, name, &type, read_buffer, &size);
    os_reg_close_key(key);
    if (result != 0 || size > kReadCapacity) return nullptr;
    read_buffer[size] = '\0';
    return read_buffer;
}
