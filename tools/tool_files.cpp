// What the command-line tools share: folder walks, archive writing, file reads, time stamps.
#include "tool_files.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

bool collect_folder(const std::string &path, const std::string &name, std::vector<folder_file> &files,
                    std::string &error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        if (!star_writer_name_ok(name.c_str())) {
            error = path + ": its name cannot be stored in the archive (\"" + name + "\")";
            return false;
        }
        files.push_back({name, path});
        return true;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = path + ": neither a file nor a folder";
        return false;
    }
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        error = path + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> children;
    while (dirent *e = readdir(dir))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) children.push_back(e->d_name);
    closedir(dir);
    std::sort(children.begin(), children.end());
    for (const std::string &child : children)
        if (!collect_folder(path + "/" + child, name.empty() ? child : name + "/" + child, files, error))
            return false;
    return true;
}

namespace {

std::string body_error(int result, const folder_file &file) {
    if (result == STAR_ERR_MAGIC) return file.path + ": holds the archive's boundary magic and cannot be packed";
    if (result == STAR_ERR_NAME) return file.path + ": its name cannot be stored in the archive (\"" + file.name + "\")";
    return file.path + ": " + (errno ? strerror(errno) : "read or write failed");
}

// Runs step on each file opened for reading; false with a reason at the first failure.
template <typename F> bool each_body(const std::vector<folder_file> &files, std::string &error, F step) {
    for (const folder_file &file : files) {
        FILE *stream = fopen(file.path.c_str(), "rb");
        if (!stream) {
            error = file.path + ": " + strerror(errno);
            return false;
        }
        os_file *body = os_stdio(stream);
        errno = 0;
        int r = step(file, body);
        os_fclose(body);
        if (r != STAR_OK) {
            error = body_error(r, file);
            return false;
        }
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

bool parse_epoch_seconds(const char *text, long long &seconds) {
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < 0 || v > 9999999999LL) return false;
    seconds = v;
    return true;
}
