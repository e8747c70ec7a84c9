// The packer's payload: the application folder as a sorted LF archive, compressed with bzip2 -9.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "star_writer.h"
#include "zorv_pack.h"
#include "zorv_pack_compress.h"

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

namespace {

double seconds_since(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// One line on standard error, rewritten in place: megabytes done of the total, the rate, the time
// left. It first shows after half a second, so that a small folder packs without it, and then
// four times a second at most.
struct progress_line {
    bool on = false;
    long long total = 0;
    timespec start{};
    double shown_at = 0;

    void show(long long done) {
        double elapsed = seconds_since(start);
        if (!on || elapsed < 0.5 || elapsed - shown_at < 0.25) return;
        shown_at = elapsed;
        double rate = done / elapsed;
        long left = rate > 0 ? long((total - done) / rate + 0.5) : 0;
        fprintf(stderr, "\rzorv-pack: compressing %.0f of %.0f MB, %.1f MB/s, %ld:%02ld left\033[K", done / 1e6,
                total / 1e6, rate / 1e6, left / 60, left % 60);
    }
    void clear() {
        if (on && shown_at > 0) fputs("\r\033[K", stderr);
    }
};

}  // namespace

compress_result compress_bzip2(const std::string &in_path, const std::string &out_path, unsigned long long max_size,
                               bool progress, std::string &error) {
    progress_line line;
    struct stat st;
    if (progress && stat(in_path.c_str(), &st) == 0) {
        line.on = true;
        line.total = st.st_size;
        clock_gettime(CLOCK_MONOTONIC, &line.start);
    }
    compress_result result = compress_bzip2_blocks(in_path, out_path, max_size, 0,
                                                   [&line](long long done) { line.show(done); }, error);
    line.clear();
    return result;
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
