// What the fuzz harnesses share: a scratch folder per process and checks on what runs left there.
#include "fuzz_util.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

std::vector<std::string> names(const std::string &folder) {
    std::vector<std::string> out;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string &n : names(path)) remove_tree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

}  // namespace

const std::string &fuzz_scratch() {
    static std::string dir;
    if (dir.empty()) {
        const char *base = getenv("TMPDIR");
        std::string t = std::string(base && *base ? base : "/tmp") + "/zorv-fuzz-XXXXXX";
        if (!mkdtemp(&t[0])) fuzz_fail("cannot make a scratch folder");
        dir = t;
        atexit([] { remove_tree(dir); });
    }
    return dir;
}

void fuzz_clear(const std::string &folder) {
    for (const std::string &n : names(folder)) remove_tree(folder + "/" + n);
}

std::string fuzz_listing(const std::string &folder) {
    std::string out;
    for (const std::string &n : names(folder)) out += n + " ";
    return out;
}

void fuzz_fail(const char *what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}
