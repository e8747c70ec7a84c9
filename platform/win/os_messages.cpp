// Win32 registered window messages and their broadcast to every top-level window.
#include <windows.h>

#include "platform.h"

unsigned os_register_window_message(const char *name) { return RegisterWindowMessageA(name); }

int os_broadcast_message(unsigned message) { return PostMessageA(HWND_BROADCAST, message, 0, 0) ? 1 : 0; }
