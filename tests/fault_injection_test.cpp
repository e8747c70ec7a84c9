// Fault injection at the platform seam: every call of a full installation fails in turn.
//
// The same program is built for Linux and for Windows (run under Wine): the installer in-process,
// linked with the seam's operations wrapped at link time (-Wl,--wrap=os_...), and carrying its
// own payload resource, so that the real resource, file and registry code of each system runs.
// A clean run counts the calls of each operation and records their order; then each call fails
// in turn, and every run must still end in a clear, honest result:
//   - the right message and exit status;
//   - no temporary file left in the current folder (but one whose removal was the failing call);
//   - nothing new beside the target folder;
//   - no registry record unless the extraction succeeded;
//   - no file in the target that differs from the application's own, but the entry that failed,
//     cut short.
// The clean run also shows the order that a running copy of the application relies on: consent,
// the close request, a wait of 1000 ms, and only then the first change on disk; the registry
// record only once every entry is written.
//
// Message boxes answer Yes (consent) or OK, the wait is skipped, the broadcast only recorded, and
// the process exit and the launch become exceptions that end the run, so that one process can
// run the installer hundreds of times. The default target (the Windows directory's "zorvdal") is
// used, and the current folder is a fresh one per run.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver.h"
#include "platform.h"
#include "transaction.h"

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

namespace {

enum Op { FindResource, LoadResource, LockResource, WindowsDir, Mkdir, OpenDir, OpenDirAt, KindAt, MkdirAt,
          RmdirAt, InUseAt, Create, SetBuffer, Read, Write, Flush, Seek, Close, RemoveAt, RenameAt, Hold, RemoveHeld,
          Truncate, FileSize, Fsync, FsyncAt, FsyncDir, FreeSpace, StoredName, RegisterMessage, Broadcast, RegCreate,
          RegSet, Exec, ThreadStart, kOps };
const char *const kOpNames[kOps] = {"find resource", "load resource", "lock resource", "windows directory", "mkdir",
                                    "enter folder", "enter level", "file kind", "mkdir", "rmdir", "in use",
                                    "open", "set buffer", "read", "write", "flush", "seek", "close", "remove",
                                    "rename", "hold", "remove held", "truncate", "file size", "fsync", "fsync path",
                                    "fsync folder", "free space", "stored name", "register message", "broadcast",
                                    "registry create key", "registry set value", "launch", "start thread"};

struct Injector {
    bool armed = false;
    int calls[kOps] = {};
    int fail_op = -1;  // which operation fails, at its fail_at-th call (from 1)
    int fail_at = 0;
    std::string failed_remove;           // the path a failing remove left in place
    std::set<os_file *> failed_reads;    // files whose read failed: os_ferror says so from then on
    std::map<os_file *, std::string> paths;
    std::map<os_dir *, std::string> dirs;  // the path each held folder was reached by
    std::vector<std::string> messages;   // failure boxes
    std::vector<std::string> trace;      // every call, in order
    size_t attack_at = 0;                // the race walk's attacker acts before this call (from 1)
    std::function<void()> attack;
};
Injector inj;

bool inject(Op op, const std::string &detail = "") {
    if (!inj.armed) return false;
    inj.trace.push_back(kOpNames[op] + (detail.empty() ? "" : " " + detail));
    if (inj.attack && inj.trace.size() == inj.attack_at) {
        auto attack = inj.attack;
        inj.attack = nullptr;
        attack();
    }
    return ++inj.calls[op] == inj.fail_at && op == inj.fail_op;
}

struct Exited {
    int status;
};
struct Launched {
    std::string program, arg0, arg1;
};

// Both systems' paths as std::filesystem takes them: the Linux stand-in reads '\' as a separator.
fs::path native(std::string path) {
    for (char &c : path)
        if (c == '\\') c = '/';
    return fs::path(path);
}

}  // namespace

