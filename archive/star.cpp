// The SIMPLE-TAR reader: header and body scanning, directory creation, extraction.
#include "star.h"

#include <ctype.h>
#include <string.h>

#include "os_stream.h"
#include "platform.h"
#include "star_format.h"

namespace {

const size_t kLineSize = 300;  // a line read gives at most 299 characters
const size_t kPathSize = 5000;
const size_t kRunMax = 63;  // the pending run is written out when it reaches this

char entry_name[kLineSize];

// Output files are written in pieces of at most 63 bytes; a larger stdio buffer than the
// default keeps that to one system call per 64 KiB. One file is open at a time, so one static
// buffer serves them all and memory stays fixed.
char out_buffer[1 << 16];

bool starts_with(const char *line, const char *tag, size_t n) { return strncmp(line, tag, n) == 0; }

bool is_separator_line(const char *line) { return starts_with(line, kStarSeparator, kStarSeparatorLen); }

bool put(FILE *out, const unsigned char *p, size_t n) { return n == 0 || os_fwrite(p, n, out) == n; }

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Joins prefix and name into path as the installer does: '\' is added only when the prefix does
// not already end in a separator. False if the result does not fit.
bool join_path(char (&path)[kPathSize], const char *prefix, const char *name) {
    size_t pn = prefix ? strlen(prefix) : 0;
    size_t nn = strlen(name);
    bool add_sep = pn > 0 && !is_sep(prefix[pn - 1]);
    size_t total = pn + (add_sep ? 1 : 0) + nn;
    if (total >= kPathSize) return false;
    if (pn) memcpy(path, prefix, pn);
    if (add_sep) path[pn] = '\\';
    memcpy(path + pn + (add_sep ? 1 : 0), name, nn + 1);
    return true;
}

}  // namespace

int star_is_boundary(const char *line) {
    // strncmp stops at the line's NUL, so a line shorter than the magic never matches.
    if (!starts_with(line, kStarMagic, kStarMagicLen)) return 0;
    if (strlen(line) < kStarBoundaryLen) return 0;
    char c = line[kStarBoundaryLen];
    return c == '\r' || c == '\n' || c == '\0';
}

int star_skip_to_boundary(FILE *archive) {
    char line[kLineSize];
    while (os_fgets(line, sizeof line, archive))
        if (star_is_boundary(line)) return 1;
    return 0;
}

char *star_read_header(FILE *archive) {
    char line[kLineSize];
    for (;;) {
        // Seeking the name line. The rest of the previous boundary line (usually its bare line
        // break) is passed over here like any other line.
        if (!os_fgets(line, sizeof line, archive)) return nullptr;
        if (starts_with(line, kStarNameTag, kStarNameTagLen)) {
            size_t n = strlen(line);
            while (n > kStarNameTagLen && (line[n - 1] == '\r' || line[n - 1] == '\n')) n--;
            memcpy(entry_name, line + kStarNameTagLen, n - kStarNameTagLen);
            entry_name[n - kStarNameTagLen] = '\0';
        } else {
            if (is_separator_line(line)) star_skip_to_boundary(archive);  // a nameless entry
            continue;
        }
        // Seeking the separator. Further name lines are ignored; a boundary drops the name.
        for (;;) {
            if (!os_fgets(line, sizeof line, archive)) return nullptr;
            if (is_separator_line(line)) return entry_name;
            if (star_is_boundary(line)) break;
        }
    }
}

// The pending run holds the body bytes read but not yet written. It starts at the body's start,
// at each line break (which stays at its front), or after a forced write, and is written out at
// the next line break or when it reaches 63 bytes. Once a run that begins with a line break holds
// that line break and 60 more characters, those can be checked for a boundary line; only then is
// the line break known to be framing rather than body.
namespace {

struct Run {
    unsigned char bytes[kRunMax];
    size_t n = 0;
    // The run length at which its line is checked for the magic: the line break's bytes and the
    // 60 characters of a boundary line.
    size_t window() const { return (bytes[0] == '\r' ? 2 : 1) + kStarBoundaryLen; }
    bool window_has_magic() const {
        return memcmp(bytes + (bytes[0] == '\r' ? 2 : 1), kStarMagic, kStarMagicLen) == 0;
    }
};

// An LF ends a non-empty run: everything before the line break is written, and the line break
// (LF, or CR LF) starts the next run.
bool end_line(Run &run, FILE *out) {
    if (run.bytes[run.n - 1] == '\r') {
        if (!put(out, run.bytes, run.n - 1)) return false;
        run.bytes[0] = '\r';
        run.bytes[1] = '\n';
        run.n = 2;
    } else {
        if (!put(out, run.bytes, run.n)) return false;
        run.bytes[0] = '\n';
        run.n = 1;
    }
    return true;
}

// A full run is written out, except a CR at its end, which may start a CR LF line break and is
// carried into the next run.
bool write_full(Run &run, FILE *out) {
    if (run.bytes[kRunMax - 1] == '\r') {
        if (!put(out, run.bytes, kRunMax - 1)) return false;
        run.bytes[0] = '\r';
        run.n = 1;
        return true;
    }
    run.n = 0;
    return put(out, run.bytes, kRunMax);
}

// The run's window holds the magic: decides whether it is a boundary line and what the line break
// before it was.
int at_magic(const Run &run, FILE *archive, FILE *out) {
    if (run.bytes[0] == '\n') return 0;  // the rest of the boundary line is left for the next header read
    if (run.bytes[0] != '\r' || run.bytes[1] != '\n') return -1;  // the magic where no line can begin
    char tail[5];
    if (!os_fgets(tail, sizeof tail, archive)) return -1;
    size_t tn = strlen(tail);
    if (tn == 1 && tail[0] == '\n') {
        // CR LF before a boundary line that ends in a lone LF: the CR is body data.
        static const unsigned char cr = '\r';
        return put(out, &cr, 1) ? 0 : -1;
    }
    return tn == 2 && tail[0] == '\r' ? 0 : -1;
}

}  // namespace

