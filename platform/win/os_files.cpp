// Win32 buffered files of the runtime library (msvcrt), folders, and the holds and flushes of a change.
//
// An os_file is the FILE itself. Reads use the no-lock forms where msvcrt has them: the installer
// reads on one thread, and _getc_nolock is a macro over the stream's own buffer.
//
// Paths are the process's ANSI code page, as the A calls take them. The A calls refuse a path
// whose full form passes MAX_PATH, and the change's own paths ("tmp_inst.old\journal") are longer
// than the entries' that a target always took; so every path goes to the W calls, converted as
// the A calls convert it, and one too long for them as "\\?\" and its full form, which the W
// calls take up to 32 767 characters. Below that length nothing differs from the A calls.
#include <windows.h>

#include <ctype.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "platform.h"

namespace {

FILE *stream(os_file *f) { return reinterpret_cast<FILE *>(f); }

HANDLE handle(os_file *f) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream(f)))); }

// Room for any path the installer makes (at most 5000 bytes) in its full form.
const size_t kWide = 5200;

// path in the form the W calls take; false (ERROR_FILENAME_EXCED_RANGE) when it does not fit.
struct wide_path {
    wchar_t text[kWide];
    bool ok;
    explicit wide_path(const char *path) : ok(false) {
        wchar_t given[kWide];
        if (!MultiByteToWideChar(CP_ACP, 0, path, -1, given, int(kWide))) return;
        DWORD n = GetFullPathNameW(given, DWORD(kWide - 8), text + 8, nullptr);
        if (n == 0 || n >= kWide - 8) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return;
        }
        // MAX_PATH less the 12 characters that CreateDirectory keeps for an 8.3 name.
        if (n < MAX_PATH - 12) {
            wcscpy(text, given);
        } else if (text[8] == L'\\' && text[9] == L'\\') {  // \\server\share\...
            memcpy(text, L"\\\\?\\UNC", 7 * sizeof(wchar_t));
            memmove(text + 7, text + 9, n * sizeof(wchar_t));
        } else {
            memcpy(text, L"\\\\?\\", 4 * sizeof(wchar_t));
            memmove(text + 4, text + 8, (n + 1) * sizeof(wchar_t));
        }
        ok = true;
    }
};

bool narrow(const wchar_t *wide, char *out, size_t size) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, int(size), nullptr, nullptr);
    return n > 0;
}

DWORD attributes(const char *path) {
    wide_path w(path);
    return w.ok ? GetFileAttributesW(w.text) : INVALID_FILE_ATTRIBUTES;
}

// The file's own disposition, set through the handle that holds it (Windows Vista on); looked up
// by name, so that the installer still starts where it is missing.
typedef BOOL(WINAPI *set_file_information)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

set_file_information file_information_setter() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetFileInformationByHandle") : nullptr;
    return reinterpret_cast<set_file_information>(reinterpret_cast<void *>(found));
}

}  // namespace

os_file *os_fopen(const char *path, const char *mode) {
    wide_path w(path);
    wchar_t wmode[8];
    if (!w.ok || !MultiByteToWideChar(CP_ACP, 0, mode, -1, wmode, 8)) return nullptr;
    return os_stdio(_wfopen(w.text, wmode));
}

os_file *os_stdio(FILE *s) { return reinterpret_cast<os_file *>(s); }

// The flush comes first and on its own: Wine's msvcrt closes a file whose last bytes did not fit
// on the disk and still reports success, so only the flush tells that the file is short.
int os_fclose(os_file *f) {
    int flushed = fflush(stream(f));
    return fclose(stream(f)) == 0 && flushed == 0 ? 0 : -1;
}

int os_setvbuf(os_file *f, char *buffer, size_t size) { return setvbuf(stream(f), buffer, _IOFBF, size) == 0 ? 0 : -1; }

size_t os_fread(void *buffer, size_t n, os_file *f) { return fread(buffer, 1, n, stream(f)); }

int os_getc(os_file *f) { return _getc_nolock(stream(f)); }

char *os_fgets(char *buffer, int size, os_file *f) { return fgets(buffer, size, stream(f)); }

int os_ferror(os_file *f) { return ferror(stream(f)); }

// msvcrt counts the bytes read ahead in _cnt from _ptr, as its own _getc_nolock does.
size_t os_peek(os_file *f, const unsigned char **bytes) {
    FILE *s = stream(f);
    *bytes = reinterpret_cast<const unsigned char *>(s->_ptr);
    return s->_cnt > 0 ? size_t(s->_cnt) : 0;
}

void os_skip(os_file *f, size_t n) {
    FILE *s = stream(f);
    s->_ptr += n;
    s->_cnt -= int(n);
}

// msvcrt has no _fwrite_nolock; writes come in pieces of up to 63 bytes, so the lock matters less.
size_t os_fwrite(const void *data, size_t n, os_file *f) { return fwrite(data, 1, n, stream(f)); }

int os_fflush(os_file *f) { return fflush(stream(f)) == 0 ? 0 : -1; }

int os_fseek(os_file *f, long offset) { return fseek(stream(f), offset, SEEK_SET) == 0 ? 0 : -1; }

