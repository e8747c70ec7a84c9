// Win32 buffered files of the runtime library (msvcrt), paths, and the flushes of a held file.
//
// An os_file is the FILE itself. Reads use the no-lock forms where msvcrt has them: the installer
// reads on one thread, and _getc_nolock is a macro over the stream's own buffer.
//
// Paths go to the W calls through os_wide.h, which says why.
#include <windows.h>

#include <ctype.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "os_wide.h"
#include "platform.h"

namespace {

FILE *stream(os_file *f) { return reinterpret_cast<FILE *>(f); }

HANDLE handle(os_file *f) { return os_file_handle(stream(f)); }

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

HANDLE os_file_handle(FILE *s) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(s))); }

FILE *os_stream_over(HANDLE h, bool read_too) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, read_too ? "r+b" : "wb");
    if (!f) _close(fd);
    return f;
}

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

// CON, NUL, COM1 and the rest name devices in every folder, with or without an extension.
int os_reserves_device_names(void) { return 1; }

// As the file system compares names: "A.txt" and "a.txt" are one file.
void os_fold_case(char *name) { CharUpperBuffA(name, DWORD(strlen(name))); }

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
