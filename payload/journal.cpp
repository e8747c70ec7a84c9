// The journal of a change: its lines written ahead of their steps, and an earlier run's read and checked.
#include <ctype.h>
#include <string.h>

#include "change.h"
#include "star.h"

namespace {

// The longest line a run writes: "f", a number, a name and LF (an earlier version's "t" lines
// held a full path of the same bound).
const size_t kLineSize = kStarPathSize + 16;
// A run writes a line for each folder it makes and one or two for each entry, and stops before its
// journal passes this size (an archive of some hundred thousand files fits): a larger journal
// cannot be a run's.
const long long kJournalLimit = 64LL << 20;

// Whether a level, as Windows compares names (any case, trailing dots and spaces dropped), is the
// change's own folder. Linux would take "TMP_INST.OLD" for another folder; refusing it there too
// costs nothing, and keeps one rule for archives that go everywhere. Spellings no text shows (a
// short name) are the walk's to refuse: it knows the folder by its handle.
bool is_aside_level(const char *level, size_t n) {
    while (n > 0 && (level[n - 1] == '.' || level[n - 1] == ' ')) n--;
    if (n != sizeof ZORV_ASIDE_FOLDER - 1) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)level[i]) != ZORV_ASIDE_FOLDER[i]) return false;
    return true;
}

// Reads a line's form alone: a kind a run writes, and for 'f' a number of digits, at most nine.
bool parse_line(const char *text, size_t len, journal_line &l) {
    if (len == 0 || memchr(text, '\0', len) || text[len - 1] == '\r') return false;
    l.kind = text[0];
    l.number = 0;
    l.name = nullptr;
    if (len == 1) return l.kind == 'c';
    if (len < 3 || text[1] != ' ' || !strchr("tdfn", l.kind)) return false;
    l.name = text + 2;
    if (l.kind != 'f') return true;
    const char *p = text + 2;
    if (*p < '1' || *p > '9') return false;
    for (int digits = 0; isdigit((unsigned char)*p); p++)
        if (++digits > 9) return false;
        else l.number = l.number * 10 + unsigned(*p - '0');
    l.name = p + 1;
    return *p == ' ' && p[1];
}

// Every line in order: the kinds and the order a run writes them ('t' lines of an earlier version
// first, 'c' last), 'f' numbers counting 1, 2, 3..., and names a run may write. Lines are ended
// by NUL in place of their LF.
bool check_lines(char *text, size_t size, journal_facts &facts) {
    bool others = false;
    for (size_t at = 0; at < size;) {
        char *lf = static_cast<char *>(memchr(text + at, '\n', size - at));
        size_t len = size_t(lf - (text + at));
        journal_line l;
        if (len >= kLineSize || facts.finished || !parse_line(text + at, len, l)) return false;
        *lf = '\0';
        if (l.kind == 't') {
            if (others) return false;
        } else if (l.kind == 'c') {
            facts.finished = true;
        } else {
            others = true;
            if ((l.kind == 'f' && l.number != ++facts.files) || !journal_name_is_acceptable(l.name)) return false;
        }
        at += len + 1;
    }
    return true;
}

}  // namespace

bool journal_name_is_acceptable(const char *name) {
    size_t n = strlen(name);
    if (n == 0 || n >= kStarPathSize || star_is_separator(name[n - 1]) || !star_name_is_safe(name)) return false;
    size_t at = 0, start, end;
    return star_next_level(name, &at, &start, &end) && !is_aside_level(name + start, end - start);
}

bool journal_next(const change &c, size_t *at, journal_line &l) {
    if (*at >= c.lines.count) return false;
    const char *text = c.lines.items + *at;
    size_t len = strlen(text);
    *at += len + 1;
    return parse_line(text, len, l);
}

bool journal_previous(const change &c, size_t *at, journal_line &l) {
    if (*at == 0) return false;
    size_t end = *at - 1, start = end;  // end: the NUL of the line
    while (start > 0 && c.lines.items[start - 1] != '\0') start--;
    *at = start;
    return parse_line(c.lines.items + start, end - start, l);
}