int os_mkdir(const char *path) {
    wide_path w(path);
    return w.ok && CreateDirectoryW(w.text, nullptr) ? 0 : -1;
}

int os_rmdir(const char *path) {
    wide_path w(path);
    return w.ok && RemoveDirectoryW(w.text) ? 0 : -1;
}

int os_remove(const char *path) {
    wide_path w(path);
    return w.ok && DeleteFileW(w.text) ? 0 : -1;
}

// MoveFileExW without MOVEFILE_COPY_ALLOWED (which MoveFileA implies): a move to another volume,
// a folder of the target that is a link to another drive, fails instead of copying, so that no
// half-made copy can stand in for a file.
int os_rename(const char *from, const char *to) {
    wide_path a(from), b(to);
    if (!a.ok || !b.ok) return -1;
    DWORD attr = GetFileAttributesW(a.text);
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    return MoveFileExW(a.text, b.text, 0) ? 0 : -1;
}

// Junctions, symbolic links and mounted volumes are all reparse points.
int os_file_kind(const char *path) {
    DWORD attr = attributes(path);
    if (attr != INVALID_FILE_ATTRIBUTES) {
        if (attr & FILE_ATTRIBUTE_REPARSE_POINT) return OS_KIND_LINK;
        return (attr & FILE_ATTRIBUTE_DIRECTORY) ? OS_KIND_FOLDER : OS_KIND_FILE;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OS_KIND_NONE : -1;
}

// Opening the file for writing and deleting, sharing it with nobody, succeeds only when no other
// handle is open on it: a program that holds it open, or runs it (its image is mapped), or a
// read-only file makes it fail.
int os_file_in_use(const char *path) {
    wide_path w(path);
    if (!w.ok) return 1;
    HANDLE h = CreateFileW(w.text, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 1;
}

// CON, NUL, COM1 and the rest name devices in every folder, with or without an extension.
int os_reserves_device_names(void) { return 1; }

// Sharing nothing: every other open fails with ERROR_SHARING_VIOLATION until the handle closes,
// also when this run is killed and Windows closes it.
os_file *os_hold_file(const char *path, int empty, int *held) {
    *held = 0;
    wide_path w(path);
    if (!w.ok) return nullptr;
    HANDLE h = CreateFileW(w.text, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *held = GetLastError() == ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    // A link, a folder, or a file with another name elsewhere (a hard link) is not this run's.
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(h, &info) &&
              !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
              info.nNumberOfLinks == 1 && (!empty || SetEndOfFile(h));
    int fd = ok ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY) : -1;
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, "r+b");
    if (!f) _close(fd);
    return os_stdio(f);
}

int os_remove_held(os_file *f, const char *path) {
    fflush(stream(f));
    FILE_DISPOSITION_INFO gone = {TRUE};
    set_file_information set = file_information_setter();
    bool removed = set && set(handle(f), FileDispositionInfo, &gone, sizeof gone);
    fclose(stream(f));
    // Without the call (Windows XP), the file goes once it is closed; another run may take it in
    // between, and then keeps it.
    return removed || os_remove(path) == 0 ? 0 : -1;
}

int os_ftruncate(os_file *f) {
    FILE *s = stream(f);
    if (fflush(s) != 0 || _chsize(_fileno(s), 0) != 0) return -1;
    return fseek(s, 0, SEEK_SET) == 0 ? 0 : -1;
}

long long os_file_size(os_file *f) {
    if (fflush(stream(f)) != 0) return -1;
    return _filelengthi64(_fileno(stream(f)));
}

int os_fsync(os_file *f) { return fflush(stream(f)) == 0 && FlushFileBuffers(handle(f)) ? 0 : -1; }

int os_fsync_path(const char *path) {
    wide_path w(path);
    if (!w.ok) return -1;
    DWORD attr = GetFileAttributesW(w.text);
    if (attr == INVALID_FILE_ATTRIBUTES) return -1;
    if (attr & FILE_ATTRIBUTE_DIRECTORY) return 0;
    HANDLE h = CreateFileW(w.text, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    bool ok = FlushFileBuffers(h);
    CloseHandle(h);
    return ok ? 0 : -1;
}

// FlushFileBuffers waits for the file alone; Windows has no call that only starts it.
void os_start_write_out(const char *) {}

int os_free_space(const char *path, unsigned long long *bytes) {
    wide_path w(path);
    ULARGE_INTEGER free_to_caller;
    if (!w.ok || !GetDiskFreeSpaceExW(w.text, &free_to_caller, nullptr, nullptr)) return -1;
    *bytes = free_to_caller.QuadPart;
    return 0;
}

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
    if (!narrow(result, out, size)) return 0;
    // The drive letter as Windows itself writes it, whatever the spelling that reached it.
    if (out[0] && out[1] == ':') out[0] = char(toupper((unsigned char)out[0]));
    return 1;
}

int os_stored_name(const char *path, char *out, size_t size) {
    // A pattern would find other files.
    if (strpbrk(path, "*?")) return 0;
    wide_path w(path);
    WIN32_FIND_DATAW found;
    HANDLE h = w.ok ? FindFirstFileW(w.text, &found) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) return 0;
    FindClose(h);
    return narrow(found.cFileName, out, size) ? 1 : 0;
}