// Byte by byte, this is the reader's whole framing rule. Most bytes do nothing but extend the run,
// so where the stream has bytes buffered the copy takes such a stretch at once (up to the next
// LF, the end of the run, or the end of the buffer) and consumes exactly the bytes the byte-wise
// rule would have: the same runs, the same checks, the same writes, the same stream position.
int star_copy_body(FILE *archive, FILE *out) {
    Run run;
    for (;;) {
        const unsigned char *ahead;
        size_t avail = os_peek(archive, &ahead);
        if (avail > 0 && (ahead[0] != '\n' || run.n == 0)) {
            size_t take = avail < kRunMax - run.n ? avail : kRunMax - run.n;
            // An LF into an empty run is its first byte; any later LF ends the stretch.
            const void *lf = take > 1 ? memchr(ahead + 1, '\n', take - 1) : nullptr;
            if (lf) take = size_t(static_cast<const unsigned char *>(lf) - ahead);
            size_t before = run.n;
            memcpy(run.bytes + run.n, ahead, take);
            run.n += take;
            size_t window = run.window();
            if (before < window && window <= run.n && run.window_has_magic()) {
                os_skip(archive, window - before);
                return at_magic(run, archive, out);
            }
            os_skip(archive, take);
            if (run.n == kRunMax && !write_full(run, out)) return -1;
            continue;
        }
        int c = os_getc(archive);
        if (c == EOF) return -1;
        if (c == '\n' && run.n > 0) {
            if (!end_line(run, out)) return -1;
            continue;
        }
        run.bytes[run.n++] = (unsigned char)c;
        if (run.n == kRunMax) {
            if (!write_full(run, out)) return -1;
            continue;
        }
        if (run.n == run.window() && run.window_has_magic()) return at_magic(run, archive, out);
    }
}

int star_write_entry(FILE *archive, char *path) {
    if (!path || !*path) return -1;
    // Every level is created in order, outermost first. Failures pass silently here: a level
    // that is really missing shows up as a failed open.
    for (char *p = path + 1; *p; p++) {
        if (!is_sep(*p)) continue;
        char saved = *p;
        *p = '\0';
        os_mkdir(path);
        *p = saved;
    }
    FILE *out = os_fopen(path, "wb");
    if (!out) return -1;
    setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);
    int result = star_copy_body(archive, out);
    // Buffered bytes that cannot be written at close are a short write like any other.
    if (fclose(out) != 0) result = -1;
    return result;
}

namespace {

// Names that Windows takes for devices in any folder, with or without an extension ("nul.txt"):
// a file by such a name would be a device outside the target.
bool is_device_name(const char *level, const char *end) {
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "COM1", "COM2", "COM3",
                                          "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                          "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    const char *stem = level;
    while (stem < end && *stem != '.') stem++;
    while (stem > level && stem[-1] == ' ') stem--;  // Windows drops the blanks before the extension
    for (const char *device : devices) {
        size_t n = strlen(device);
        if (size_t(stem - level) != n) continue;
        size_t i = 0;
        while (i < n && toupper((unsigned char)level[i]) == device[i]) i++;
        if (i == n) return true;
    }
    return false;
}

}  // namespace

int star_name_is_safe(const char *name) {
    if (is_sep(name[0])) return 0;
    if (strchr(name, ':')) return 0;
    for (const char *level = name;;) {
        const char *end = level;
        while (*end && !is_sep(*end)) end++;
        if (end - level == 2 && level[0] == '.' && level[1] == '.') return 0;
        if (is_device_name(level, end)) return 0;
        if (!*end) return 1;
        level = end + 1;
    }
}

int star_extract_all(FILE *archive, const char *prefix) {
    // An empty prefix would otherwise become a leading '\': the root of the drive.
    if (prefix && !*prefix) prefix = nullptr;
    char path[kPathSize];
    star_skip_to_boundary(archive);
    for (;;) {
        const char *name = star_read_header(archive);
        // A read that fails between entries looks like the end of the archive to the header
        // read; only the stream's error flag tells the two apart.
        if (!name) return ferror(archive) ? -1 : 0;
        if (!star_name_is_safe(name) || !join_path(path, prefix, name)) return -1;
        if (star_write_entry(archive, path) != 0) return -1;
    }
}

int star_extract_all_file(const char *archive_path, const char *prefix) {
    FILE *archive = os_fopen(archive_path, "rb");
    if (!archive) return -1;
    int result = star_extract_all(archive, prefix);
    fclose(archive);
    return result;
}

int star_extract_one(FILE *archive, const char *name, char *out_path) {
    if (!name) return -1;
    for (;;) {
        star_skip_to_boundary(archive);
        const char *found = star_read_header(archive);
        if (!found) return -1;
        if (strcmp(found, name) != 0) continue;
        if (out_path) return star_write_entry(archive, out_path);
        // The name becomes the path, relative to the current directory; it matched a header, so
        // it is at most 292 characters and fits a line buffer.
        if (!star_name_is_safe(name)) return -1;
        char path[kLineSize];
        strcpy(path, name);
        return star_write_entry(archive, path);
    }
}

int star_extract_one_file(const char *archive_path, const char *name, char *out_path) {
    FILE *archive = os_fopen(archive_path, "rb");
    if (!archive) return -1;
    int result = star_extract_one(archive, name, out_path);
    fclose(archive);
    return result;
}

char *star_next_entry(FILE *archive) {
    star_skip_to_boundary(archive);
    return star_read_header(archive);
}
