// The installer's true entry point on Windows: library loading restricted to the system folder.
//
// An installer is usually started from a downloads folder, where anyone's files pile up. Windows
// looks for a library that a program loads at run time in the program's own folder first, so a
// library planted there under the name of a system one would run inside the installer. Before the
// runtime library's start-up runs any code (it, and the user interface calls later on, load system
// libraries on demand), the search is cut down to the system folder: SetDefaultDllDirectories where
// Windows offers it (Windows 8, or Windows 7 with its loader update), and SetDllDirectoryA("")
// everywhere, which takes the current folder out of the search. Both are looked up by name, so
// that the installer still starts on a Windows that lacks them; they are then simply skipped.
//
// The link makes zorv_entry the image's entry point (the kit passes -e); it hands over to the
// runtime library's GUI start-up, which calls WinMain.
#include <windows.h>

extern "C" int WinMainCRTStartup(void);

namespace {

typedef BOOL(WINAPI *set_default_dll_directories)(DWORD);
typedef BOOL(WINAPI *set_dll_directory)(LPCSTR);

template <typename F> F lookup(HMODULE module, const char *name) {
    // GetProcAddress gives a generic function pointer; the detour through void * keeps the
    // compiler's function-type cast warning for casts that are not meant.
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

void restrict_library_search() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    if (auto set_default = lookup<set_default_dll_directories>(kernel, "SetDefaultDllDirectories"))
        set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (auto set_directory = lookup<set_dll_directory>(kernel, "SetDllDirectoryA")) set_directory("");
}

}  // namespace

extern "C" int zorv_entry(void) {
    restrict_library_search();
    return WinMainCRTStartup();
}
