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

#include <stddef.h>
#include <stdio.h>

#ifdef _WIN32
#define OS_WINAPI __stdcall
#else
#define OS_WINAPI
#endif

// C linkage: one plain symbol per operation, so that a test build can put itself between the
// core and the operating system (the fault-injection tests wrap these names at link time).
extern "C" {

// ---- Files and directories (the runtime library's buffered files) ----
//
// Every file the core touches is one of these: the temporary files, the archive stream, each
// extracted file. Nothing above this seam calls the C library's file functions or looks inside
// its streams, so a test build can wrap each operation and make any of them fail.

// An open, buffered file in untranslated byte mode.
typedef struct os_file_ os_file;

// fopen with mode "rb", "wb" (created or emptied) or "w+b" (the same, and read back). Null on
// failure.
os_file *os_fopen(const char *path, const char *mode);
// fclose: writes out what is buffered and lets go of the file in every case. 0, or -1 when the
// buffered bytes could not be written (they are lost: the file is short).
int os_fclose(os_file *f);
// setvbuf with full buffering in the caller's buffer, which must outlive the file; before the
// first read or write only. 0, or -1 when the file keeps its own buffer (nothing else changes).
int os_setvbuf(os_file *f, char *buffer, size_t size);
// fread of n single bytes: how many were read; fewer only at the end of the file or on a read
// error, which os_ferror tells apart.
size_t os_fread(void *buffer, size_t n, os_file *f);
// getc: the next byte (0 to 255), or -1 at the end of the file or on a read error.
int os_getc(os_file *f);
// fgets: up to size - 1 bytes, ending after an LF if one comes first, then a NUL; null when not
// one byte could be read (the end of the file or a read error).
char *os_fgets(char *buffer, int size, os_file *f);
// ferror: nonzero once a read or write of f has failed.
int os_ferror(os_file *f);
// The bytes f has read ahead and not yet handed out, in place. None is always a valid answer
// (the next os_getc then reads on). os_skip(f, n) hands out n of them, exactly as n calls of
// os_getc would: together they let a reader take a stretch of buffered bytes at a time.
size_t os_peek(os_file *f, const unsigned char **bytes);
void os_skip(os_file *f, size_t n);
// fwrite of n single bytes: how many were written; fewer on failure.
size_t os_fwrite(const void *data, size_t n, os_file *f);
// fflush: 0, or -1 when the buffered bytes cannot be written.
int os_fflush(os_file *f);
// fseek to offset from the start of the file: 0 or -1. On a "w+b" file it is also what turns
// writing into reading.
int os_fseek(os_file *f, long offset);
// A file over a stream of the C library that the caller opened itself: standard input and output,
// or a file the tools name by its native path. The caller closes it with os_fclose (or leaves a
// standard stream open).
os_file *os_stdio(FILE *stream);

// _mkdir: creates one directory level. 0 on success, -1 on failure (it exists, no parent...).
int os_mkdir(const char *path);
// _rmdir: removes one empty directory. 0 on success, -1 on failure (not empty, missing...).
int os_rmdir(const char *path);

// Whether this system takes certain file names for devices in every folder (Windows: CON, NUL,
// COM1...): 1 on Windows, 0 elsewhere. The archive's name rule refuses them only where they are.
int os_reserves_device_names(void);
// Turns name, in place, into the spelling this system's file names compare by: upper case on
// Windows, whose folders hold one file for "A.txt" and "a.txt"; unchanged where case counts.
void os_fold_case(char *name);

// ---- Folders held by handle (every extraction, and the change of a target) ----
//
// An extraction reaches the disk only through folders it holds. The destination is opened once,
// and each level below it from the level above, never through a link. Every operation below acts
// on one name inside a held folder, a single level without a separator, so no step acts on a
// path that was looked at another time: a level swapped for a link before it is opened is
// refused, and one swapped after it was opened is no longer what the handle holds. Windows
// holds each folder without FILE_SHARE_DELETE, so that nobody can rename or replace it while it
// is held (Linux lets a held folder be renamed, but what the run does through the handle stays
// inside that folder, wherever it went).
//
// Kinds, as a folder's entry is seen without following it:
enum { OS_KIND_NONE = 0, OS_KIND_FILE = 1, OS_KIND_FOLDER = 2, OS_KIND_LINK = 3 };
// OS_KIND_LINK is a level that leads somewhere else: a symbolic link, a junction or another
// reparse point, or a folder that is another volume's mount point. -1 when it cannot be told.

typedef struct os_dir_ os_dir;

// Opens the folder at path as the system resolves it (links on the way are followed: where to
// install is the caller's choice). Null on failure.
os_dir *os_open_dir(const char *path);
// Opens the folder name inside dir without following it. Null when it is not a folder, with
// *kind what stands there (OS_KIND_NONE, OS_KIND_FILE, OS_KIND_LINK, or -1 when it cannot be
// opened or told).
os_dir *os_open_dir_at(os_dir *dir, const char *name, int *kind);
void os_close_dir(os_dir *dir);
// 1 when a and b hold the same folder, whatever names reached it.
int os_same_dir(os_dir *a, os_dir *b);
// What stands at name inside dir (the kinds above, or -1).
int os_kind_at(os_dir *dir, const char *name);
// Creates, removes (when empty) one folder inside dir: 0 or -1.
int os_mkdir_at(os_dir *dir, const char *name);
int os_rmdir_at(os_dir *dir, const char *name);
// Deletes the file (or the link itself) at name inside dir: 0 or -1.
int os_remove_at(os_dir *dir, const char *name);
// MoveFileExW(from, to, 0) for a file, between two held folders on one volume: never replaces
// what is at to, never copies (a move to another volume fails), never moves a folder. 0 or -1.
int os_rename_at(os_dir *from_dir, const char *from, os_dir *to_dir, const char *to);
// Creates a new file at name inside dir for writing ("wb"), never through what stands there: a
// file, a link or anything else of that name makes it fail. Null on failure.
os_file *os_create_at(os_dir *dir, const char *name);
// Nonzero when the file at name inside dir cannot be moved aside and replaced now: another
// program holds it open or runs it (Windows lets nobody else touch such a file), or it may not be
// written. 0 for a file that can, and when there is none.
int os_in_use_at(os_dir *dir, const char *name);
// The last level of the existing file at name inside dir as the system stores it (on Windows its
// own case, which a name written otherwise still reaches): 1, or 0 when there is no such file or
// it does not fit in size bytes.
int os_stored_name_at(os_dir *dir, const char *name, char *out, size_t size);

// ---- Holding, durability, room (the change of a target) ----
//
// An installation changes its target as one change that a journal records (payload/
// change.h). These operations let one run hold what it changes against every other run, put
// what it wrote on the disk in the order a power cut needs, and see the room it has.

// Opens name inside dir for reading and writing, creating it if it is missing, and holds it until
// it is closed: no other run can open it meanwhile (Windows: CreateFileW sharing nothing; Linux:
// an exclusive lock, which every run takes). With empty, its bytes are dropped once it is held.
// Never through a link: a link, a folder, or a file with another name elsewhere (a hard link)
// fails. Null on failure; *held is then 1 when another run holds the file, else 0. The position
// is at the start.
os_file *os_hold_at(os_dir *dir, const char *name, int empty, int *held);
// Deletes the file f holds, which name inside dir named when it was held, and closes f: 0, or -1
// when it could not be deleted (f is closed in every case). Only that file is deleted: when the
// name meanwhile stands for another file (the held one moved away or deleted), that one stays.
int os_remove_held(os_file *f, os_dir *dir, const char *name);
// Drops every byte of f and sets its position to the start: 0 or -1.
int os_ftruncate(os_file *f);
// The size of f in bytes, what it has buffered included; -1 when it cannot be told.
long long os_file_size(os_file *f);
// Writes out what f has buffered and has the system put its bytes on the disk before it returns
// (fflush, then fdatasync on Linux, FlushFileBuffers on Windows): 0, or -1 when they may not be
// there.
int os_fsync(os_file *f);
// The same for the file at name inside dir: 0 or -1.
int os_fsync_at(os_dir *dir, const char *name);
// Puts the names dir holds on the disk (Linux: fsync of the folder; Windows keeps them in the
// file system's own log, which every FlushFileBuffers writes out up to that point, so there is
// nothing to do): 0 or -1.
int os_fsync_dir(os_dir *dir);
// Closes f, the file at name inside dir that this run has just written, as os_fclose does, and
// asks the system to start writing its bytes to the disk, returning at once: a flush of many files
// that starts them all first waits for the disk once, not once a file. The write-out is only a
// hint; the flush itself is os_fsync_at. On Windows the handle itself goes to the threads that
// flush, which close it once the file is flushed; until then the file stays open, shared for
// reading, and every step of the seam that deletes, renames or asks whether a file is in use first
// has those threads let go of it.
int os_fclose_and_write_out(os_file *f, os_dir *dir, const char *name);
// Waits for the write-outs begun so far and lets go of every file they still hold, flushed or not,
// as the end of the process would: for the end of a change, after which nothing of it stays open
// (the installed program is started next). Nothing to do on Linux.
void os_end_write_outs(void);
// The bytes free to this user on the volume that holds dir (GetDiskFreeSpaceExW): 0, or -1 when
// that cannot be told.
int os_free_space(os_dir *dir, unsigned long long *bytes);
// The absolute form of path as the system resolves it (GetFullPathNameA, then GetLongPathNameA
// where the levels exist): '/' and '\' as the system's separator, "." and ".." levels resolved,
// and on Windows trailing dots and spaces dropped and short names of existing levels written out
// as stored. 1, or 0 when it does not fit in size bytes or cannot be had.
int os_full_path(const char *path, char *out, size_t size);

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
// GetTickCount: milliseconds from some moment, wrapping around; only differences count.
unsigned long os_milliseconds(void);
// GetWindowsDirectoryA: the length written (without NUL); 0 on failure; the size needed when
// the buffer is too small (a result >= size means nothing usable was written).
unsigned os_get_windows_directory(char *buffer, unsigned size);

// ---- Process start-up ----

// The command line the process was started with, whole (GetCommandLineA); null on a system
// whose programs receive their arguments already split into words (Linux).
const char *os_command_line(void);
// The module handle of the running program (GetModuleHandleA(NULL)); null where there is none.
void *os_instance(void);
// How the starter asked the program's first window to be shown (STARTUPINFO), else the default.
int os_show_command(void);
// Restricts where the program's libraries are looked for at run time to the system folder, so
// that a library planted beside the program is never loaded; a system without such a search (or
// a Windows too old for the restriction) leaves it as it is. Safe before the runtime library
// has started: it needs nothing of it.
void os_restrict_library_search(void);
// Windows only: the runtime library's own start-up of a GUI program, which initialises it and
// calls main. The image's entry point hands over to it.
int os_runtime_startup(void);

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

// ---- Threads ----
//
// The payload's decoding runs its blocks on worker threads, started once per run. A worker only
// computes: it makes no os_ call and touches nothing but what its job was handed, and the starter
// reads a job's results only after os_worker_wait. So the core's calls into this seam stay on one
// thread.

typedef struct os_worker_ *os_worker;
// CreateThread of a thread that runs the jobs handed to it, one at a time, with a stack of
// 256 KiB (reserved, not committed): enough for computing, and little of a 32-bit address space.
// Null when the thread cannot be started.
os_worker os_worker_start(void);
// Hands run(arg) to the worker, which must have no job in hand (none, or one waited for), and
// returns at once; run is called on the worker's thread. Setting an event: it cannot fail.
void os_worker_give(os_worker worker, void (*run)(void *arg), void *arg);
// Returns once the job handed last has returned: everything it wrote is then visible to the caller.
void os_worker_wait(os_worker worker);
// Ends the worker, which must have no job in hand, and waits for its thread to end.
void os_worker_stop(os_worker worker);
// GetSystemInfo's dwNumberOfProcessors: the processors this program may run on, at least 1.
unsigned os_processor_count(void);

}  // extern "C"

#endif
