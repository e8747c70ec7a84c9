// Extraction of SIMPLE-TAR entries into files: joined paths, the name rule, directories, outputs.
#include <string.h>

#include "star.h"

namespace {

const size_t kPathSize = 5000;
const size_t kNameSize = 300;  // a header's name, at most 292 characters, fits

// Output files are written in pieces of at most 63 bytes; a larger stdio buffer than the
// default keeps that to one system call per 64 KiB. One file is open at a time, so one static
// buffer serves them all and memory stays fixed.
char out_buffer[1 << 16];

bool is_sep(char c) { return c == '/' || c == '\\'; }

}  // namespace

int star_join_path(char *path, size_t size, const char *prefix, const char *name) {
    if (prefix && !*prefix) prefix = nullptr;
    size_t pn = prefix ? strlen(prefix) : 0;
    size_t nn = strlen(name);
    bool add_sep = pn > 0 && !is_sep(prefix[pn - 1]);
    size_t total = pn + (add_sep ? 1 : 0) + nn;
    if (total >= size) return 0;
    if (pn) memcpy(path, prefix, pn);
    if (add_sep) path[pn] = '\\';
    memcpy(path + pn + (add_sep ? 1 : 0), name, nn + 1);
    return 1;
}

int star_write_entry(os_file *archive, char *path) {
    if (!path || !*path) return star_fail(STAR_ERR_NAME);
    // Every level is created in order, outermost first. Failures pass silently here: a level
    // that is really missing shows up as a failed open.
    for (char *p = path + 1; *p; p++) {
        if (!is_sep(*p)) continue;
        char saved = *p;
        *p = '\0';
        os_mkdir(path);
        *p = saved;
    }
    return star_write_file(archive, path);
}

int star_write_file(os_file *archive, const char *path) {
    if (!path || !*path) return star_fail(STAR_ERR_NAME);
    os_file *out = os_fopen(path, "wb");
    if (!out) return star_fail(STAR_ERR_WRITE);
    os_setvbuf(out, out_buffer, sizeof out_buffer);
    int result = star_copy_body(archive, out);
    // Buffered bytes that cannot be written at close are a short write like any other.
    if (os_fclose(out) != 0 && result == 0) result = star_fail(STAR_ERR_WRITE);
    return result;
}

int star_extract_all(os_file *archive, const char *prefix) {
    // An empty prefix would otherwise become a leading '\\': the root of the drive.
    if (prefix && !*prefix) prefix = nullptr;
    char path[kPathSize];
    star_skip_to_boundary(archive);
    for (;;) {
        const char *name = star_read_header(archive);
        // A read that fails between entries looks like the end of the archive to the header
        // read; only the stream's error flag tells the two apart.
        if (!name) return os_ferror(archive) ? -1 : 0;
        if (!star_name_is_safe(name)) return star_fail(STAR_ERR_NAME);
        if (!star_join_path(path, sizeof path, prefix, name)) return star_fail(STAR_ERR_TOO_LONG);
        if (star_write_entry(archive, path) != 0) return -1;
    }
}

int star_extract_all_file(const char *archive_path, const char *prefix) {
    os_file *archive = os_fopen(archive_path, "rb");
    if (!archive) return star_fail(STAR_ERR_OPEN);
    int result = star_extract_all(archive, prefix);
    os_fclose(archive);
    return result;
}

int star_extract_one(os_file *archive, const char *name, char *out_path) {
    if (!name) return star_fail(STAR_ERR_NOT_FOUND);
    for (;;) {
        star_skip_to_boundary(archive);
        const char *found = star_read_header(archive);
        if (!found) return os_ferror(archive) ? -1 : star_fail(STAR_ERR_NOT_FOUND);
        if (strcmp(found, name) != 0) continue;
        if (out_path) return star_write_entry(archive, out_path);
        // The name becomes the path, relative to the current directory; it matched a header, so
        // it fits a name buffer.
        if (!star_name_is_safe(name)) return star_fail(STAR_ERR_NAME);
        char path[kNameSize];
        strcpy(path, name);
        return star_write_entry(archive, path);
    }
}

int star_extract_one_file(const char *archive_path, const char *name, char *out_path) {
    os_file *archive = os_fopen(archive_path, "rb");
    if (!archive) return star_fail(STAR_ERR_OPEN);
    int result = star_extract_one(archive, name, out_path);
    os_fclose(archive);
    return result;
}
