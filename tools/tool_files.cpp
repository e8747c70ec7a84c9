// What the tools share: how they fail, folder walks, archives, files and their numbers, programs on PATH, time stamps.
#include "tool_files.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tool_os.h"

namespace fs = std::filesystem;

namespace {

// UTF-8 on Windows is the name's UTF-16 form written out, never its spelling in the ANSI code page,
// which may lack its characters; a lone half of a UTF-16 pair has none, and is refused.
bool utf8_name(const fs::path &path, std::string &name) {
    try {
        name = path.u8string();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace

std::string shown_path(const fs::path &path) {
    std::string shown;
    return utf8_name(path, shown) ? shown : "(a path that is not Unicode text)";
}

bool collect_folder(const fs::path &path, const std::string &name, std::vector<folder_file> &files,
                    std::string &error) {
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (ec) return failed(error, shown_path(path) + ": " + ec.message());
    if (fs::is_regular_file(st)) {
        if (!star_writer_name_ok(name.c_str()))
            return failed(error, shown_path(path) + ": its name cannot be stored in the archive (\"" + name + "\")");
        files.push_back({name, path});
        return true;
    }
    if (!fs::is_directory(st)) return failed(error, shown_path(path) + ": neither a file nor a folder");
    // Sorted by the names' UTF-8 bytes, which is the order of their characters on both systems:
    // the same folder gives the same archive wherever it is packed.
    std::vector<std::pair<std::string, fs::path>> children;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::string child;
        if (!utf8_name(it->path().filename(), child))
            return failed(error, shown_path(path) + ": holds a file whose name is not Unicode text");
        children.push_back({child, it->path().filename()});
    }
    if (ec) return failed(error, shown_path(path) + ": " + ec.message());
    std::sort(children.begin(), children.end());
    for (const auto &[child, native] : children)
        if (!collect_folder(path / native, name.empty() ? child : name + "/" + child, files, error)) return false;
    return true;
}

namespace {

std::string body_error(int result, const folder_file &file) {
    std::string path = shown_path(file.path);
    if (result == STAR_ERR_MAGIC) return path + ": holds the archive's boundary magic and cannot be packed";
    if (result == STAR_ERR_NAME) return path + ": its name cannot be stored in the archive (\"" + file.name + "\")";
    return path + ": " + (errno ? strerror(errno) : "read or write failed");
}

// Runs step on each file opened for reading; false with a reason at the first failure.
template <typename F> bool each_body(const std::vector<folder_file> &files, std::string &error, F step) {
    for (const folder_file &file : files) {
        FILE *stream = tool_fopen(file.path, "rb");
        if (!stream) return failed(error, shown_path(file.path) + ": " + strerror(errno));
        os_file *body = os_stdio(stream);
        errno = 0;
        int r = step(file, body);
        os_fclose(body);
        if (r != STAR_OK) return failed(error, body_error(r, file));
    }
    return true;
}

}  // namespace

bool write_folder_archive(FILE *out, const std::vector<folder_file> &files, star_line_break line_break,
                          long long stamp, std::string &error) {
    star_writer w;
    bool ok = star_writer_begin(&w, os_stdio(out), line_break, stamp) == STAR_OK &&
              each_body(files, error, [&w](const folder_file &f, os_file *body) {
                  return star_writer_add_file(&w, f.name.c_str(), body);
              });
    if (ok && star_writer_end(&w) != STAR_OK) ok = false;
    if (!ok && error.empty()) error = std::string("cannot write the archive: ") + strerror(errno);
    return ok;
}

bool check_folder_bodies(const std::vector<folder_file> &files, std::string &error) {
    return each_body(files, error, [](const folder_file &, os_file *body) { return star_check_body(body); });
}

// Straight into out, sized first: a string stream would hold a second copy of a large payload.
bool read_whole_file(const std::string &path, std::string &out) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    std::streamoff size = in.tellg();
    if (size < 0 || !in.seekg(0)) return false;
    out.resize(size_t(size));
    return size == 0 || in.read(&out[0], size);
}

bool append_file(const std::string &path, FILE *out, std::string &error,
                 const std::function<void(const char *, size_t)> &seen) {
    FILE *in = fopen(path.c_str(), "rb");
    if (!in) return failed(error, path + ": " + strerror(errno));
    static char buffer[1 << 16];
    bool ok = true;
    while (size_t n = fread(buffer, 1, sizeof buffer, in)) {
        if (seen) seen(buffer, n);
        if (fwrite(buffer, 1, n, out) != n) {
            error = std::string("cannot write a copy of ") + path + ": " + strerror(errno);
            ok = false;
            break;
        }
    }
    if (ok && ferror(in)) ok = failed(error, path + ": cannot be read");
    fclose(in);
    return ok;
}

namespace {

// A name no other file is likely to have: 64 random bits in hexadecimal.
std::string random_suffix() {
    static std::random_device device;
    char text[17];
    snprintf(text, sizeof text, "%08x%08x", unsigned(device()), unsigned(device()));
    return text;
}

}  // namespace

bool write_file_in_place(const std::string &path, bool executable, std::string &error,
                         const std::function<bool(FILE *, std::string &)> &write) {
    std::error_code ec;
    std::string tmp;
    do tmp = path + ".tmp" + random_suffix();
    while (fs::exists(fs::symlink_status(tmp, ec)));
    FILE *out = fopen(tmp.c_str(), "wb");
    if (!out) return failed(error, path + ": " + strerror(errno));
    bool ok = write(out, error);
    if (fclose(out) != 0 && ok) ok = failed(error, path + ": " + strerror(errno));
    const fs::perms runnable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec;
    if (ok && executable) fs::permissions(tmp, runnable, ec);
    if (ok && !ec) fs::rename(tmp, path, ec);
    if (ok && ec) ok = failed(error, path + ": " + ec.message());
    if (!ok) fs::remove(tmp, ec);
    return ok;
}

bool work_folder::make(const char *prefix, std::string &error) {
    std::error_code ec;
    // Absolute: the programs that signing runs are started in the folder itself.
    fs::path root = fs::temp_directory_path(ec);
    if (!ec) root = fs::absolute(root, ec);
    if (ec) return failed(error, std::string("no temporary folder: ") + ec.message());
    // create_directory fails rather than take over what is there, so the folder is this process's.
    for (int tries = 0; tries < 100; tries++) {
        fs::path dir = root / (std::string(prefix) + random_suffix());
        if (fs::create_directory(dir, ec)) {
            path = dir.string();
            fs::permissions(dir, fs::perms::owner_all, ec);
            return true;
        }
        if (ec && ec != std::errc::file_exists) break;
    }
    return failed(error, (root / prefix).string() + "...: " + (ec ? ec.message() : "cannot be made"));
}

work_folder::~work_folder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
}

