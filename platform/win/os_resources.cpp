// Win32 resource calls on the running executable's own image.
#include <windows.h>

#include "platform.h"

os_resource os_find_resource(int id, const char *type) {
    return reinterpret_cast<os_resource>(FindResourceA(nullptr, MAKEINTRESOURCEA(id), type));
}

unsigned long os_sizeof_resource(os_resource res) {
    return SizeofResource(nullptr, reinterpret_cast<HRSRC>(res));
}

void *os_load_resource(os_resource res) { return LoadResource(nullptr, reinterpret_cast<HRSRC>(res)); }

const void *os_lock_resource(void *loaded) { return LockResource(static_cast<HGLOBAL>(loaded)); }
