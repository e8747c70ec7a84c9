// Win32 files under the seam's buffer (handles, and the C streams of the tools), paths, flushes.
//
// Paths go to the W calls through os_wide.h, which says why.
#include <windows.h>

#include <ctype.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "os_file.h"
#include "os_wide.h"
#include "platform.h"

namespace {

// The handle under f; a C stream's own.
HANDLE handle(os_file *f) {
    return f->stream ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f->stream))) : reinterpret_cast<HANDLE>(f->handle);
}

}  // namespace

wide_path::wide_path(const char *path) : ok(false) {
    wchar_t given[kWide], full[kWide];
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, given, int(kWide))) return;
    DWORD n = GetFullPathNameW(given, DWORD(kWide - 8), full, nullptr);
    if (n == 0 || n >= kWide - 8) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    // Short paths go as they were given, as the A calls would take them.
    if (n < MAX_PATH - 12) wcscpy(text, given);
    else if (!os_long_form(full, text, kWide)) return;
    ok = true;
}

bool os_long_form(const wchar_t *full, wchar_t *out, size_t size) {
    size_t n = wcslen(full);
    // MAX_PATH less the 12 characters that CreateDirectory keeps for an 8.3 name.
    if (n < MAX_PATH - 12) {
        if (n >= size) return false;
        wcscpy(out, full);
        return true;
    }
    bool share = full[0] == L'\\' && full[1] == L'\\';  // \\server\share\...
    const wchar_t *prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t *rest = share ? full + 1 : full;
    size_t p = wcslen(prefix);
    if (p + wcslen(rest) >= size) return false;
    wcscpy(out, prefix);
    wcscpy(out + p, rest);
    return true;
}

bool os_narrow(const wchar_t *wide, char *out, size_t size) {
    return WideCharToMultiByte(CP_ACP, 0, wide, -1, out, int(size), nullptr, nullptr) > 0;
}

os_file *os_file_over_handle(HANDLE h) {
    os_file *f = os_file_over(reinterpret_cast<intptr_t>(h), nullptr);
    if (!f) CloseHandle(h);
    return f;
}

// The modes the core uses, as msvcrt's fopen takes them: "rb", "wb" (created or emptied), "w+b" (the
// same, and read back); shared for reading and writing, as fopen shares them.
os_file *os_fopen(const char *path, const char *mode) {
    wide_path w(path);
    if (!w.ok) return nullptr;
    bool read = mode[0] == 'r', both = strchr(mode, '+') != nullptr;
    DWORD access = read ? GENERIC_READ : both ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    HANDLE h = CreateFileW(w.text, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, read ? OPEN_EXISTING : CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : os_file_over_handle(h);
}

long long os_native_read(os_file *f, void *buffer, size_t n) {
    if (f->stream) {
        size_t got = fread(buffer, 1, n, f->stream);
        return got == 0 && ferror(f->stream) ? -1 : (long long)got;
    }
    DWORD got = 0;
    // ReadFile takes at most 4 GiB less one at a time.
    DWORD want = n > 0x40000000 ? 0x40000000 : DWORD(n);
    if (!ReadFile(handle(f), buffer, want, &got, nullptr)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

int os_native_write(os_file *f, const void *data, size_t n) {
    if (f->stream) return fwrite(data, 1, n, f->stream) == n ? 0 : -1;
    for (const char *p = static_cast<const char *>(data); n > 0;) {
        DWORD done = 0, want = n > 0x40000000 ? 0x40000000 : DWORD(n);
        if (!WriteFile(handle(f), p, want, &done, nullptr) || done == 0) return -1;
        p += done, n -= done;
    }
    return 0;
}

int os_native_seek(os_file *f, long long offset) {
    if (f->stream) return _fseeki64(f->stream, offset, SEEK_SET) == 0 ? 0 : -1;
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return SetFilePointerEx(handle(f), to, nullptr, FILE_BEGIN) ? 0 : -1;
}

int os_native_close(os_file *f) {
    if (f->stream) return fclose(f->stream) == 0 ? 0 : -1;
    return CloseHandle(handle(f)) ? 0 : -1;
}

int os_mkdir(const char *path) {
    wide_path w(path);
    return w.ok && CreateDirectoryW(w.text, nullptr) ? 0 : -1;
}

int os_rmdir(const char *path) {
    wide_path w(path);
    return w.ok && RemoveDirectoryW(w.text) ? 0 : -1;
}

// CON, NUL, COM1 and the rest name devices in every folder, with or without an extension.
int os_reserves_device_names(void) { return 1; }

// As the file system compares names: "A.txt" and "a.txt" are one file.
void os_fold_case(char *name) { CharUpperBuffA(name, DWORD(strlen(name))); }

int os_ftruncate(os_file *f) {
    if (os_fflush(f) != 0 || os_fseek(f, 0) != 0) return -1;
    return SetEndOfFile(handle(f)) ? 0 : -1;
}

long long os_file_size(os_file *f) {
    LARGE_INTEGER size;
    if (os_fflush(f) != 0 || !GetFileSizeEx(handle(f), &size)) return -1;
    return size.QuadPart;
}

int os_fsync(os_file *f) { return os_fflush(f) == 0 && FlushFileBuffers(handle(f)) ? 0 : -1; }

HANDLE os_handle_of(os_file *f) { return handle(f); }

int os_full_path(const char *path, char *out, size_t size) {
    wchar_t given[kWide], full[kWide], stored[kWide];
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, given, int(kWide))) return 0;
    DWORD n = GetFullPathNameW(given, DWORD(kWide), full, nullptr);
    if (n == 0 || n >= kWide) return 0;
    // Written out level by level from what is on the disk; a path whose last levels are not
    // there yet keeps them as resolved.
    const wchar_t *result = full;
    DWORD m = GetLongPathNameW(full, stored, DWORD(kWide));
    if (m > 0 && m < kWide) result = stored;
    if (!os_narrow(result, out, size)) return 0;
    // The drive letter as Windows itself writes it, whatever the spelling that reached it.
    if (out[0] && out[1] == ':') out[0] = char(toupper((unsigned char)out[0]));
    return 1;
}
