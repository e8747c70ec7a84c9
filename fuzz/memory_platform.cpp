// The in-memory stand-in of the seam's files, folders and resources (see memory_platform.h).
#include "memory_platform.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "platform.h"

struct os_file_ {
    std::string path;
    size_t pos = 0;
    bool readable = false;
};

struct os_resource_ {
    std::string data;
};

namespace {

std::map<std::string, std::string> files;
std::set<std::string> folders;
std::map<int, os_resource_> resources;
void *loaded = nullptr;

std::string parent(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

bool folder_exists(const std::string &path) { return path.empty() || folders.count(path); }

std::string &data(os_file *f) { return files[f->path]; }

}  // namespace

std::string memory_path(const std::string &path) {
    std::vector<std::string> levels;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
        std::string level = path.substr(start, i - start);
        start = i + 1;
        if (level.empty() || level == ".") continue;
        if (level == ".." && !levels.empty() && levels.back() != "..") levels.pop_back();
        else levels.push_back(level);
    }
    std::string out = !path.empty() && (path[0] == '/' || path[0] == '\\') ? "/" : "";
    for (size_t i = 0; i < levels.size(); i++) out += (i ? "/" : "") + levels[i];
    return out;
}

void memory_reset() {
    files.clear();
    folders.clear();
    resources.clear();
    free(loaded);
    loaded = nullptr;
}

void memory_set_resource(int id, const std::string &bytes) { resources[id].data = bytes; }

void memory_put_file(const std::string &path, const std::string &bytes) { files[memory_path(path)] = bytes; }

const std::map<std::string, std::string> &memory_files() { return files; }

const std::set<std::string> &memory_folders() { return folders; }

os_file *os_fopen(const char *path, const char *mode) {
    std::string p = memory_path(path);
    if (p.empty() || folders.count(p) || !folder_exists(parent(p))) return nullptr;
    bool read = mode[0] == 'r';
    if (read && !files.count(p)) return nullptr;
    if (!read) files[p].clear();
    os_file *f = new os_file_;
    f->path = p;
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
    if (p.empty() || folders.count(p) || files.count(p) || !folder_exists(parent(p))) return -1;
    folders.insert(p);
    return 0;
}

int os_remove(const char *path) { return files.erase(memory_path(path)) ? 0 : -1; }

int os_reserves_device_names(void) { return 0; }

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