star_result journal_read(change &c, journal_facts &facts) {
    facts.finished = false;
    facts.files = 0;
    c.lines.clear();
    long long size = os_file_size(c.journal);
    if (size < 0) return STAR_ERR_READ;
    if (size > kJournalLimit) return STAR_ERR_JOURNAL;
    if (!c.lines.reserve(size_t(size) + 1)) return STAR_ERR_NO_MEMORY;
    if (os_fseek(c.journal, 0) != 0 || os_fread(c.lines.items, size_t(size), c.journal) != size_t(size))
        return STAR_ERR_READ;
    // A last line cut short announced a step never taken, and counts for nothing, but for the mark
    // of a finished run, which is whole as soon as its one character is.
    size_t whole = size_t(size);
    while (whole > 0 && c.lines.items[whole - 1] != '\n') whole--;
    bool mark = size_t(size) - whole == 1 && c.lines.items[whole] == 'c';
    if (size_t(size) - whole >= kLineSize || !check_lines(c.lines.items, whole, facts) || (mark && facts.finished)) {
        c.lines.clear();
        return STAR_ERR_JOURNAL;
    }
    c.lines.count = whole;
    if (mark) {
        facts.finished = true;
        c.lines.add("c", 2);
    }
    // No name may lead out of the target through a link, as it stands now; the recovery's own
    // walk refuses one that appears later.
    size_t at = 0;
    journal_line l;
    while (journal_next(c, &at, l)) {
        if (!l.name || l.kind == 't') continue;
        os_dir *folder;
        const char *leaf;
        size_t missing;
        star_result r = star_walk_to(&c.walk, l.name, &folder, &leaf, &missing);
        if (r == STAR_ERR_NAME || r == STAR_ERR_TOO_LONG) {
            c.lines.clear();
            return STAR_ERR_JOURNAL;
        }
    }
    return STAR_OK;
}

star_result journal_record(change &c, char kind, unsigned number, const char *name, bool flush) {
    // kind, then " number" when there is one, then " name" when there is one.
    char line[kLineSize];
    size_t n = 0;
    line[n++] = kind;
    if (number) {
        line[n++] = ' ';
        aside_name(number, line + n);
        n += strlen(line + n);
    }
    size_t name_len = name ? strlen(name) : 0;
    if (n + 1 + name_len + 1 >= sizeof line || (long long)(c.lines.count + n + 1 + name_len + 1) > kJournalLimit)
        return STAR_ERR_TOO_LONG;
    if (name) {
        line[n++] = ' ';
        memcpy(line + n, name, name_len);
        n += name_len;
    }
    if (!c.lines.reserve(c.lines.count + n + 1)) return STAR_ERR_NO_MEMORY;
    line[n] = '\n';
    if (os_fwrite(line, n + 1, c.journal) != n + 1 || (flush && os_fsync(c.journal) != 0)) return STAR_ERR_WRITE;
    line[n] = '\0';
    c.lines.add(line, n + 1);
    return STAR_OK;
}

bool journal_marked_on_disk(change &c) {
    // The last line is "c", with or without its LF.
    long long size = os_file_size(c.journal);
    char tail[4] = {'\n', '\n', '\n', '\0'};
    size_t n = size < 3 ? size_t(size) : 3;
    if (size < 1 || os_fseek(c.journal, long(size - (long long)n)) != 0 || os_fread(tail + 3 - n, n, c.journal) != n)
        return false;
    bool marked = strcmp(tail + 1, "\nc") == 0 || strcmp(tail, "\nc\n") == 0;
    return os_fseek(c.journal, long(size)) == 0 && marked;
}

star_result journal_empty(change &c) {
    c.lines.clear();
    return os_ftruncate(c.journal) == 0 && os_fsync(c.journal) == 0 ? STAR_OK : STAR_ERR_WRITE;
}

void aside_name(unsigned number, char out[16]) {
    char digits[16];
    size_t n = 0;
    do digits[n++] = char('0' + number % 10);
    while (number /= 10);
    for (size_t i = 0; i < n; i++) out[i] = digits[n - 1 - i];
    out[n] = '\0';
}

star_result sync_folder(os_dir *folder) { return os_fsync_dir(folder) == 0 ? STAR_OK : STAR_ERR_WRITE; }

star_result sync_once(synced_folder &last, os_dir *folder, const char *name, const char *leaf) {
    size_t n = size_t(leaf - name);
    if (last.any && last.len == n && memcmp(last.text, name, n) == 0) return STAR_OK;
    last.any = true;
    last.len = n;
    memcpy(last.text, name, n);
    return sync_folder(folder);
}
