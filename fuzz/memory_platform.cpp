// The in-memory stand-in of the seam's files, folders and resources (see memory_platform.h).
#include "memory_platform.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string_view>
#include <vector>

#include "platform.h"

// A file's bytes are shared between the folder's table and its open files, so that a removed
// file stays readable to whoever still holds it open, as on Linux.
using bytes_ptr = std::shared_ptr<std::string>;

struct os_file_ {
    bytes_ptr bytes;
    size_t pos = 0;
    bool readable = false;
};

struct os_resource_ {
    std::string data;
};

// A held folder is its path: nothing in memory can move it.
struct os_dir_ {
    std::string path;
};

namespace {

std::map<std::string, bytes_ptr> table;
std::map<std::string, std::string> files;  // a copy of the table for memory_files()
std::set<std::string, std::less<>> folders;
std::map<int, os_resource_> resources;
void *loaded = nullptr;

std::string_view parent(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string_view() : std::string_view(path).substr(0, slash);
}

bool folder_exists(std::string_view path) { return path.empty() || folders.find(path) != folders.end(); }

std::string &data(os_file *f) { return *f->bytes; }

}  // namespace

// A path as the stand-in resolves it: levels joined by '/', "." dropped, ".." going up where it can.
static std::string memory_path(const std::string &path) {
    auto is_sep = [](char c) { return c == '/' || c == '\\'; };
    std::string out;
    out.reserve(path.size() + 1);
    if (!path.empty() && is_sep(path[0])) out = "/";
    const size_t base = out.size();  // where the levels begin
    for (size_t i = 0, n = path.size(); i < n;) {
        while (i < n && is_sep(path[i])) i++;
        size_t start = i;
        while (i < n && !is_sep(path[i])) i++;
        size_t len = i - start;
        if (len == 0 || (len == 1 && path[start] == '.')) continue;
        if (len == 2 && path[start] == '.' && path[start + 1] == '.' && out.size() > base) {
            size_t slash = out.rfind('/');
            size_t last = slash == std::string::npos || slash < base ? base : slash + 1;
            if (out.compare(last, std::string::npos, "..") != 0) {
                out.resize(last == base ? base : last - 1);
                continue;
            }
        }
        if (out.size() > base) out += '/';
        out.append(path, start, len);
    }
    return out;
}

void memory_reset() {
    table.clear();
    files.clear();
    folders.clear();
    resources.clear();
    free(loaded);
    loaded = nullptr;
}

void memory_set_resource(int id, const std::string &bytes) { resources[id].data = bytes; }

void memory_put_file(const std::string &path, const std::string &bytes) {
    table[memory_path(path)] = std::make_shared<std::string>(bytes);
}

const std::map<std::string, std::string> &memory_files() {
    files.clear();
    for (auto &f : table) files[f.first] = *f.second;
    return files;
}

const std::set<std::string, std::less<>> &memory_folders() { return folders; }

os_file *os_fopen(const char *path, const char *mode) {
    std::string p = memory_path(path);
    if (p.empty() || folders.count(p) || !folder_exists(parent(p))) return nullptr;
    bool read = mode[0] == 'r';
    auto it = table.find(p);
    if (read && it == table.end()) return nullptr;
    os_file *f = new os_file_;
    // Emptying a file that is open elsewhere gives it new bytes, as creating it afresh would.
    f->bytes = read ? it->second : (table[p] = std::make_shared<std::string>());
    f->readable = read || strchr(mode, '+');
    return f;
}

int os_fclose(os_file *f) {
    delete f;
    return 0;
}

int os_setvbuf(os_file *, char *, size_t) { return 0; }

size_t os_fread(void *buffer, size_t n, os_file *f) {
    const std::string &d = data(f);
    size_t got = f->readable && f->pos < d.size() ? std::min(n, d.size() - f->pos) : 0;
    memcpy(buffer, d.data() + f->pos, got);
    f->pos += got;
    return got;
}

