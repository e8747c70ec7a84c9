// Writes SIMPLE-TAR archives: framing, boundary line filling, refusal of unframeable bodies.
#include "star_writer.h"

#include <stdio.h>
#include <string.h>

#include "star_format.h"
#include "star_names.h"

namespace {

const char *line_break(const star_writer *w) { return w->crlf ? "\r\n" : "\n"; }

bool put(star_writer *w, const void *p, size_t n) { return n == 0 || os_fwrite(p, n, w->out) == n; }

bool put_text(star_writer *w, const char *s) { return put(w, s, strlen(s)); }

bool put_boundary(star_writer *w, int counter) {
    char line[kStarBoundaryLen + 8];  // room for snprintf's worst case; 60 are written
    long long stamp = w->stamp % 10000000000LL;
    snprintf(line, sizeof line, "%s-%010lld-%04d---------", kStarMagic, stamp, counter % 10000);
    return put(w, line, kStarBoundaryLen) && put_text(w, line_break(w));
}

bool put_header(star_writer *w, const char *name) {
    return put_text(w, kStarNameTag) && put_text(w, name) && put_text(w, line_break(w)) &&
           put_text(w, kStarSeparator) && put_text(w, line_break(w));
}

int close_entry(star_writer *w) {
    w->entries++;
    return put_text(w, line_break(w)) && put_boundary(w, 2200 + w->entries) ? STAR_OK : STAR_ERR_WRITE;
}

}  // namespace

long long star_find_magic(const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    const char *end = p + size;
    while (size_t(end - p) >= kStarMagicLen) {
        const char *dash = static_cast<const char *>(memchr(p, '-', size_t(end - p) - kStarMagicLen + 1));
        if (!dash) return -1;
        if (memcmp(dash, kStarMagic, kStarMagicLen) == 0) return dash - static_cast<const char *>(data);
        p = dash + 1;
    }
    return -1;
}

int star_writer_name_ok(const char *name) {
    size_t n = strlen(name);
    if (n == 0 || n > kStarNameMax || name[n - 1] == '\r' || strchr(name, '\n')) return 0;
    return star_name_is_safe(name);
}

int star_writer_begin(star_writer *w, os_file *out, star_line_break lb, long long stamp) {
    w->out = out;
    w->crlf = lb == STAR_CRLF;
    w->stamp = stamp < 0 ? 0 : stamp;
    w->entries = 0;
    return put_boundary(w, 2201) ? STAR_OK : STAR_ERR_WRITE;
}

int star_writer_add_bytes(star_writer *w, const char *name, const void *data, size_t size) {
    if (!star_writer_name_ok(name)) return STAR_ERR_NAME;
    if (star_find_magic(data, size) >= 0) return STAR_ERR_MAGIC;
    if (!put_header(w, name) || !put(w, data, size)) return STAR_ERR_WRITE;
    return close_entry(w);
}

namespace {

// Reads body to its end in pieces of 64 KiB, each with the previous piece's last 34 bytes kept in
// front of it, so that a magic split between two pieces is still seen. on_piece gets each piece's
// new bytes. STAR_ERR_MAGIC at the first magic, STAR_ERR_READ when a read fails, STAR_ERR_WRITE
// when on_piece fails.
template <typename F> int scan_body(os_file *body, F on_piece) {
    static char buf[kStarMagicLen - 1 + (1 << 16)];
    size_t kept = 0;
    for (;;) {
        size_t got = os_fread(buf + kept, sizeof buf - kept, body);
        if (got == 0) break;
        if (star_find_magic(buf, kept + got) >= 0) return STAR_ERR_MAGIC;
        if (!on_piece(buf + kept, got)) return STAR_ERR_WRITE;
        size_t total = kept + got;
        kept = total < kStarMagicLen - 1 ? total : kStarMagicLen - 1;
        memmove(buf, buf + total - kept, kept);
    }
    return os_ferror(body) ? STAR_ERR_READ : STAR_OK;
}

}  // namespace

int star_writer_add_file(star_writer *w, const char *name, os_file *body) {
    if (!star_writer_name_ok(name)) return STAR_ERR_NAME;
    if (!put_header(w, name)) return STAR_ERR_WRITE;
    int r = scan_body(body, [w](const char *p, size_t n) { return put(w, p, n); });
    return r == STAR_OK ? close_entry(w) : r;
}

int star_check_body(os_file *body) {
    return scan_body(body, [](const char *, size_t) { return true; });
}

int star_writer_end(star_writer *w) { return os_fflush(w->out) == 0 ? STAR_OK : STAR_ERR_WRITE; }
