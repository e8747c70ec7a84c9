// The SIMPLE-TAR framing: boundary lines, headers and bodies, read from an os_file.
#include <string.h>

#include "star.h"
#include "star_format.h"

namespace {

const size_t kLineSize = 300;  // a line read gives at most 299 characters
const size_t kRunMax = 63;     // the pending run is written out when it reaches this

char entry_name[kLineSize];

bool starts_with(const char *line, const char *tag, size_t n) { return strncmp(line, tag, n) == 0; }

bool is_separator_line(const char *line) { return starts_with(line, kStarSeparator, kStarSeparatorLen); }

bool put(os_file *out, const unsigned char *p, size_t n) { return n == 0 || os_fwrite(p, n, out) == n; }

// Nothing more to read inside a body: the archive is cut short, unless the read itself failed.
star_result ended(os_file *archive) { return os_ferror(archive) ? STAR_ERR_READ : STAR_ERR_CUT_SHORT; }

}  // namespace

int star_is_boundary(const char *line) {
    // strncmp stops at the line's NUL, so a line shorter than the magic never matches.
    if (!starts_with(line, kStarMagic, kStarMagicLen)) return 0;
    if (strlen(line) < kStarBoundaryLen) return 0;
    char c = line[kStarBoundaryLen];
    return c == '\r' || c == '\n' || c == '\0';
}

// Line by line as os_fgets reads them (up to an LF, or kLineSize - 1 bytes), but where the file
// has a whole such line buffered it is looked at in place and passed over: a pass over an archive's
// names reads every body this way, and a call a line cost as much again as the rest of that pass.
int star_skip_to_boundary(os_file *archive) {
    char line[kLineSize];
    for (;;) {
        const unsigned char *ahead;
        size_t avail = os_peek(archive, &ahead);
        size_t most = avail < kLineSize - 1 ? avail : kLineSize - 1;
        const void *lf = most > 0 ? memchr(ahead, '\n', most) : nullptr;
        if (lf || most == kLineSize - 1) {
            size_t n = lf ? size_t(static_cast<const unsigned char *>(lf) - ahead) + 1 : most;
            bool boundary = false;
            if (n >= kStarMagicLen && memcmp(ahead, kStarMagic, kStarMagicLen) == 0) {
                memcpy(line, ahead, n);
                line[n] = '\0';
                boundary = star_is_boundary(line);
            }
            os_skip(archive, n);
            if (boundary) return 1;
            continue;
        }
        // The line runs past what is buffered, or the file has ended.
        if (!os_fgets(line, sizeof line, archive)) return 0;
        if (star_is_boundary(line)) return 1;
    }
}

char *star_read_header(os_file *archive) {
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
bool end_line(Run &run, os_file *out) {
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
bool write_full(Run &run, os_file *out) {
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
star_result at_magic(const Run &run, os_file *archive, os_file *out) {
    if (run.bytes[0] == '\n') return STAR_OK;  // the rest of the boundary line is left for the next header read
    if (run.bytes[0] != '\r' || run.bytes[1] != '\n') return STAR_ERR_DAMAGED;  // no line can begin there
    char tail[5];
    if (!os_fgets(tail, sizeof tail, archive)) return ended(archive);
    size_t tn = strlen(tail);
    if (tn == 1 && tail[0] == '\n') {
        // CR LF before a boundary line that ends in a lone LF: the CR is body data.
        static const unsigned char cr = '\r';
        return put(out, &cr, 1) ? STAR_OK : STAR_ERR_WRITE;
    }
    return tn == 2 && tail[0] == '\r' ? STAR_OK : STAR_ERR_DAMAGED;
}

}  // namespace

// Byte by byte, this is the reader's whole framing rule. Most bytes do nothing but extend the run,
// so where the stream has bytes buffered the copy takes such a stretch at once (up to the next
// LF, the end of the run, or the end of the buffer) and consumes exactly the bytes the byte-wise
// rule would have: the same runs, the same checks, the same writes, the same stream position.
star_result star_copy_body(os_file *archive, os_file *out) {
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
            if (run.n == kRunMax && !write_full(run, out)) return STAR_ERR_WRITE;
            continue;
        }
        int c = os_getc(archive);
        if (c < 0) return ended(archive);
        if (c == '\n' && run.n > 0) {
            if (!end_line(run, out)) return STAR_ERR_WRITE;
            continue;
        }
        run.bytes[run.n++] = (unsigned char)c;
        if (run.n == kRunMax) {
            if (!write_full(run, out)) return STAR_ERR_WRITE;
            continue;
        }
        if (run.n == run.window() && run.window_has_magic()) return at_magic(run, archive, out);
    }
}

char *star_next_entry(os_file *archive) {
    star_skip_to_boundary(archive);
    return star_read_header(archive);
}
