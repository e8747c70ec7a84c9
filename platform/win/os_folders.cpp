// Win32 folders held by handle, the steps taken inside them, and the files a change holds.
//
// A held folder is a handle opened with FILE_FLAG_BACKUP_SEMANTICS and shared for reading and
// writing but not for deleting: while it is open nobody can rename it, move it away or replace
// it, nor (on NTFS) any folder above it. A level below it is opened with
// FILE_FLAG_OPEN_REPARSE_POINT and refused when it is a reparse point (a junction, a symbolic
// link, a mounted volume). Win32 has no calls relative to a handle, so each step names its file by
// the held folder's full path and one level: a path that cannot lead anywhere else while the
// folders on it are held.
#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "os_file.h"
#include "os_wide.h"
#include "platform.h"

struct os_dir_ {
    HANDLE handle;
    ULONGLONG index;  // the folder's own number on its volume
    wchar_t *path;    // its full path, without "\\?\", kept in the same allocation
};

namespace {

const DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
const DWORD kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

template <typename F> F lookup(const char *name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return reinterpret_cast<F>(reinterpret_cast<void *>(kernel ? GetProcAddress(kernel, name) : nullptr));
}

// The folder's own path, as the system found it through the handle (Vista on): a link on the way
// to it, followed once when it was opened, is not followed again for every step inside it.
typedef DWORD(WINAPI *final_path_name)(HANDLE, LPWSTR, DWORD, DWORD);

bool final_path(HANDLE h, wchar_t *out) {
    static final_path_name get = lookup<final_path_name>("GetFinalPathNameByHandleW");
    wchar_t found[kWide];
    DWORD n = get ? get(h, found, DWORD(kWide), 0) : 0;
    if (n == 0 || n >= kWide) return false;
    const wchar_t *from = found;
    if (wcsncmp(found, L"\\\\?\\UNC\\", 8) == 0) {
        wcscpy(out, L"\\");
        wcscat(out, found + 7);  // "\\server\share..."
        return true;
    }
    if (wcsncmp(found, L"\\\\?\\", 4) == 0) from = found + 4;
    wcscpy(out, from);
    return true;
}

// The full path of name inside dir, in the form the W calls take.
struct inside {
    wchar_t text[kWide];
    wchar_t full[kWide];
    bool ok;
    inside(os_dir *dir, const char *name) : ok(false) {
        size_t n = wcslen(dir->path);
        if (n + 2 >= kWide) return;
        wcscpy(full, dir->path);
        if (n > 0 && full[n - 1] != L'\\') full[n++] = L'\\';
        if (!MultiByteToWideChar(CP_ACP, 0, name, -1, full + n, int(kWide - n))) return;
        ok = os_long_form(full, text, kWide);
    }
};

int kind_of(DWORD attr) {
    if (attr & FILE_ATTRIBUTE_REPARSE_POINT) return OS_KIND_LINK;
    return (attr & FILE_ATTRIBUTE_DIRECTORY) ? OS_KIND_FOLDER : OS_KIND_FILE;
}

// What a handle holds, asked of the handle alone. GetFileInformationByHandle would also ask for the
// volume's serial number, which Wine answers through its mount manager, a round trip of two
// processes for every folder a run opens; the file's index and attributes need none of that.
struct file_facts {
    DWORD attributes, links;
    ULONGLONG index;
};

typedef BOOL(WINAPI *info_by_handle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
struct io_status {
    void *status;
    ULONG_PTR information;
};
typedef LONG(WINAPI *query_information)(HANDLE, io_status *, PVOID, ULONG, int);
const int kFileInternalInformation = 6;

bool facts_of(HANDLE h, file_facts &f) {
    static info_by_handle info = lookup<info_by_handle>("GetFileInformationByHandleEx");
    static query_information query = reinterpret_cast<query_information>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    io_status io;
    LARGE_INTEGER index;
    if (info && query && info(h, FileBasicInfo, &basic, sizeof basic) &&
        info(h, FileStandardInfo, &standard, sizeof standard) &&
        query(h, &io, &index, sizeof index, kFileInternalInformation) >= 0) {
        f.attributes = basic.FileAttributes;
        f.links = standard.NumberOfLinks;
        f.index = ULONGLONG(index.QuadPart);
        return true;
    }
    // Windows XP has neither.
    BY_HANDLE_FILE_INFORMATION all;
    if (!GetFileInformationByHandle(h, &all)) return false;
    f.attributes = all.dwFileAttributes;
    f.links = all.nNumberOfLinks;
    f.index = ULONGLONG(all.nFileIndexHigh) << 32 | all.nFileIndexLow;
    return true;
}

// A folder held by h, or null (h closed) when h holds anything else: BACKUP_SEMANTICS opens files too.
os_dir *hold_folder(HANDLE h, const wchar_t *path, int *kind) {
    file_facts f;
    *kind = facts_of(h, f) ? kind_of(f.attributes) : -1;
    os_dir *d = *kind == OS_KIND_FOLDER
                    ? static_cast<os_dir *>(malloc(sizeof(os_dir) + (wcslen(path) + 1) * sizeof(wchar_t)))
                    : nullptr;
    if (!d) {
        CloseHandle(h);
        return nullptr;
    }
    d->handle = h;
    d->index = f.index;
    d->path = reinterpret_cast<wchar_t *>(d + 1);
    wcscpy(d->path, path);
    return d;
}

// The same file, for two handles on one volume: the only case asked, as a run never follows a
// level onto another volume.
bool same_file(HANDLE a, HANDLE b) {
    file_facts x, y;
    return facts_of(a, x) && facts_of(b, y) && x.index == y.index;
}

}  // namespace

os_dir *os_open_dir(const char *path) {
    wide_path w(path);
    if (!w.ok) return nullptr;
    HANDLE h = CreateFileW(w.text, kFolderAccess, kFolderSharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    wchar_t full[kWide];
    if (!final_path(h, full)) {
        wchar_t given[kWide];
        DWORD n = MultiByteToWideChar(CP_ACP, 0, path, -1, given, int(kWide))
                      ? GetFullPathNameW(given, DWORD(kWide), full, nullptr)
                      : 0;
        if (n == 0 || n >= kWide) {
            CloseHandle(h);
            return nullptr;
        }
    }
    // A folder's path ends in its name, but for a root ("C:\").
    for (size_t n = wcslen(full); n > 3 && full[n - 1] == L'\\'; n--) full[n - 1] = L'\0';
    int kind;
    return hold_folder(h, full, &kind);
}

os_dir *os_open_dir_at(os_dir *dir, const char *name, int *kind) {
    inside p(dir, name);
    *kind = -1;
    if (!p.ok) return nullptr;
    HANDLE h = CreateFileW(p.text, kFolderAccess, kFolderSharing, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) *kind = OS_KIND_NONE;
        return nullptr;
    }
    return hold_folder(h, p.full, kind);
}

void os_close_dir(os_dir *dir) {
    if (!dir) return;
    CloseHandle(dir->handle);
    free(dir);
}

// Two held folders below one target are on one volume, or one of them would be a mount point.
int os_same_dir(os_dir *a, os_dir *b) { return a->index == b->index; }

int os_kind_at(os_dir *dir, const char *name) {
    inside p(dir, name);
    if (!p.ok) return -1;
    DWORD attr = GetFileAttributesW(p.text);
    if (attr != INVALID_FILE_ATTRIBUTES) return kind_of(attr);
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OS_KIND_NONE : -1;
}

int os_mkdir_at(os_dir *dir, const char *name) {
    inside p(dir, name);
    return p.ok && CreateDirectoryW(p.text, nullptr) ? 0 : -1;
}

int os_rmdir_at(os_dir *dir, const char *name) {
    os_flushes_quiet();
    inside p(dir, name);
    return p.ok && RemoveDirectoryW(p.text) ? 0 : -1;
}

int os_remove_at(os_dir *dir, const char *name) {
    os_flushes_quiet();
    inside p(dir, name);
    return p.ok && DeleteFileW(p.text) ? 0 : -1;
}

// MoveFileExW without MOVEFILE_COPY_ALLOWED (which MoveFileA implies): a move to another volume
// fails instead of copying, so that no half-made copy can stand in for a file.
int os_rename_at(os_dir *from_dir, const char *from, os_dir *to_dir, const char *to) {
    os_flushes_quiet();
    inside a(from_dir, from), b(to_dir, to);
    if (!a.ok || !b.ok) return -1;
    DWORD attr = GetFileAttributesW(a.text);
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    return MoveFileExW(a.text, b.text, 0) ? 0 : -1;
}

// Others may read the new file while it is written, never write it.
os_file *os_create_at(os_dir *dir, const char *name) {
    inside p(dir, name);
    if (!p.ok) return nullptr;
    HANDLE h = CreateFileW(p.text, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : os_file_over_handle(h);
}

// Opening the file for writing and deleting, sharing it with nobody, succeeds only when no other
// handle is open on it: a program that holds it open, or runs it (its image is mapped), or a
// read-only file makes it fail.
int os_in_use_at(os_dir *dir, const char *name) {
    os_flushes_quiet();
    inside p(dir, name);
    if (!p.ok) return 1;
    HANDLE h = CreateFileW(p.text, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 1;
}

int os_stored_name_at(os_dir *dir, const char *name, char *out, size_t size) {
    // A pattern would find other files.
    if (strpbrk(name, "*?")) return 0;
    inside p(dir, name);
    WIN32_FIND_DATAW found;
    HANDLE h = p.ok ? FindFirstFileW(p.text, &found) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) return 0;
    FindClose(h);
    return os_narrow(found.cFileName, out, size) ? 1 : 0;
}

// Sharing nothing: every other open fails with ERROR_SHARING_VIOLATION until the handle closes,
// also when this run is killed and Windows closes it.
os_file *os_hold_at(os_dir *dir, const char *name, int empty, int *held) {
    *held = 0;
    inside p(dir, name);
    if (!p.ok) return nullptr;
    HANDLE h = CreateFileW(p.text, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *held = GetLastError() == ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    // A link, a folder, or a file with another name elsewhere (a hard link) is not this run's.
    file_facts f;
    bool ok = facts_of(h, f) && kind_of(f.attributes) == OS_KIND_FILE && f.links == 1 && (!empty || SetEndOfFile(h));
    if (!ok) {
        CloseHandle(h);
        return nullptr;
    }
    return os_file_over_handle(h);
}

// The file's own disposition, set through the handle that holds it (Vista on), deletes that
// file whatever its name is now. Without the call (Windows XP) it goes by name once it is closed,
// and only while the name still leads to it.
typedef BOOL(WINAPI *set_file_information)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

int os_remove_held(os_file *f, os_dir *dir, const char *name) {
    static set_file_information set = lookup<set_file_information>("SetFileInformationByHandle");
    HANDLE mine = os_handle_of(f);
    FILE_DISPOSITION_INFO gone = {TRUE};
    if (set) {
        bool removed = set(mine, FileDispositionInfo, &gone, sizeof gone);
        os_fclose(f);
        return removed ? 0 : -1;
    }
    inside p(dir, name);
    HANDLE now = p.ok ? CreateFileW(p.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                      : INVALID_HANDLE_VALUE;
    bool same = now != INVALID_HANDLE_VALUE && same_file(mine, now);
    if (now != INVALID_HANDLE_VALUE) CloseHandle(now);
    os_fclose(f);
    return same && DeleteFileW(p.text) ? 0 : -1;
}

int os_fsync_at(os_dir *dir, const char *name) {
    inside p(dir, name);
    return p.ok && os_fsync_path(p.text) ? 0 : -1;
}

int os_fsync_dir(os_dir *) { return 0; }

int os_fclose_and_write_out(os_file *f, os_dir *dir, const char *name) {
    inside p(dir, name);
    // A file over a C stream keeps its handle to the stream; one whose path does not fit is
    // only closed, and its flush fails when it is asked for.
    if (!p.ok || f->stream) return os_fclose(f);
    if (os_fflush(f) != 0) {
        os_fclose(f);
        return -1;
    }
    HANDLE h = os_handle_of(f);
    os_file_forget(f);
    os_start_write_out_handle(p.text, h);
    return 0;
}

int os_free_space(os_dir *dir, unsigned long long *bytes) {
    wchar_t full[kWide], root[kWide];
    size_t n = wcslen(dir->path);
    if (n + 2 >= kWide) return -1;
    wcscpy(full, dir->path);
    if (n > 0 && full[n - 1] != L'\\') wcscat(full, L"\\");
    ULARGE_INTEGER free_to_caller;
    if (!os_long_form(full, root, kWide) || !GetDiskFreeSpaceExW(root, &free_to_caller, nullptr, nullptr)) return -1;
    *bytes = free_to_caller.QuadPart;
    return 0;
}
