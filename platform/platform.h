// The seam between the installer and the operating system: every call the core makes to it.
//
// The core (driver/, archive/, payload/) never names an operating system. It calls the os_
// operations below, which behave as the Windows calls named beside each one. platform/win holds
// the real Win32 code; platform/posix holds a stand-in that gives the same results on Linux, so
// that every part of the installer runs and is tested here. CMake links exactly one of the two.
//
// Texts are byte strings ended by NUL. Paths may use '\' and '/' as separators on both systems:
// the Linux stand-in takes '\' as a directory separator too, so "dir\zorv.exe" names a file
// inside "dir", as it does on Windows.
#ifndef ZORV_PLATFORM_H
#define ZORV_PLATFORM_H

#include <stdio.h>

#ifdef _WIN32
#define OS_WINAPI __stdcall
#else
#define OS_WINAPI
#endif

// C linkage: one plain symbol per operation, so that a test build can put itself between the
// core and the operating system (the fault-injection tests wrap these names at link time).
extern "C" {

// ---- Files and directories (the runtime library) ----

// fopen: modes "rb", "wb", "w+b" are untranslated byte modes everywhere. Null on failure.
FILE *os_fopen(const char *path, const char *mode);
// _mkdir: creates one directory level. 0 on success, -1 on failure (it exists, no parent...).
int os_mkdir(const char *path);
// remove: deletes one file. 0 on success, -1 on failure.
int os_remove(const char *path);

// ---- Resources of the running executable (FindResourceA and its companions) ----

// A resource found in the program's own image; null when absent.
typedef struct os_resource_ *os_resource;
// FindResourceA(NULL, MAKEINTRESOURCEA(id), type): the resource of a named (string) type.
os_resource os_find_resource(int id, const char *type);
// SizeofResource: size of its data in bytes.
unsigned long os_sizeof_resource(os_resource res);
// LoadResource: a handle to the loaded data, null on failure.
void *os_load_resource(os_resource res);
// LockResource: the address of the data's first byte, null on failure.
const void *os_lock_resource(void *loaded);

// ---- User interface, messages, time ----

enum {
    OS_MB_OK = 0x00,
    OS_MB_YESNOCANCEL = 0x03,
    OS_MB_ICONERROR = 0x10,
    OS_MB_ICONQUESTION = 0x20,
    OS_IDOK = 1,
    OS_IDCANCEL = 2,
    OS_IDYES = 6,
    OS_IDNO = 7
};
// MessageBoxA with no owner: the button pressed, or 0 when no box can be shown.
int os_message_box(const char *text, const char *caption, unsigned style);
// RegisterWindowMessageA: the same number for the same name in every process.
unsigned os_register_window_message(const char *name);
// PostMessageA(HWND_BROADCAST, message, 0, 0): nonzero when posted; does not wait.
int os_broadcast_message(unsigned message);
// Sleep.
void os_sleep(unsigned milliseconds);
// GetWindowsDirectoryA: the length written (without NUL); 0 on failure; the size needed when
// the buffer is too small (a result >= size means nothing usable was written).
unsigned os_get_windows_directory(char *buffer, unsigned size);

// ---- Processes ----

// _execlp(program, arg0, arg1, NULL): replaces this process; returns (-1) only on failure.
int os_exec(const char *program, const char *arg0, const char *arg1);
// exit.
[[noreturn]] void os_exit(int status);

// ---- Per-user registry (RegCreateKeyExA and its companions) ----

typedef struct os_key_ *os_key;
// HKEY_CURRENT_USER.
os_key os_current_user_key(void);
// RegCreateKeyExA(root, subkey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, out, NULL): 0 or an error code.
long os_reg_create_key(os_key root, const char *subkey, os_key *out);
// RegSetValueExA(key, name, 0, REG_SZ, data, size): 0 or an error code.
long os_reg_set_string(os_key key, const char *name, const void *data, unsigned long size);
// RegOpenKeyA(root, subkey, out): 0 or an error code; a missing key is not created.
long os_reg_open_key(os_key root, const char *subkey, os_key *out);
// RegQueryValueExA(key, name, NULL, type, data, size): 0 or an error code; *size is the
// capacity on entry and the stored size on return. Data larger than the capacity fails.
long os_reg_query_value(os_key key, const char *name, unsigned long *type, void *data,
                        unsigned long *size);
// RegCloseKey.
long os_reg_close_key(os_key key);

}  // extern "C"

#endif
