// The destination held, and the walk over an entry's folder levels, one opened from the other.
#include "star_walk.h"

#include <string.h>

namespace {

// A level's name, NUL-ended, from name[start, end).
bool level_name(const char *name, size_t start, size_t end, char *out, size_t size) {
    if (end - start >= size) return false;
    memcpy(out, name + start, end - start);
    out[end - start] = '\0';
    return true;
}

star_result kind_in_the_way(int kind) {
    if (kind == OS_KIND_NONE) return STAR_ERR_NOT_FOUND;
    return kind == OS_KIND_LINK ? STAR_ERR_NAME : STAR_ERR_WRITE;
}

// Opens level name inside parent, refusing a link and, at the top, the refused folder.
star_result open_level(star_walk *w, os_dir *parent, const char *name) {
    int kind;
    os_dir *d = os_open_dir_at(parent, name, &kind);
    if (!d) return kind_in_the_way(kind);
    if (w->depth == 0 && w->refused && os_same_dir(d, w->refused)) {
        os_close_dir(d);
        return STAR_ERR_NAME;
    }
    size_t n = strlen(name);
    if (w->depth == STAR_MAX_LEVELS || w->names_len + n + 1 > sizeof w->names) {
        os_close_dir(d);
        return STAR_ERR_TOO_LONG;
    }
    memcpy(w->names + w->names_len, name, n + 1);
    w->names_len += n + 1;
    w->level[w->depth++] = d;
    return STAR_OK;
}

// Lets go of the held levels below the first keep.
void hold_only(star_walk *w, unsigned keep) {
    while (w->depth > keep) {
        os_close_dir(w->level[--w->depth]);
        w->names_len--;  // the NUL of the last name
        while (w->names_len > 0 && w->names[w->names_len - 1] != '\0') w->names_len--;
    }
}

}  // namespace

int star_next_level(const char *name, size_t *at, size_t *start, size_t *end) {
    size_t i = *at;
    for (;;) {
        while (star_is_separator(name[i])) i++;
        if (!name[i]) {
            *at = i;
            return 0;
        }
        size_t s = i;
        while (name[i] && !star_is_separator(name[i])) i++;
        if (i - s == 1 && name[s] == '.') continue;
        *start = s, *end = i, *at = i;
        return 1;
    }
}

void star_walk_start(star_walk *w, os_dir *root, os_dir *refused) {
    w->root = root;
    w->refused = refused;
    w->depth = 0;
    w->names_len = 0;
}

void star_walk_stop(star_walk *w) { hold_only(w, 0); }

star_result star_walk_to(star_walk *w, const char *name, os_dir **folder, const char **leaf, size_t *missing) {
    size_t at = 0, start, end;
    if (!star_next_level(name, &at, &start, &end)) return STAR_ERR_NAME;
    // Every level but the last is a folder to hold; the held ones that match are kept.
    unsigned depth = 0;
    const char *held = w->names;
    char level[kStarNameMax + 1];
    for (size_t s, e; star_next_level(name, &at, &s, &e); start = s, end = e, depth++) {
        if (!level_name(name, start, end, level, sizeof level)) return STAR_ERR_TOO_LONG;
        if (depth < w->depth && strcmp(held, level) == 0) {
            held += strlen(held) + 1;
            continue;
        }
        hold_only(w, depth);
        held = w->names + w->names_len;
        star_result r = open_level(w, depth ? w->level[depth - 1] : w->root, level);
        if (r == STAR_ERR_NOT_FOUND) *missing = end;
        if (r != STAR_OK) return r;
        held = w->names + w->names_len;
    }
    hold_only(w, depth);
    *folder = depth ? w->level[depth - 1] : w->root;
    *leaf = name + start;
    return STAR_OK;
}

star_result star_walk_make(star_walk *w, const char *name) {
    // The missing level is the one after the held ones.
    size_t at = 0, start = 0, end = 0;
    for (unsigned i = 0; i <= w->depth; i++)
        if (!star_next_level(name, &at, &start, &end)) return STAR_ERR_NAME;
    char level[kStarNameMax + 1];
    if (!level_name(name, start, end, level, sizeof level)) return STAR_ERR_TOO_LONG;
    os_dir *parent = w->depth ? w->level[w->depth - 1] : w->root;
    // Made meanwhile by someone else, it is opened as any level is: never through a link.
    if (os_mkdir_at(parent, level) != 0 && os_kind_at(parent, level) == OS_KIND_NONE) return STAR_ERR_WRITE;
    star_result r = open_level(w, parent, level);
    return r == STAR_ERR_NOT_FOUND ? STAR_ERR_WRITE : r;
}

star_result star_open_destination(star_destination *d, const char *path, int make) {
    d->dir = d->base = nullptr;
    d->made_count = 0;
    d->made_names[0] = '\0';
    if (!path || !*path) path = ".";
    if ((d->dir = os_open_dir(path))) return STAR_OK;
    if (!make) return STAR_ERR_WRITE;
    // The deepest level of the path that opens, as the system resolves it, then each missing one
    // made and opened from the one above.
    char full[kStarPathSize];
    if (!os_full_path(path, full, sizeof full)) return STAR_ERR_TOO_LONG;
    size_t n = strlen(full);
    while (n > 1 && star_is_separator(full[n - 1]) && full[n - 2] != ':') full[--n] = '\0';
    size_t cut = n;
    for (;;) {
        while (cut > 0 && !star_is_separator(full[cut - 1])) cut--;
        if (cut == 0) return STAR_ERR_WRITE;
        // The separator stays for a root ("/", "C:\"), and goes for any other level.
        size_t keep = cut - 1;
        if (keep == 0 || full[keep - 1] == ':') keep = cut;
        char saved = full[keep];
        full[keep] = '\0';
        d->base = os_open_dir(full);
        full[keep] = saved;
        if (d->base) break;
        cut = keep == cut ? 0 : keep;
    }
    size_t at = cut, start, end, names_len = 0;
    os_dir *parent = d->base;
    while (star_next_level(full, &at, &start, &end)) {
        char level[kStarPathSize];
        level_name(full, start, end, level, sizeof level);
        int kind;
        os_dir *next = nullptr;
        if (d->made_count < STAR_MAX_LEVELS && os_mkdir_at(parent, level) == 0)
            next = os_open_dir_at(parent, level, &kind);
        if (!next) {
            star_close_destination(d, 1);
            return d->made_count == STAR_MAX_LEVELS ? STAR_ERR_TOO_LONG : STAR_ERR_WRITE;
        }
        memcpy(d->made_names + names_len, level, end - start + 1);
        names_len += end - start + 1;
        d->made[d->made_count++] = parent = next;
    }
    d->dir = parent;
    return STAR_OK;
}

void star_close_destination(star_destination *d, int remove_made) {
    if (d->made_count == 0) {
        os_close_dir(d->dir);
        os_close_dir(d->base);
        d->dir = d->base = nullptr;
        return;
    }
    // Names, deepest first: each is removed from its parent once its own handle is let go (a
    // held folder cannot be removed on Windows).
    const char *names[STAR_MAX_LEVELS];
    const char *p = d->made_names;
    for (unsigned i = 0; i < d->made_count; i++, p += strlen(p) + 1) names[i] = p;
    for (unsigned i = d->made_count; i-- > 0;) {
        os_close_dir(d->made[i]);
        if (remove_made) os_rmdir_at(i ? d->made[i - 1] : d->base, names[i]);
    }
    os_close_dir(d->base);
    d->dir = d->base = nullptr;
    d->made_count = 0;
}
