// Win32 process start-up: the command line, the start-up information, the library search.
//
// An installer is usually started from a downloads folder, where anyone's files pile up. Windows
// looks for a library that a program loads at run time in the program's own folder first, so a
// library planted there under the name of a system one would run inside the installer. The
// restriction below cuts the search down to the system folder: SetDefaultDllDirectories where
// Windows offers it (Windows 8, or Windows 7 with its loader update), and SetDllDirectoryA("")
// everywhere, which takes the current folder out of the search. Both are looked up by name, so
// that the installer still starts on a Windows that lacks them; they are then simply skipped.
// It uses kernel32 alone, so the entry point can call it before the runtime library starts.
#include <windows.h>

#include "platform.h"

extern "C" int WinMainCRTStartup(void);

namespace {

typedef BOOL(WINAPI *set_default_dll_directories)(DWORD);
typedef BOOL(WINAPI *set_dll_directory)(LPCSTR);

template <typename F> F lookup(HMODULE module, const char *name) {
    // GetProcAddress gives a generic function pointer; the detour through void * keeps the
    // compiler's function-type cast warning for casts that are not meant.
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

}  // namespace

const char *os_command_line(void) { return GetCommandLineA(); }

void *os_instance(void) { return GetModuleHandleA(nullptr); }

int os_show_command(void) {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}

void os_restrict_library_search(void) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    if (auto set_default = lookup<set_default_dll_directories>(kernel, "SetDefaultDllDirectories"))
        set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (auto set_directory = lookup<set_dll_directory>(kernel, "SetDllDirectoryA")) set_directory("");
}

int os_runtime_startup(void) { return WinMainCRTStartup(); }
