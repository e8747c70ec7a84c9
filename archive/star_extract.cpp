// Extraction of SIMPLE-TAR entries into files: the name rule, the walk to each entry, new files.
#include <string.h>

#include "star.h"
#include "star_walk.h"

namespace {

// Output files are written in pieces of at most 63 bytes; a larger stdio buffer than the
// default keeps that to one system call per 64 KiB. One file is open at a time, so one static
// buffer serves them all and memory stays fixed.
char out_buffer[1 << 16];

// With folder, out is the new file name inside it, whose write-out starts as it is closed.
star_result copy_into(os_file *archive, os_file *out, os_dir *folder = nullptr, const char *name = nullptr) {
    os_setvbuf(out, out_buffer, sizeof out_buffer);
    star_result result = star_copy_body(archive, out);
    // Buffered bytes that cannot be written at close are a short write like any other.
    int closed = folder ? os_fclose_and_write_out(out, folder, name) : os_fclose(out);
    if (closed != 0 && result == STAR_OK) result = STAR_ERR_WRITE;
    return result;
}

// Writes the entry name below the walk's root: its missing folders made, what stands at its own
// name replaced by a new file. A link at any level, its own name included, refuses the entry:
// what is written through it would land elsewhere.
star_result extract_entry(os_file *archive, star_walk *w, const char *name) {
    os_dir *folder;
    const char *leaf;
    size_t missing;
    star_result r;
    while ((r = star_walk_to(w, name, &folder, &leaf, &missing)) == STAR_ERR_NOT_FOUND)
        if ((r = star_walk_make(w, name)) != STAR_OK) return r;
    if (r != STAR_OK) return r;
    int kind = os_kind_at(folder, leaf);
    if (kind == OS_KIND_LINK) return STAR_ERR_NAME;
    // An earlier file is deleted rather than written over, so that a second name it has (a hard
    // link) keeps its bytes.
    if (kind != OS_KIND_NONE && (kind != OS_KIND_FILE || os_remove_at(folder, leaf) != 0)) return STAR_ERR_WRITE;
    return star_write_new(archive, folder, leaf);
}

// Extracts every entry below prefix (null: the current folder), or the first one called wanted.
// The destination is opened, its missing levels made, only once there is an entry to write.
star_result extract_below(os_file *archive, const char *prefix, const char *wanted) {
    star_destination d = {};
    star_walk w = {};
    size_t prefix_len = prefix ? strlen(prefix) : 0;
    star_result result = STAR_OK;
    for (;;) {
        if (wanted) star_skip_to_boundary(archive);
        const char *name = star_read_header(archive);
        // A read that fails between entries looks like the end of the archive to the header
        // read; only the stream's error flag tells the two apart.
        if (!name) {
            result = os_ferror(archive) ? STAR_ERR_READ : wanted ? STAR_ERR_NOT_FOUND : STAR_OK;
            break;
        }
        if (wanted && strcmp(name, wanted) != 0) continue;
        if (!star_name_is_safe(name)) result = STAR_ERR_NAME;
        else if (prefix_len + 1 + strlen(name) >= kStarPathSize) result = STAR_ERR_TOO_LONG;
        else if (d.dir || (result = star_open_destination(&d, prefix, 1)) == STAR_OK) {
            if (w.root != d.dir) star_walk_start(&w, d.dir, nullptr);
            result = extract_entry(archive, &w, name);
        }
        if (result != STAR_OK || wanted) break;
    }
    if (d.dir) {
        star_walk_stop(&w);
        star_close_destination(&d, 0);
    }
    return result;
}

}  // namespace

star_result star_write_entry(os_file *archive, char *path) {
    if (!path || !*path) return STAR_ERR_NAME;
    // Every level is created in order, outermost first. Failures pass silently here: a level
    // that is really missing shows up as a failed open.
    for (char *p = path + 1; *p; p++) {
        if (!star_is_separator(*p)) continue;
        char saved = *p;
        *p = '\0';
        os_mkdir(path);
        *p = saved;
    }
    os_file *out = os_fopen(path, "wb");
    return out ? copy_into(archive, out) : STAR_ERR_WRITE;
}

star_result star_write_new(os_file *archive, os_dir *folder, const char *name) {
    os_file *out = os_create_at(folder, name);
    return out ? copy_into(archive, out) : STAR_ERR_WRITE;
}

star_result star_fill_new(os_file *archive, os_file *out, os_dir *folder, const char *name) {
    return copy_into(archive, out, folder, name);
}

star_result star_extract_all(os_file *archive, const char *prefix) {
    // An empty prefix would otherwise become a leading '\\': the root of the drive.
    if (prefix && !*prefix) prefix = nullptr;
    star_skip_to_boundary(archive);
    return extract_below(archive, prefix, nullptr);
}

star_result star_extract_all_file(const char *archive_path, const char *prefix) {
    os_file *archive = os_fopen(archive_path, "rb");
    if (!archive) return STAR_ERR_OPEN;
    star_result result = star_extract_all(archive, prefix);
    os_fclose(archive);
    return result;
}

star_result star_extract_one(os_file *archive, const char *name, char *out_path) {
    if (!name) return STAR_ERR_NOT_FOUND;
    if (out_path) {
        for (;;) {
            star_skip_to_boundary(archive);
            const char *found = star_read_header(archive);
            if (!found) return os_ferror(archive) ? STAR_ERR_READ : STAR_ERR_NOT_FOUND;
            if (strcmp(found, name) == 0) return star_write_entry(archive, out_path);
        }
    }
    // The name becomes the path, relative to the current directory, reached as every entry is.
    return extract_below(archive, nullptr, name);
}

star_result star_extract_one_file(const char *archive_path, const char *name, char *out_path) {
    os_file *archive = os_fopen(archive_path, "rb");
    if (!archive) return STAR_ERR_OPEN;
    star_result result = star_extract_one(archive, name, out_path);
    os_fclose(archive);
    return result;
}
