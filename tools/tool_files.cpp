// What the command-line tools share: walking a folder into archive entries, whole-file reads and
// time stamps given as text.
#include "tool_files.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "star_writer.h"

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

bool read_whole_file(const std::string &path, std::string &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

bool parse_epoch_seconds(const char *text, long long &seconds) {
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < 0 || v > 9999999999LL) return false;
    seconds = v;
    return true;
}
