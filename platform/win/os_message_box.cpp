// Win32 message boxes: MessageBoxA with no owner window.
#include <windows.h>

#include "platform.h"

int os_message_box(const char *text, const char *caption, unsigned style) {
    return MessageBoxA(nullptr, text, caption, style);
}
