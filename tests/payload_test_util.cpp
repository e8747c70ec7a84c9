// Helpers for the payload tests: archives and bzip2 streams in memory, resource images.
#include "payload_test_util.h"

#include <bzlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "resource_image.h"
#include "star_writer.h"
#include "test_util.h"

std::string make_archive(const std::map<std::string, std::string> &files) {
    char *buf = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buf, &size);
    star_writer w;
    star_writer_begin(&w, os_stdio(out), STAR_LF, 1215625293);
    for (auto &f : files)
        if (star_writer_add_bytes(&w, f.first.c_str(), f.second.data(), f.second.size()) != STAR_OK)
            throw std::runtime_error("cannot archive " + f.first);
    star_writer_end(&w);
    fclose(out);
    std::string archive(buf, size);
    free(buf);
    return archive;
}

std::string bz2(const std::string &data) {
    std::vector<char> out(data.size() + data.size() / 100 + 600);
    unsigned int n = (unsigned int)out.size();
    if (BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char *>(data.data()), (unsigned int)data.size(), 9, 0,
                                 0) != BZ_OK)
        throw std::runtime_error("bzip2 compression failed");
    return std::string(out.data(), n);
}

std::string strip_magic(std::string data) {
    std::replace(data.begin(), data.end(), '-', '_');
    return data;
}

void use_resources(const TempDir &dir, const std::map<int, std::string> &resources) {
    std::vector<resource_entry> entries;
    for (auto &r : resources) entries.push_back({"RCDATA_RAW", uint32_t(r.first), r.second});
    std::string path = dir / "image", error;
    if (!write_resource_image("", entries, path, error)) throw std::runtime_error(error);
    setenv("ZORV_RESOURCE_IMAGE", path.c_str(), 1);
}

void mkdir_p(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
}