int os_getc(os_file *f) {
    const std::string &d = data(f);
    return f->readable && f->pos < d.size() ? (unsigned char)d[f->pos++] : -1;
}

char *os_fgets(char *buffer, int size, os_file *f) {
    const std::string &d = data(f);
    if (!f->readable || f->pos >= d.size() || size < 2) return nullptr;
    size_t n = 0;
    while (n + 1 < size_t(size) && f->pos < d.size()) {
        char c = d[f->pos++];
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return buffer;
}

int os_ferror(os_file *) { return 0; }

size_t os_peek(os_file *f, const unsigned char **bytes) {
    const std::string &d = data(f);
    *bytes = reinterpret_cast<const unsigned char *>(d.data()) + f->pos;
    return f->readable && f->pos < d.size() ? d.size() - f->pos : 0;
}

void os_skip(os_file *f, size_t n) { f->pos += n; }

size_t os_fwrite(const void *bytes, size_t n, os_file *f) {
    std::string &d = data(f);
    if (f->pos == d.size()) {
        d.append(static_cast<const char *>(bytes), n);
        f->pos += n;
        return n;
    }
    if (d.size() < f->pos + n) d.resize(f->pos + n);
    memcpy(&d[f->pos], bytes, n);
    f->pos += n;
    return n;
}

int os_fflush(os_file *) { return 0; }

int os_fseek(os_file *f, long offset) {
    if (offset < 0) return -1;
    f->pos = size_t(offset);
    return 0;
}

int os_mkdir(const char *path) {
    std::string p = memory_path(path);
    if (p.empty() || folders.count(p) || table.count(p) || !folder_exists(parent(p))) return -1;
    folders.insert(p);
    return 0;
}

int os_rmdir(const char *path) {
    std::string p = memory_path(path);
    if (!folders.count(p)) return -1;
    std::string inside = p + "/";
    auto file = table.lower_bound(inside);
    auto folder = folders.lower_bound(inside);
    if ((file != table.end() && file->first.compare(0, inside.size(), inside) == 0) ||
        (folder != folders.end() && folder->compare(0, inside.size(), inside) == 0))
        return -1;
    folders.erase(p);
    return 0;
}

int os_reserves_device_names(void) { return 0; }

void os_fold_case(char *) {}

os_resource os_find_resource(int id, const char *type) {
    auto it = resources.find(id);
    return strcmp(type, "RCDATA_RAW") == 0 && it != resources.end() ? &it->second : nullptr;
}

unsigned long os_sizeof_resource(os_resource res) { return res->data.size(); }

void *os_load_resource(os_resource res) {
    free(loaded);
    loaded = malloc(res->data.size() ? res->data.size() : 1);
    if (loaded && !res->data.empty()) memcpy(loaded, res->data.data(), res->data.size());
    return loaded;
}

const void *os_lock_resource(void *data) { return data; }

static std::string inside(const os_dir *dir, const char *name) {
    return memory_path(dir->path.empty() ? std::string(name) : dir->path + "/" + name);
}

static int kind_of(const std::string &p) {
    return p.empty() || folders.count(p) ? OS_KIND_FOLDER : table.count(p) ? OS_KIND_FILE : OS_KIND_NONE;
}

os_dir *os_open_dir(const char *path) {
    std::string p = memory_path(path);
    return kind_of(p) == OS_KIND_FOLDER ? new os_dir_{p} : nullptr;
}

os_dir *os_open_dir_at(os_dir *dir, const char *name, int *kind) {
    std::string p = inside(dir, name);
    *kind = kind_of(p);
    return *kind == OS_KIND_FOLDER ? new os_dir_{p} : nullptr;
}

void os_close_dir(os_dir *dir) { delete dir; }

int os_same_dir(os_dir *a, os_dir *b) { return a->path == b->path; }

int os_kind_at(os_dir *dir, const char *name) { return kind_of(inside(dir, name)); }

int os_mkdir_at(os_dir *dir, const char *name) { return os_mkdir(inside(dir, name).c_str()); }

int os_rmdir_at(os_dir *dir, const char *name) { return os_rmdir(inside(dir, name).c_str()); }

int os_remove_at(os_dir *dir, const char *name) { return table.erase(inside(dir, name)) ? 0 : -1; }

// Files only: the installer never moves a folder.
int os_rename_at(os_dir *from_dir, const char *from, os_dir *to_dir, const char *to) {
    std::string a = inside(from_dir, from), b = inside(to_dir, to);
    auto it = table.find(a);
    if (it == table.end() || table.count(b) || folders.count(b) || !folder_exists(parent(b))) return -1;
    table[b] = it->second;
    table.erase(a);
    return 0;
}

os_file *os_create_at(os_dir *dir, const char *name) {
    std::string p = inside(dir, name);
    if (p.empty() || kind_of(p) != OS_KIND_NONE || !folder_exists(parent(p))) return nullptr;
    os_file *f = new os_file_;
    f->bytes = table[p] = std::make_shared<std::string>();
    return f;
}

int os_in_use_at(os_dir *, const char *) { return 0; }

int os_stored_name_at(os_dir *dir, const char *name, char *out, size_t size) {
    std::string p = inside(dir, name);
    if (!table.count(p)) return 0;
    std::string last = p.substr(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1);
    if (last.size() >= size) return 0;
    memcpy(out, last.c_str(), last.size() + 1);
    return 1;
}

// One run at a time, in memory: nothing else ever holds a file.
os_file *os_hold_at(os_dir *dir, const char *name, int empty, int *held) {
    *held = 0;
    std::string p = inside(dir, name);
    if (p.empty() || folders.count(p) || !folder_exists(parent(p))) return nullptr;
    auto it = table.find(p);
    os_file *f = new os_file_;
    f->bytes = it != table.end() ? it->second : (table[p] = std::make_shared<std::string>());
    if (empty) f->bytes->clear();
    f->readable = true;
    return f;
}

// Only the held file's own bytes: a name that meanwhile stands for another file keeps it.
int os_remove_held(os_file *f, os_dir *dir, const char *name) {
    auto it = table.find(inside(dir, name));
    bool same = it != table.end() && it->second == f->bytes;
    if (same) table.erase(it);
    delete f;
    return same ? 0 : -1;
}

int os_ftruncate(os_file *f) {
    f->bytes->clear();
    f->pos = 0;
    return 0;
}

long long os_file_size(os_file *f) { return (long long)f->bytes->size(); }

int os_fsync(os_file *) { return 0; }

int os_fsync_at(os_dir *dir, const char *name) { return kind_of(inside(dir, name)) == OS_KIND_FILE ? 0 : -1; }

int os_fsync_dir(os_dir *) { return 0; }

int os_fclose_and_write_out(os_file *f, os_dir *, const char *) { return os_fclose(f); }
void os_end_write_outs(void) {}

int os_free_space(os_dir *, unsigned long long *bytes) {
    *bytes = 1ULL << 40;
    return 0;
}

// The stand-in's current folder is its root: a full path is the path as it resolves.
int os_full_path(const char *path, char *out, size_t size) {
    std::string p = memory_path(path);
    if (p.empty()) p = ".";
    if (p.size() >= size) return 0;
    memcpy(out, p.c_str(), p.size() + 1);
    return 1;
}

// A job runs to its end as it is handed, so that every run of a harness is the same, and the
// libbzip2 memory the payload harness keeps between runs is never touched by two threads. Two
// processors: the payload's decoding keeps two blocks in flight, as on a machine of two.
struct os_worker_ {};

os_worker os_worker_start(void) {
    static os_worker_ worker;
    return &worker;
}

void os_worker_give(os_worker, void (*run)(void *arg), void *arg) { run(arg); }

void os_worker_wait(os_worker) {}

void os_worker_stop(os_worker) {}

unsigned os_processor_count(void) { return 2; }