extern "C" {
os_resource __real_os_find_resource(int id, const char *type);
void *__real_os_load_resource(os_resource res);
const void *__real_os_lock_resource(void *loaded);
unsigned __real_os_get_windows_directory(char *buffer, unsigned size);
int __real_os_mkdir(const char *path);
os_dir *__real_os_open_dir(const char *path);
os_dir *__real_os_open_dir_at(os_dir *dir, const char *name, int *kind);
void __real_os_close_dir(os_dir *dir);
int __real_os_kind_at(os_dir *dir, const char *name);
int __real_os_mkdir_at(os_dir *dir, const char *name);
int __real_os_rmdir_at(os_dir *dir, const char *name);
int __real_os_in_use_at(os_dir *dir, const char *name);
os_file *__real_os_create_at(os_dir *dir, const char *name);
int __real_os_setvbuf(os_file *f, char *buffer, size_t size);
size_t __real_os_fread(void *buffer, size_t n, os_file *f);
int __real_os_getc(os_file *f);
char *__real_os_fgets(char *buffer, int size, os_file *f);
int __real_os_ferror(os_file *f);
size_t __real_os_fwrite(const void *data, size_t n, os_file *f);
int __real_os_fflush(os_file *f);
int __real_os_fseek(os_file *f, long offset);
int __real_os_fclose(os_file *f);
int __real_os_remove_at(os_dir *dir, const char *name);
int __real_os_rename_at(os_dir *from_dir, const char *from, os_dir *to_dir, const char *to);
os_file *__real_os_hold_at(os_dir *dir, const char *name, int empty, int *held);
int __real_os_remove_held(os_file *f, os_dir *dir, const char *name);
int __real_os_ftruncate(os_file *f);
long long __real_os_file_size(os_file *f);
int __real_os_fsync(os_file *f);
int __real_os_fsync_at(os_dir *dir, const char *name);
int __real_os_fsync_dir(os_dir *dir);
int __real_os_free_space(os_dir *dir, unsigned long long *bytes);
int __real_os_stored_name_at(os_dir *dir, const char *name, char *out, size_t size);
long __real_os_reg_create_key(os_key root, const char *subkey, os_key *out);
long __real_os_reg_set_string(os_key key, const char *name, const void *data, unsigned long size);
os_worker __real_os_worker_start(void);

os_resource __wrap_os_find_resource(int id, const char *type) {
    return inject(FindResource) ? nullptr : __real_os_find_resource(id, type);
}
void *__wrap_os_load_resource(os_resource res) { return inject(LoadResource) ? nullptr : __real_os_load_resource(res); }
const void *__wrap_os_lock_resource(void *loaded) {
    return inject(LockResource) ? nullptr : __real_os_lock_resource(loaded);
}
unsigned __wrap_os_get_windows_directory(char *buffer, unsigned size) {
    return inject(WindowsDir) ? 0 : __real_os_get_windows_directory(buffer, size);
}
int __wrap_os_mkdir(const char *path) { return inject(Mkdir, path) ? -1 : __real_os_mkdir(path); }

// The path of name inside a held folder, as the trace and the checks below name it.
std::string at(os_dir *dir, const char *name) {
    std::string folder = inj.dirs[dir];
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return folder + "\\" + name;
}
os_dir *__wrap_os_open_dir(const char *path) {
    if (inject(OpenDir, path)) return nullptr;
    os_dir *d = __real_os_open_dir(path);
    if (d) inj.dirs[d] = path;
    return d;
}
os_dir *__wrap_os_open_dir_at(os_dir *dir, const char *name, int *kind) {
    std::string path = at(dir, name);
    if (inject(OpenDirAt, path)) return *kind = -1, nullptr;
    os_dir *d = __real_os_open_dir_at(dir, name, kind);
    if (d) inj.dirs[d] = path;
    return d;
}
void __wrap_os_close_dir(os_dir *dir) {
    inj.dirs.erase(dir);
    __real_os_close_dir(dir);
}
int __wrap_os_kind_at(os_dir *dir, const char *name) { return inject(KindAt) ? -1 : __real_os_kind_at(dir, name); }
int __wrap_os_mkdir_at(os_dir *dir, const char *name) {
    return inject(MkdirAt, at(dir, name)) ? -1 : __real_os_mkdir_at(dir, name);
}
int __wrap_os_rmdir_at(os_dir *dir, const char *name) { return inject(RmdirAt) ? -1 : __real_os_rmdir_at(dir, name); }
int __wrap_os_in_use_at(os_dir *dir, const char *name) { return inject(InUseAt) ? 1 : __real_os_in_use_at(dir, name); }
os_file *__wrap_os_create_at(os_dir *dir, const char *name) {
    std::string path = at(dir, name);
    if (inject(Create, path)) return nullptr;
    os_file *f = __real_os_create_at(dir, name);
    if (f) inj.paths[f] = path;
    return f;
}
int __wrap_os_setvbuf(os_file *f, char *buffer, size_t size) {
    return inject(SetBuffer) ? -1 : __real_os_setvbuf(f, buffer, size);
}
// A failing read gives what the end of the file gives, and the file reports the error from then
// on, as a failing device does.
bool failed_read(os_file *f) {
    if (!inject(Read)) return false;
    inj.failed_reads.insert(f);
    return true;
}
size_t __wrap_os_fread(void *buffer, size_t n, os_file *f) {
    return failed_read(f) ? 0 : __real_os_fread(buffer, n, f);
}
int __wrap_os_getc(os_file *f) { return failed_read(f) ? -1 : __real_os_getc(f); }
char *__wrap_os_fgets(char *buffer, int size, os_file *f) {
    return failed_read(f) ? nullptr : __real_os_fgets(buffer, size, f);
}
int __wrap_os_ferror(os_file *f) { return inj.failed_reads.count(f) || __real_os_ferror(f); }
size_t __wrap_os_fwrite(const void *data, size_t n, os_file *f) {
    return inject(Write, inj.paths[f]) ? 0 : __real_os_fwrite(data, n, f);
}
int __wrap_os_fflush(os_file *f) { return inject(Flush) ? -1 : __real_os_fflush(f); }
int __wrap_os_fseek(os_file *f, long offset) { return inject(Seek) ? -1 : __real_os_fseek(f, offset); }
// A failing close still lets go of the file, but the bytes it held are lost, as when the flush
// of its last bytes fails on a full disk: the file loses its last byte.
int __wrap_os_fclose(os_file *f) {
    bool fail = inject(Close);
    std::string path = inj.paths[f];
    inj.paths.erase(f);
    inj.failed_reads.erase(f);
    int result = __real_os_fclose(f);
    if (!fail) return result;
    std::error_code ec;
    auto size = fs::file_size(native(path), ec);
    if (!ec && size > 0) fs::resize_file(native(path), size - 1, ec);
    return -1;
}
int __wrap_os_remove_at(os_dir *dir, const char *name) {
    std::string path = at(dir, name);
    if (!inject(RemoveAt, path)) return __real_os_remove_at(dir, name);
    inj.failed_remove = name;
    return -1;
}
int __wrap_os_rename_at(os_dir *from_dir, const char *from, os_dir *to_dir, const char *to) {
    return inject(RenameAt, at(from_dir, from)) ? -1 : __real_os_rename_at(from_dir, from, to_dir, to);
}
os_file *__wrap_os_hold_at(os_dir *dir, const char *name, int empty, int *held) {
    *held = 0;
    std::string path = at(dir, name);
    if (inject(Hold, path)) return nullptr;
    os_file *f = __real_os_hold_at(dir, name, empty, held);
    if (f) inj.paths[f] = path;
    return f;
}
// A removal that fails leaves the file, closed.
int __wrap_os_remove_held(os_file *f, os_dir *dir, const char *name) {
    inj.paths.erase(f);
    inj.failed_reads.erase(f);
    if (!inject(RemoveHeld, at(dir, name))) return __real_os_remove_held(f, dir, name);
    inj.failed_remove = name;
    __real_os_fclose(f);
    return -1;
}
int __wrap_os_ftruncate(os_file *f) { return inject(Truncate) ? -1 : __real_os_ftruncate(f); }
long long __wrap_os_file_size(os_file *f) { return inject(FileSize) ? -1 : __real_os_file_size(f); }
// A flush that fails still hands the bytes to the system, which may or may not keep them.
int __wrap_os_fsync(os_file *f) {
    if (!inject(Fsync, inj.paths[f])) return __real_os_fsync(f);
    __real_os_fflush(f);
    return -1;
}
int __wrap_os_fsync_at(os_dir *dir, const char *name) {
    return inject(FsyncAt, at(dir, name)) ? -1 : __real_os_fsync_at(dir, name);
}
int __wrap_os_fsync_dir(os_dir *dir) { return inject(FsyncDir, inj.dirs[dir]) ? -1 : __real_os_fsync_dir(dir); }
int __wrap_os_free_space(os_dir *dir, unsigned long long *bytes) {
    return inject(FreeSpace) ? -1 : __real_os_free_space(dir, bytes);
}
int __wrap_os_stored_name_at(os_dir *dir, const char *name, char *out, size_t size) {
    return inject(StoredName) ? 0 : __real_os_stored_name_at(dir, name, out, size);
}
unsigned __wrap_os_register_window_message(const char *name) { return inject(RegisterMessage, name) ? 0 : 0xC123; }
int __wrap_os_broadcast_message(unsigned message) { return inject(Broadcast, std::to_string(message)) ? 0 : 1; }
long __wrap_os_reg_create_key(os_key root, const char *subkey, os_key *out) {
    return inject(RegCreate) ? 5 : __real_os_reg_create_key(root, subkey, out);
}
long __wrap_os_reg_set_string(os_key key, const char *name, const void *data, unsigned long size) {
    return inject(RegSet) ? 5 : __real_os_reg_set_string(key, name, data, size);
}
// A worker that cannot start: the decoding falls back to one pass, and the installation goes on.
os_worker __wrap_os_worker_start(void) {
    return inject(ThreadStart) ? nullptr : __real_os_worker_start();
}
int __wrap_os_exec(const char *program, const char *arg0, const char *arg1) {
    if (inject(Exec)) return -1;
    throw Launched{program, arg0, arg1};
}
int __wrap_os_message_box(const char *text, const char *, unsigned style) {
    if (inj.armed) inj.trace.push_back(std::string("message box ") + text);
    if (style & OS_MB_YESNOCANCEL) return OS_IDYES;
    inj.messages.push_back(text);
    return OS_IDOK;
}
// Time passes only in the installer's sleeps: the wait after the close request is then exactly
// what it sleeps, whatever the decoding meanwhile took.
unsigned long clock_now = 0;
void __wrap_os_sleep(unsigned milliseconds) {
    if (inj.armed) inj.trace.push_back("sleep " + std::to_string(milliseconds));
    clock_now += milliseconds;
}
unsigned long __wrap_os_milliseconds(void) { return clock_now; }
void __wrap_os_exit(int status) { throw Exited{status}; }

// The installer keeps its command line's words for the life of its process, and this one runs the
// installer a thousand times: LeakSanitizer is told so.
const char *__lsan_default_suppressions() { return "leak:split_command_line\n"; }
}

