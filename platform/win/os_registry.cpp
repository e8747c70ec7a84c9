// Win32 per-user registry: the ANSI registry calls on HKEY_CURRENT_USER.
#include <windows.h>

#include "platform.h"

static HKEY handle(os_key key) { return reinterpret_cast<HKEY>(key); }

os_key os_current_user_key(void) { return reinterpret_cast<os_key>(HKEY_CURRENT_USER); }

long os_reg_create_key(os_key root, const char *subkey, os_key *out) {
    HKEY key;
    LONG result = RegCreateKeyExA(handle(root), subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) *out = reinterpret_cast<os_key>(key);
    return result;
}

long os_reg_set_string(os_key key, const char *name, const void *data, unsigned long size) {
    return RegSetValueExA(handle(key), name, 0, REG_SZ, static_cast<const BYTE *>(data), DWORD(size));
}

long os_reg_open_key(os_key root, const char *subkey, os_key *out) {
    HKEY key;
    LONG result = RegOpenKeyA(handle(root), subkey, &key);
    if (result == ERROR_SUCCESS) *out = reinterpret_cast<os_key>(key);
    return result;
}

long os_reg_query_value(os_key key, const char *name, unsigned long *type, void *data, unsigned long *size) {
    DWORD t = 0, n = DWORD(*size);
    LONG result = RegQueryValueExA(handle(key), name, nullptr, &t, static_cast<BYTE *>(data), &n);
    if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
        *size = n;
        if (type) *type = t;
    }
    return result;
}

long os_reg_close_key(os_key key) { return RegCloseKey(handle(key)); }
