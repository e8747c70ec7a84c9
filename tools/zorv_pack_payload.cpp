// The packer's payload: the application folder as a sorted LF archive, compressed with bzip2 -9.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "star_writer.h"
#include "zorv_pack.h"

bool write_app_archive(const std::vector<folder_file> &files, long long stamp, const std::string &archive_path,
                       std::string &error) {
    FILE *out = fopen(archive_path.c_str(), "wb");
    if (!out) {
        error = archive_path + ": " + strerror(errno);
        return false;
    }
    bool ok = write_folder_archive(out, files, STAR_LF, stamp, error);
    if (fclose(out) != 0 && ok) {
        error = archive_path + ": " + strerror(errno);
        ok = false;
    }
    return ok;
}

bool check_icon(const std::string &path, std::string &error) {
    std::string ico;
    if (!read_whole_file(path, ico)) {
        error = path + ": " + strerror(errno);
        return false;
    }
    auto u16 = [&](size_t at) { return unsigned(uint8_t(ico[at])) | unsigned(uint8_t(ico[at + 1])) << 8; };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (ico.size() < 6 + 16 || u16(0) != 0 || u16(2) != 1) {
        error = path + ": not an icon file";
        return false;
    }
    if (u16(4) != 1) {
        error = path + ": holds " + std::to_string(u16(4)) +
                " images; the installer carries exactly one (icon 1 in icon group 102), so keep one size";
        return false;
    }
    unsigned long size = u32(6 + 8), offset = u32(6 + 12);
    if (size == 0 || offset < 22 || offset > ico.size() || size > ico.size() - offset) {
        error = path + ": its image lies outside the file";
        return false;
    }
    return true;
}