namespace {

const char kConsent[] = "Desea instalar el sistema de Zorvana??";
const char kExtractionFailed[] = "No se pudo instalar debido a que el programa de instalacion esta fallado.";
const char kLaunchFailed[] = "No se pudo instalar debido a que el programa de instalacion esta fallado!";
const char kNoWindowsDirectory[] = "No se pudo instalar debido a que no pude determinar el directorio de windows";
const char kSentinel[] = "an earlier record";

// What the payload resource holds (tests/data/fault/app.star, compressed when the test is built).
const Files kApp = {{"zorv.exe", "MZ program\r\n"},
                    {"lib/zorvcore.dll", std::string(150, 'c') + "\r\n" + std::string(40, 'd')},
                    {"lib/zorvnet.dll", "net\n"},
                    {"data/empty.dat", ""}};

int failures = 0;

void check(bool ok, const std::string &what) {
    if (ok) return;
    failures++;
    fprintf(stderr, "FAILED: %s\n", what.c_str());
}

std::string read_all(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::set<std::string> names(const fs::path &folder) {
    std::set<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        out.insert(it->path().filename().string());
    return out;
}

std::string windows_directory() {
    char buffer[1000];
    unsigned n = __real_os_get_windows_directory(buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) throw std::runtime_error("no Windows directory");
    return buffer;
}

std::string recorded() {
    const char *v = registry_read_string(os_current_user_key(), "Software\\zorvdal", "Path");
    return v ? v : "(none)";
}

struct Outcome {
    int status = 0;
    bool launched = false;
    std::vector<std::string> messages;
};

// One installation with the default target, asked for consent, in a fresh current folder.
Outcome install(const fs::path &cwd, const std::string &program) {
    fs::create_directories(cwd);
    fs::path home = fs::current_path();
    fs::current_path(cwd);
    registry_write_string(os_current_user_key(), "Software\\zorvdal", "Path", kSentinel);
    Outcome o;
    char tail[] = "";
    inj.armed = true;
    try {
        o.status = WinMain(nullptr, nullptr, tail, 0);
    } catch (const Exited &e) {
        o.status = e.status;
    } catch (const Launched &l) {
        o.launched = true;
        check(l.program == program && l.arg0 == program && l.arg1 == "-i", "launch of " + l.program);
    }
    inj.armed = false;
    o.messages = inj.messages;
    fs::current_path(home);
    return o;
}

bool ends_with(const std::string &s, const std::string &end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

size_t position(const std::vector<std::string> &trace, const std::string &prefix) {
    for (size_t i = 0; i < trace.size(); i++)
        if (trace[i].compare(0, prefix.size(), prefix) == 0) return i;
    return trace.size();
}

// The order a running copy of the application relies on, and the record only after the files.
void check_order(const std::vector<std::string> &trace) {
    size_t consent = position(trace, std::string("message box ") + kConsent),
           reg = position(trace, "register message"), broadcast = position(trace, "broadcast"),
           wait = position(trace, "sleep"), record = position(trace, "registry create key");
    // The decoding may go on during the wait, in the current folder; the target waits.
    size_t first_change = trace.size(), last_write = 0;
    for (size_t i = 0; i < trace.size(); i++) {
        for (const char *op : {"mkdir", "open", "write", "remove", "hold", "rename"})
            if (trace[i].compare(0, strlen(op), op) == 0 && trace[i].find("zorvdal") != std::string::npos)
                first_change = std::min(first_change, i);
        if (trace[i].compare(0, 5, "write") == 0 || trace[i].compare(0, 4, "open") == 0) last_write = i;
    }
    // The journal is a write-ahead log: each line on the disk before the step it announces, every
    // new file's bytes before the mark of a finished change, the mark before anything moved aside
    // is deleted.
    const std::string journal = std::string(ZORV_ASIDE_FOLDER) + "\\journal";
    size_t mark = 0, files = 0, flushed = 0;
    bool unflushed = false;
    for (size_t i = 0; i < trace.size(); i++) {
        bool of_journal = ends_with(trace[i], journal);
        if (trace[i].compare(0, 6, "write ") == 0 && of_journal) mark = i, unflushed = true;
        if (trace[i].compare(0, 6, "fsync ") == 0 && of_journal) unflushed = false;
        bool step = trace[i].compare(0, 7, "rename ") == 0 || trace[i].compare(0, 5, "open ") == 0 ||
                    (trace[i].compare(0, 6, "mkdir ") == 0 && mark > 0);
        if (step) check(!unflushed, "a journal line on the disk before its step: " + trace[i]);
    }
    for (size_t i = 0; i < trace.size(); i++) {
        if (trace[i].compare(0, 5, "open ") == 0 && trace[i].find(ZORV_ASIDE_FOLDER) == std::string::npos) {
            files++;
            size_t at = std::find(trace.begin() + i, trace.end(), "fsync path " + trace[i].substr(5)) - trace.begin();
            flushed += at < mark;
        }
        if (trace[i].compare(0, 7, "remove ") == 0 && trace[i].find(ZORV_ASIDE_FOLDER) != std::string::npos)
            check(mark < i, "what was moved aside is deleted once the change is marked finished");
    }
    check(files > 0 && flushed == files, "every new file on the disk before the change is marked finished");
    check(mark < record, "the change is marked finished before the registry record");
    check(consent == 0, "the consent question comes first");
    check(consent < reg && reg < broadcast && broadcast < wait, "consent, then the close request");
    check(wait < trace.size() && trace[wait] == "sleep 1000", "a wait of 1000 ms after the close request");
    check(wait < first_change, "the wait ends before the first change to the target");
    check(record < trace.size() && last_write < record, "the registry record comes after the last file");
}


// The target's state: nothing when it is not there; else "/" for itself, every folder by its
// path with a trailing '/', every file with its bytes.
Files state(const fs::path &root) {
    if (!fs::is_directory(root)) return {};
    Files all = {{"/", ""}};
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::string rel = it->path().lexically_relative(root).generic_string();
        if (it->is_directory()) all[rel + "/"] = "";
        else all[rel] = read_all(it->path());
    }
    return all;
}

void put_state(const fs::path &root, const Files &files) {
    fs::remove_all(root);
    for (auto &f : files) {
        if (f.first.back() == '/') {
            fs::create_directories(root / f.first);
            continue;
        }
        fs::create_directories((root / f.first).parent_path());
        std::ofstream(root / f.first, std::ios::binary) << f.second;
    }
}

// What an installation over before leaves: every file and folder of the application added, and
// what it does not carry kept.
Files installed_over(const Files &before) {
    Files after = before;
    after["/"] = "";
    for (auto &f : kApp) {
        after[f.first] = f.second;
        for (size_t slash = f.first.find('/'); slash != std::string::npos; slash = f.first.find('/', slash + 1))
            after[f.first.substr(0, slash + 1)] = "";
    }
    return after;
}

// The entries that the change's own folder left in a target.
Files aside_entries(Files state) {
    Files aside;
    for (auto &f : state)
        if (f.first.compare(0, strlen(ZORV_ASIDE_FOLDER), ZORV_ASIDE_FOLDER) == 0) aside.insert(f);
    return aside;
}

// The earlier installation of the upgrade: an older version, a file the new one no longer has,
// the user's own data, and an empty folder.
const Files kEarlier = {{"/", ""},
                        {"zorv.exe", "MZ the old program\r\n"},
                        {"lib/", ""},
                        {"lib/zorvcore.dll", "old core"},
                        {"lib/zorvviejo.dll", "only the old version has this"},
                        {"usuario/", ""},
                        {"usuario/notas.txt", "the user's own notes\n"},
                        {"vacia/", ""}};

// The same, as an upgrade killed half way leaves it: a new folder made, the program moved aside
// and its new version cut short. The next run puts the earlier version back first.
Files killed_upgrade() {
    Files killed = kEarlier;
    killed["tmp_inst.old/"] = "";
    killed["tmp_inst.old/journal"] = "d data\nn data/empty.dat\nf 1 zorv.exe\n";
    killed["tmp_inst.old/1"] = kEarlier.at("zorv.exe");
    killed["zorv.exe"] = "MZ pro";
    killed["data/"] = "";
    killed["data/empty.dat"] = "";
    return killed;
}

// The race walk: an attacker who can write into the target acts once, before any one seam call of
// an upgrade (and of the recovery of a killed one that comes first): the folder of the
// application's libraries is swapped for a link to a folder outside, whose files bear the
// libraries' names, or the journal's first line is rewritten in place to name a file beside the
// target. Afterwards the attacker puts things back. Nothing outside may have changed, and the
// target holds the earlier version whole, or the new one whole, or, after a failure, what one
// clean run turns into the new one exactly. Where the system makes no links for the attacker, the
// walk is skipped and says so.
void race_walk(const char *name, const Files &before, const Files &earlier, int calls, const fs::path &target,
               const std::string &windows, const std::string &program, const fs::path &work) {
    const Files after = installed_over(earlier);
    const fs::path outside = work / "outside", stash = work / "stash", beside = native(windows) / "x";
    const Files victims = {{"/", ""}, {"zorvcore.dll", "a victim"}, {"zorvnet.dll", "a victim"}};
    std::error_code probe;
    fs::create_directories(work);
    fs::create_directory_symlink(outside, work / "probe", probe);
    if (probe) {
        printf("race walk, %s: skipped, this system makes no links here (%s)\n", name, probe.message().c_str());
        return;
    }
    fs::remove(work / "probe");
    const std::string journal = (target / ZORV_ASIDE_FOLDER / "journal").string();
    int runs = 0, refused = 0;
    for (int kind = 0; kind < 2; kind++) {
        for (int n = 1; n <= calls; n++) {
            std::string what = std::string("race walk, ") + name + (kind ? ", journal rewritten" : ", level swapped") +
                               " before call " + std::to_string(n) + ": ";
            put_state(target, before);
            put_state(outside, victims);
            std::ofstream(beside, std::ios::binary) << "a victim";
            std::string original;  // the journal's bytes the attacker rewrote
            inj = Injector();
            inj.attack_at = size_t(n);
            inj.attack = [&] {
                std::error_code ec;
                if (kind == 0) {
                    fs::rename(target / "lib", stash, ec);
                    if (!ec) fs::create_directory_symlink(outside, target / "lib", ec);
                } else {
                    std::string text = read_all(journal);
                    size_t line = text.find('\n');
                    if (line == std::string::npos || line < 6) return;
                    original = text.substr(0, line);
                    std::string forged = "n ../x";
                    while (forged.size() < line) forged.insert(2, "./");
                    if (forged.size() > line) forged.insert(forged.size() - 1, "/"), forged.erase(2, 2);
                    std::fstream(journal, std::ios::in | std::ios::out | std::ios::binary) << forged;
                }
                refused += ec ? 1 : 0;
            };
            Outcome o = install(work / ("race" + std::to_string(++runs)), program);
            // The attacker puts things back.
            std::error_code ec;
            if (fs::is_symlink(target / "lib")) fs::remove(target / "lib", ec);
            if (fs::exists(stash)) fs::rename(stash, target / "lib", ec);
            if (!original.empty() && fs::exists(journal)) std::fstream(journal, std::ios::in | std::ios::out | std::ios::binary) << original;

            check(state(outside) == victims && read_all(beside) == "a victim", what + "a file outside the target changed");
            Files now = state(target);
            if (o.launched) check(now == after, what + "a success that did not install the new version whole");
            else if (now != earlier) {
                inj = Injector();
                Outcome again = install(work / ("race" + std::to_string(++runs)), program);
                check(again.launched && state(target) == after, what + "the next clean run does not end with the new version");
            }
            fs::remove(beside, ec);
        }
    }
    printf("race walk, %s: %d runs (%d attacks the system refused)\n", name, runs, refused);
}

}  // namespace

int main() {
    const std::string windows = windows_directory();
    const fs::path target = native(windows + "\\zorvdal");
    const std::string program = windows + "\\zorvdal\\zorv.exe";
    const fs::path work = fs::absolute("fault-injection");
    fs::remove_all(work);
    fs::remove_all(target);
    const std::set<std::string> windows_before = names(native(windows));

    const struct {
        const char *name;
        Files before;   // the target before each run: nothing at all, or an earlier installation
        Files earlier;  // the installation it holds, once what a killed run left is undone
    } walks[] = {{"fresh installation", {}, {}},
                 {"upgrade", kEarlier, kEarlier},
                 {"upgrade after a killed one", killed_upgrade(), kEarlier}};
    int called[kOps] = {};
    int runs = 0;
    int clean_calls[3] = {};
    for (const auto &walk : walks) {
        const Files after = installed_over(walk.earlier);
        // A clean run counts the calls of each operation.
        put_state(target, walk.before);
        inj = Injector();
        Outcome clean = install(work / "clean", program);
        std::string where = std::string(walk.name) + ": ";
        check(clean.launched && clean.messages.empty(), where + "the clean run installs and launches");
        check(state(target) == after, where + "the clean run installs the application exactly");
        check(recorded() == program, where + "the clean run records the program");
        check_order(inj.trace);
        int totals[kOps];
        memcpy(totals, inj.calls, sizeof totals);
        for (int op = 0; op < kOps; op++)
            called[op] += totals[op];

        for (int op = 0; op < kOps; op++) {
            for (int n = 1; n <= totals[op]; n++) {
                std::string what = where + kOpNames[op] + " fails at call " + std::to_string(n) + ": ";
                put_state(target, walk.before);
                inj = Injector();
                inj.fail_op = op;
                inj.fail_at = n;
                fs::path cwd = work / ("run" + std::to_string(++runs));
                Outcome o = install(cwd, program);

                // Nothing left in the current folder, but a file whose removal was the call that
                // failed; nothing new beside the target.
                std::set<std::string> left = names(cwd);
                if (!inj.failed_remove.empty()) left.erase(inj.failed_remove);
                check(left.empty(), what + "files left in the current folder");
                std::set<std::string> beside = names(native(windows));
                beside.erase("zorvdal");
                check(beside == windows_before, what + "something new beside the target");
                Files now = state(target);

                if (op == WindowsDir) {
                    check(o.messages == std::vector<std::string>{kNoWindowsDirectory}, what + "message 1");
                    check(o.status == -1 && now == walk.before && recorded() == kSentinel, what + "nothing done");
                } else if (op == Exec) {
                    check(o.messages == std::vector<std::string>{kLaunchFailed}, what + "message 3");
                    check(o.status == -1 && now == after && recorded() == program, what + "installed, recorded");
                } else if (op == ThreadStart && !o.launched) {
                    check(false, what + "the decoding did not fall back to one pass");
                } else if (o.launched) {
                    // The failure did not matter (a folder that exists anyway, a temporary file left
                    // behind, a buffer, the broadcast, the registry record, which never stops an
                    // installation): all is installed. A clean-up whose removal failed leaves the
                    // change's own folder, which the next run finishes.
                    check(o.messages.empty(), what + "no message");
                    check((recorded() == program) == (op != RegCreate && op != RegSet), what + "the record");
                    Files aside = aside_entries(now);
                    if (!aside.empty() && (op == RemoveAt || op == RmdirAt || op == RemoveHeld || op == FsyncDir)) {
                        for (auto &f : aside) now.erase(f.first);
                        check(now == after, what + "installed whole, the clean-up left to finish");
                        check(recover_target((windows + "\\zorvdal\\").c_str()) == 0 && state(target) == after,
                              what + "the next run finishes the clean-up");
                    } else {
                        check(now == after, what + "installed whole, nothing of the change left");
                    }
                } else {
                    // A failed installation leaves the target exactly as it was: every earlier file
                    // with its bytes, no file and no folder of the run's.
                    check(o.messages == std::vector<std::string>{kExtractionFailed}, what + "message 2");
                    check(o.status == -1 && recorded() == kSentinel, what + "status -1 and no record");
                    // What a killed run left may be undone already, or stay for the next run.
                    if (walk.before != walk.earlier) {
                        check(recover_target((windows + "\\zorvdal\\").c_str()) == 0, what + "the next run cannot recover");
                        now = state(target);
                    }
                    check(now == walk.earlier, what + "the target is not as it was");
                }
                fs::remove_all(cwd);
            }
        }
        int &calls = clean_calls[&walk - walks];
        for (int op = 0; op < kOps; op++) calls += totals[op];
        printf("fault injection, %s: %d seam calls;", walk.name, calls);
        for (int op = 0; op < kOps; op++) printf(" %s %d%s", kOpNames[op], totals[op], op + 1 < kOps ? "," : "\n");
    }
    for (int op = 0; op < kOps; op++) check(called[op] > 0, std::string(kOpNames[op]) + " is never called");
    printf("%d runs, one failing call each: %s\n", runs, failures ? "FAILED" : "all ended honestly");
    int failed_before = failures;
    for (size_t w = 1; w < 3; w++) race_walk(walks[w].name, walks[w].before, walks[w].earlier, clean_calls[w], target, windows, program, work);
    printf("race walk: %s\n", failures > failed_before ? "FAILED" : "nothing outside the target changed");
    fs::remove_all(work);
    fs::remove_all(target);
    return failures ? 1 : 0;
}