namespace {

// Windows and Linux differ in how they list folders on PATH and which files are programs; the path
// separator tells which one this is.
const bool kWindows = fs::path::preferred_separator == '\\';

bool is_program(const fs::path &path) {
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    const fs::perms any_exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    return fs::is_regular_file(st) && (kWindows || (st.permissions() & any_exec) != fs::perms::none);
}

}  // namespace

bool find_program(const std::string &name, const std::string &package, std::string &path, std::string &error) {
    if (name.find_first_of(kWindows ? "/\\" : "/") != std::string::npos) {
        path = name;
        return is_program(path) || failed(error, name + ": cannot be run (not an executable file)");
    }
    const char *search = getenv("PATH");
    std::string dirs = search ? search : "/usr/bin:/bin";
    const char list_separator = kWindows ? ';' : ':';
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(list_separator, at);
        if (end == std::string::npos) end = dirs.size();
        fs::path dir = dirs.substr(at, end - at);
        for (const char *suffix : {"", ".exe"}) {
            path = ((dir.empty() ? fs::path(".") : dir) / (name + suffix)).string();
            if ((kWindows || !*suffix) && is_program(path)) return true;
        }
        at = end + 1;
    }
    return failed(error, name + " is not on PATH; it comes with the Debian package " + package);
}

uint64_t get_le(const std::string &bytes, size_t at, int size) {
    uint64_t value = 0;
    for (int i = size; i-- > 0;) value = value << 8 | uint8_t(bytes[at + size_t(i)]);
    return value;
}

void set_le(std::string &bytes, size_t at, uint64_t value, int size) {
    for (int i = 0; i < size; i++) bytes[at + size_t(i)] = char((value >> (8 * i)) & 0xff);
}

size_t put_le(std::string &bytes, uint64_t value, int size) {
    for (int i = 0; i < size; i++) bytes += char((value >> (8 * i)) & 0xff);
    return bytes.size() - size_t(size);
}

bool parse_epoch_seconds(const char *text, long long &seconds) {
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < 0 || v > 9999999999LL) return false;
    seconds = v;
    return true;
}
