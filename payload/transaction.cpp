// One extraction as one change of the target: the hold, the journal and its checks, moving aside, putting back, the flushes.
#include "transaction.h"

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

#include "star.h"

namespace {

const size_t kPathSize = 5000;
// The longest line a run writes: "t ", a full path and LF; "f", a number and a name are shorter.
const size_t kLineSize = kPathSize + 8;
// A run writes a line for each folder it makes and one or two for each entry, and stops before its
// journal passes this size (an archive of some hundred thousand files fits): a larger journal
// cannot be a run's.
const long long kJournalLimit = 64LL << 20;
// What the journal and the folders of a change take on the disk, besides the new files (whose
// framing in the archive already counts for their journal lines).
const unsigned long long kRoomMargin = 32 << 10;
const char kJournal[] = ZORV_ASIDE_FOLDER "\\journal";

bool is_sep(char c) { return c == '/' || c == '\\'; }

// A path inside the target, as the extraction joins it; a path that does not fit fails.
struct target_path {
    char text[kPathSize];
    bool ok;
    target_path(const char *target, const char *rel) : ok(star_join_path(text, sizeof text, target, rel)) {
        if (!ok) star_fail(STAR_ERR_TOO_LONG);
    }
    target_path(const char *target, const std::string &rel) : target_path(target, rel.c_str()) {}
};

std::string aside_name(unsigned index) { return ZORV_ASIDE_FOLDER "\\" + std::to_string(index); }

// The folder part of a name, without its last separator ("" for a name at the top).
std::string folder_of(const char *name) {
    const char *last = nullptr;
    for (const char *p = name; *p; p++)
        if (is_sep(*p)) last = p;
    return last ? std::string(name, last) : std::string();
}

// Whether a level, as Windows compares names (any case, trailing dots and spaces dropped), is the
// change's own folder. Linux would take "TMP_INST.OLD" for another folder; refusing it there too
// costs nothing, and keeps one rule for archives that go everywhere.
bool is_aside_level(const char *level, size_t n) {
    while (n > 0 && (level[n - 1] == '.' || level[n - 1] == ' ')) n--;
    if (n != sizeof ZORV_ASIDE_FOLDER - 1) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)level[i]) != ZORV_ASIDE_FOLDER[i]) return false;
    return true;
}

struct change {
    const char *target;          // the prefix, null for the current folder
    char full[kPathSize];        // the target as the system resolves it: the journal's levels
    os_file *journal;            // held from the start of the change to its end
    long long size;              // bytes written to the journal
    unsigned numbered;           // numbers handed out to files that may be moved aside
    std::vector<unsigned> moved; // the numbers of the files that were
    std::vector<size_t> made;    // levels of the target's own path the change made: lengths of full, outermost first
    std::string verified;        // the folder of the last entry, every level of it looked at
    std::string first_level;     // the last first level found not to reach the change's own folder
    // The change as planned before its first step: the entries in archive order, each with the
    // number its file is moved aside as (0: nothing there), and the folders to make, outermost first.
    std::vector<std::string> planned;
    std::vector<unsigned> planned_aside;
    std::vector<std::string> folders;
};
change the_change;

// Whether an entry or journal name reaches the change's own folder, in any spelling: its first
// level that is not ".", as written and as the system resolves it (short names, trailing dots and
// spaces, any case). A level the system cannot resolve counts as reaching it.
bool reaches_aside(change &c, const char *name) {
    const char *p = name;
    for (;;) {
        while (is_sep(*p)) p++;
        if (p[0] != '.' || (p[1] && !is_sep(p[1]))) break;
        p++;
    }
    const char *end = p;
    while (*end && !is_sep(*end)) end++;
    if (is_aside_level(p, size_t(end - p))) return true;
    std::string level(p, end);
    if (level == c.first_level) return false;
    target_path at(c.target, level);
    char resolved[kPathSize];
    if (!at.ok || !os_full_path(at.text, resolved, sizeof resolved)) return true;
    const char *last = resolved + strlen(resolved);
    while (last > resolved && !is_sep(last[-1])) last--;
    if (is_aside_level(last, strlen(last))) return true;
    c.first_level = level;
    return false;
}

// A name the change may write, or the journal may name: a file's (not empty, not ending in a
// separator), inside the target by the name rule, and not in the change's own folder.
bool acceptable_name(change &c, const char *name) {
    size_t n = strlen(name);
    return n > 0 && n < kPathSize && !is_sep(name[n - 1]) && star_name_is_safe(name) && !reaches_aside(c, name);
}

// Whether a level between the target and name is a link (a symbolic link, a junction, a mount
// point): what is moved or written there would land outside the target.
bool through_link(const change &c, const char *name) {
    for (size_t i = 1; name[i]; i++) {
        if (!is_sep(name[i]) || is_sep(name[i - 1])) continue;
        target_path level(c.target, std::string(name, i));
        if (!level.ok || os_file_kind(level.text) == OS_KIND_LINK) return true;
    }
    return false;
}

// ---- The journal, read through one fixed buffer ----

// A journal read line by line, forwards from the start or backwards from an offset: whoever can
// write into the target can write a journal of any size, so none is read whole.
struct journal_reader {
    os_file *f;
    long long size;   // of the file
    long long pos;    // forwards: where the next line starts; backwards: where the last one read starts
    long long start;  // file offset of buf[0]
    size_t have;      // bytes in buf
    char buf[1 << 16];
};
journal_reader reader;

bool fill(journal_reader &r, long long from, long long to) {
    if (os_fseek(r.f, long(from)) != 0) return false;
    size_t n = size_t(to - from);
    if (os_fread(r.buf, n, r.f) != n) return false;
    r.start = from;
    r.have = n;
    return true;
}

void read_from(journal_reader &r, os_file *f, long long size, long long pos) {
    r.f = f;
    r.size = size;
    r.pos = pos;
    r.start = 0;
    r.have = 0;
}

// The next line, its LF replaced by NUL: 1; 0 past the last whole line, with tail and tail_len
// what follows it (a line cut short); -1 when a read fails (STAR_ERR_READ) or a line is longer
// than any a run writes (STAR_ERR_JOURNAL).
int next_line(journal_reader &r, char **line, size_t *len, const char **tail = nullptr, size_t *tail_len = nullptr) {
    for (int pass = 0; pass < 2; pass++) {
        size_t at = size_t(r.pos - r.start);
        if (r.pos >= r.start && r.pos <= r.start + (long long)r.have) {
            char *lf = static_cast<char *>(memchr(r.buf + at, '\n', r.have - at));
            if (lf) {
                *line = r.buf + at;
                *len = size_t(lf - *line);
                *lf = '\0';
                r.pos += (long long)*len + 1;
                return *len < kLineSize ? 1 : (star_fail(STAR_ERR_JOURNAL), -1);
            }
            if (r.start + (long long)r.have == r.size) {
                if (tail) *tail = r.buf + at, *tail_len = r.have - at;
                return r.have - at < kLineSize ? 0 : (star_fail(STAR_ERR_JOURNAL), -1);
            }
        }
        long long to = r.size - r.pos < (long long)sizeof r.buf ? r.size : r.pos + (long long)sizeof r.buf;
        if (!fill(r, r.pos, to)) return star_fail(STAR_ERR_READ);
    }
    return star_fail(STAR_ERR_JOURNAL);
}

// The line that ends just before r.pos (at an LF), NUL-terminated: 1; 0 at the start of the file.
int previous_line(journal_reader &r, char **line, size_t *len) {
    if (r.pos <= 0) return 0;
    long long end = r.pos - 1;  // the LF
    long long need = end > (long long)kLineSize ? end - (long long)kLineSize : 0;
    if (r.start > need || r.start + (long long)r.have < r.pos) {
        long long from = r.pos > (long long)sizeof r.buf ? r.pos - (long long)sizeof r.buf : 0;
        if (!fill(r, from, r.pos)) return star_fail(STAR_ERR_READ);
    }
    long long begin = end;
    while (begin > r.start && r.buf[begin - 1 - r.start] != '\n') begin--;
    if (begin == r.start && r.start > 0) return star_fail(STAR_ERR_JOURNAL);
    *line = r.buf + (begin - r.start);
    *len = size_t(end - begin);
    r.buf[end - r.start] = '\0';
    r.pos = begin;
    return 1;
}

// One line as a run writes it.
struct entry_line {
    char kind;        // 't', 'd', 'f', 'n' or 'c'
    unsigned number;  // of an 'f' line
    const char *name; // the path of a 't' line, the name of the others
};

// Reads a line's form alone: a kind a run writes, and for 'f' a number of digits, at most nine.
bool parse_line(const char *text, size_t len, entry_line &l) {
    if (len == 0 || memchr(text, '\0', len) || text[len - 1] == '\r') return false;
    l.kind = text[0];
    l.number = 0;
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

// What the checked journal says.
struct journal_facts {
    long long size;           // of the file
    bool finished;
    unsigned files;           // 'f' lines
    long long end;            // just after its last whole line
    std::vector<size_t> made; // its 't' levels, as lengths of the target's full path
};

// Checks every line of the journal c holds before anything is done by it: the kind and order a
// run writes ('t' lines first, 'c' last), 'f' numbers counting 1, 2, 3..., names a run may write
// and that no link leads out of, target levels that are the target or its parents, and a size a
// run could have written. A last line cut short announced a step never taken, and counts for
// nothing, but for the mark of a finished run, which is whole as soon as its one character is.
bool check_journal(change &c, journal_facts &facts) {
    long long size = os_file_size(c.journal);
    facts = journal_facts{size, false, 0, 0, {}};
    if (size < 0) return star_fail(STAR_ERR_READ), false;
    if (size > kJournalLimit) return star_fail(STAR_ERR_JOURNAL), false;
    read_from(reader, c.journal, size, 0);
    size_t full_len = strlen(c.full);
    bool others = false;
    char *text = nullptr;
    const char *tail = nullptr;
    size_t len, tail_len = 0;
    int got;
    while ((got = next_line(reader, &text, &len, &tail, &tail_len)) == 1) {
        entry_line l;
        if (facts.finished || !parse_line(text, len, l)) return star_fail(STAR_ERR_JOURNAL), false;
        bool ok = true;
        if (l.kind == 't') {
            size_t n = len - 2;
            ok = !others && n <= full_len && memcmp(l.name, c.full, n) == 0 && (n == full_len || is_sep(c.full[n])) &&
                 (facts.made.empty() || n > facts.made.back());
            facts.made.push_back(n);
        } else if (l.kind == 'c') {
            facts.finished = true;
        } else {
            others = true;
            ok = (l.kind != 'f' || l.number == ++facts.files) && acceptable_name(c, l.name) && !through_link(c, l.name);
        }
        if (!ok) return star_fail(STAR_ERR_JOURNAL), false;
    }
    if (got < 0) return false;
    facts.end = reader.pos;
    if (tail_len == 1 && tail[0] == 'c' && !facts.finished) facts.finished = true;
    return true;
}

// Puts one moved-aside file back, under its own name, in place of whatever the run wrote there.
bool put_back(const change &c, unsigned index, const char *name) {
    target_path aside(c.target, aside_name(index)), path(c.target, name);
    if (!aside.ok || !path.ok) return false;
    int kind = os_file_kind(aside.text);
    if (kind == OS_KIND_NONE) return true;  // the run was stopped before it moved the file
    if (kind != OS_KIND_FILE && kind != OS_KIND_LINK) return star_fail(STAR_ERR_WRITE), false;
    int now = os_file_kind(path.text);
    if ((now == OS_KIND_FILE || now == OS_KIND_LINK) && os_remove(path.text) != 0) return star_fail(STAR_ERR_WRITE), false;
    if (now == OS_KIND_FOLDER || now < 0) return star_fail(STAR_ERR_WRITE), false;
    return os_rename(aside.text, path.text) == 0 || (star_fail(STAR_ERR_WRITE), false);
}

// Removes the file at rel (one the run wrote, or moved aside), if it is there.
bool remove_if_there(const change &c, const char *rel) {
    target_path path(c.target, rel);
    if (!path.ok) return false;
    int kind = os_file_kind(path.text);
    if (kind == OS_KIND_NONE) return true;
    if ((kind == OS_KIND_FILE || kind == OS_KIND_LINK) && os_remove(path.text) == 0) return true;
    return star_fail(STAR_ERR_WRITE), false;
}

// Puts the names of the folder at rel inside the target on the disk, unless it was the last one.
bool sync_folder(const change &c, const std::string &rel, std::string &last) {
    if (rel == last) return true;
    last = rel;
    target_path folder(c.target, rel.empty() ? "." : rel);
    return folder.ok && (os_fsync_path(folder.text) == 0 || (star_fail(STAR_ERR_WRITE), false));
}

// Does what the checked journal says is left to do: deletes what a finished run moved aside, or
// undoes an unfinished one, last step first (so that a name written twice gets back what it held
// first); then puts those steps on the disk, so that the journal can go. Each step can be taken
// again: a cut in the middle leaves a journal that the next run finishes the same way.
bool carry_out(change &c, const journal_facts &facts) {
    std::string last = "\n";
    if (facts.finished) {
        for (unsigned i = 1; i <= facts.files; i++)
            if (!remove_if_there(c, aside_name(i).c_str())) return false;
    } else {
        read_from(reader, c.journal, facts.end, facts.end);
        char *text = nullptr;
        size_t len = 0;
        int got;
        while ((got = previous_line(reader, &text, &len)) == 1) {
            entry_line l;
            // Checked already; read again from the disk, it must still be what was checked.
            if (!parse_line(text, len, l)) return star_fail(STAR_ERR_JOURNAL), false;
            bool ok = true;
            if (l.kind == 'f') ok = put_back(c, l.number, l.name) && sync_folder(c, folder_of(l.name), last);
            else if (l.kind == 'n') ok = remove_if_there(c, l.name);
            else if (l.kind == 'd') {
                target_path path(c.target, l.name);
                if (path.ok) os_rmdir(path.text);  // a folder someone filled since is kept
            }
            if (!ok) return false;
        }
        if (got < 0) return false;
    }
    return sync_folder(c, ZORV_ASIDE_FOLDER, last);
}

// Writes one line to the journal and puts it on the disk before the step it announces is taken:
// a run stopped after it finds the line, a run stopped before it finds nothing to undo. The lines
// of the plan wait, to go to the disk together before its first step.
bool record(change &c, const std::string &line, bool flush = true) {
    std::string text = line + "\n";
    if (c.size + (long long)text.size() > kJournalLimit) return star_fail(STAR_ERR_TOO_LONG), false;
    if (os_fwrite(text.data(), text.size(), c.journal) != text.size() || (flush && os_fsync(c.journal) != 0))
        return star_fail(STAR_ERR_WRITE), false;
    c.size += (long long)text.size();
    return true;
}

// Removes the levels of the target's own path that the change made, deepest first.
void remove_levels(const change &c) {
    for (auto it = c.made.rbegin(); it != c.made.rend(); ++it) os_rmdir(std::string(c.full, *it).c_str());
}

// Lets go of the target once nothing of the change is left: the journal and the change's folder
// go, and with undone the levels the change made.
void release(change &c, bool undone) {
    target_path aside(c.target, ZORV_ASIDE_FOLDER), journal(c.target, kJournal);
    if (os_remove_held(c.journal, journal.text) == 0 && os_rmdir(aside.text) == 0 && undone) remove_levels(c);
    c.journal = nullptr;
}

// Finishes what the journal c holds says; the journal is then emptied for the change to come.
// The levels an unfinished run made are the change's now: they go if it fails.
bool settle(change &c) {
    journal_facts facts;
    if (!check_journal(c, facts)) return false;
    if (facts.size == 0) return true;
    if (!carry_out(c, facts)) return false;
    if (!facts.finished) {
        std::vector<size_t> made = facts.made;
        for (size_t n : c.made)
            if (made.empty() || n > made.back()) made.push_back(n);
        c.made = made;
    }
    c.size = 0;
    return (os_ftruncate(c.journal) == 0 && os_fsync(c.journal) == 0) || (star_fail(STAR_ERR_WRITE), false);
}

// A failure after the change began: everything is put back, the failure's cause kept. When that
// cannot be done now, the journal stays for the next run.
int abandon(change &c) {
    star_result why = star_last_error();
    if (settle(c)) release(c, true);
    else os_fclose(c.journal), c.journal = nullptr;
    return star_fail(why);
}

// Makes the missing levels of the target's own path, outermost first. A level whose kind cannot be
// told (a drive, a share) is taken to be there; below a missing one, every one is missing.
bool make_levels(change &c) {
    size_t n = strlen(c.full);
    bool missing = false;
    for (size_t i = 1; i <= n; i++) {
        if ((i < n && !is_sep(c.full[i])) || is_sep(c.full[i - 1])) continue;
        std::string level(c.full, i);
        if (!missing && os_file_kind(level.c_str()) != OS_KIND_NONE) continue;
        missing = true;
        if (os_mkdir(level.c_str()) != 0) return star_fail(STAR_ERR_WRITE), false;
        c.made.push_back(i);
    }
    return true;
}

// Takes the target for this run: its missing levels made (with create), the change's folder, and
// the journal held; the names they hold put on the disk; then what an earlier run left finished,
// and the journal begun with the levels. False, with nothing changed, when the target cannot be
// taken or what it holds cannot be finished (the journal then stays as it was). Without create, a
// target without the change's folder holds nothing to finish: true, with no journal held.
bool take(change &c, const char *target, bool create) {
    c.target = target && *target ? target : nullptr;
    c.journal = nullptr;
    c.size = 0;
    c.numbered = 0;
    c.moved.clear();
    c.made.clear();
    c.verified.clear();
    c.first_level.clear();
    c.planned.clear();
    c.planned_aside.clear();
    c.folders.clear();
    target_path aside(c.target, ZORV_ASIDE_FOLDER), journal(c.target, kJournal);
    if (!aside.ok || !journal.ok) return false;
    if (!os_full_path(c.target ? c.target : ".", c.full, sizeof c.full)) return star_fail(STAR_ERR_TOO_LONG), false;
    // A folder's full path ends in its name, but for a root ("/", "C:\").
    for (size_t n = strlen(c.full); n > 1 && is_sep(c.full[n - 1]) && c.full[n - 2] != ':'; n--) c.full[n - 1] = '\0';
    if (create && !make_levels(c)) {
        remove_levels(c);
        return false;
    }
    int kind = os_file_kind(aside.text);
    if (kind == OS_KIND_NONE && !create) return true;
    bool fresh = kind == OS_KIND_NONE && os_mkdir(aside.text) == 0;
    int held = 0;
    if ((fresh || os_file_kind(aside.text) == OS_KIND_FOLDER) && (c.journal = os_hold_file(journal.text, 0, &held))) {
        // The change's folder and its journal are named on the disk before the first step counts on them.
        std::string last = "\n";
        bool named = sync_folder(c, "", last) && sync_folder(c, ZORV_ASIDE_FOLDER, last);
        for (size_t i = 0; named && i < c.made.size(); i++) {
            std::string parent(c.full, c.made[i]);
            parent.resize(parent.find_last_of("/\\") == std::string::npos ? 0 : parent.find_last_of("/\\") + 1);
            named = parent.empty() || os_fsync_path(parent.c_str()) == 0 || (star_fail(STAR_ERR_WRITE), false);
        }
        // A journal just made holds nothing to finish.
        if (named && (fresh || settle(c))) {
            for (size_t n : c.made)
                if (!record(c, "t " + std::string(c.full, n))) return abandon(c), false;
            return true;
        }
        // A journal of an earlier run stays as it was: only the run that finishes it may let it go.
        // One that holds nothing goes with the change's folder, as a run cut off before its
        // journal began leaves them.
        if (fresh || os_file_size(c.journal) == 0) return release(c, true), false;
        os_fclose(c.journal);
        c.journal = nullptr;
        return false;
    }
    star_fail(held ? STAR_ERR_IN_USE : STAR_ERR_WRITE);
    if (fresh) os_rmdir(aside.text);
    remove_levels(c);
    return false;
}

// Looks at each level between the target and the folder of name that the last look did not
// cover. A missing one is recorded as a folder to make, and made now unless planned (then it is
// made with the plan's others); a link fails the entry, since what is written through it would
// land outside the target.
bool look_at_levels(change &c, const char *name, bool planning) {
    std::string folder = folder_of(name);
    size_t from = folder.compare(0, c.verified.size(), c.verified) == 0 &&
                          (folder.size() == c.verified.size() || is_sep(folder[c.verified.size()]))
                      ? c.verified.size() + 1
                      : 1;
    for (size_t i = from; i <= folder.size(); i++) {
        if ((i < folder.size() && !is_sep(folder[i])) || is_sep(folder[i - 1])) continue;
        std::string rel(folder, 0, i);
        target_path level(c.target, rel);
        if (!level.ok) return false;
        int kind = os_file_kind(level.text);
        if (kind == OS_KIND_FOLDER) continue;
        if (kind == OS_KIND_LINK) return star_fail(STAR_ERR_NAME), false;
        if (kind != OS_KIND_NONE) return star_fail(STAR_ERR_WRITE), false;
        if (!record(c, "d " + rel, !planning)) return false;
        if (planning) c.folders.push_back(rel);
        else if (os_mkdir(level.text) != 0) return star_fail(STAR_ERR_WRITE), false;
    }
    c.verified = folder;
    return true;
}

// The line of the file that stands at path, which is to be moved aside as the next number: under
// the name it has now, which the entry may spell otherwise, for it to be put back under.
bool record_move(change &c, const char *name, const char *path, bool flush) {
    char stored[kPathSize];
    if (!os_stored_name(path, stored, sizeof stored)) return star_fail(STAR_ERR_WRITE), false;
    std::string folder = folder_of(name);
    std::string own = folder.empty() ? stored : folder + name[folder.size()] + stored;
    return record(c, "f " + std::to_string(++c.numbered) + " " + own, flush);
}

// Plans the entry name at path: its missing folders, and its file's step (moved aside, or nothing
// there), recorded in lines that go to the disk with the rest of the plan.
bool plan_entry(change &c, const char *name, const char *path) {
    if (!look_at_levels(c, name, true)) return false;
    int kind = os_file_kind(path);
    // A folder where the new version has a file is a failure, as it always was: a rename never
    // moves a folder.
    if (kind != OS_KIND_NONE && kind != OS_KIND_FILE && kind != OS_KIND_LINK) return star_fail(STAR_ERR_WRITE), false;
    if (kind == OS_KIND_NONE ? !record(c, std::string("n ") + name, false) : !record_move(c, name, path, false))
        return false;
    c.planned.push_back(name);
    c.planned_aside.push_back(kind == OS_KIND_NONE ? 0 : c.numbered);
    return true;
}

// Makes room for the entry at path: the file there moved aside as planned (planned: its number,
// 0 for nothing there, -1 for an entry the plan did not see). Where the target is no longer as
// planned (a name written twice, a file come or gone meanwhile) the step it takes now is recorded,
// and on the disk, first.
bool make_room(change &c, const char *name, const char *path, long planned) {
    int kind = os_file_kind(path);
    if (kind == OS_KIND_NONE) return planned == 0 || record(c, std::string("n ") + name);
    if (kind != OS_KIND_FILE && kind != OS_KIND_LINK) return star_fail(STAR_ERR_WRITE), false;
    if (planned <= 0 && !record_move(c, name, path, true)) return false;
    unsigned index = planned > 0 ? unsigned(planned) : c.numbered;
    target_path aside(c.target, aside_name(index));
    if (!aside.ok) return false;
    if (os_file_in_use(path)) return star_fail(STAR_ERR_IN_USE), false;
    if (os_rename(path, aside.text) == 0) {
        c.moved.push_back(index);
        return true;
    }
    // Not moved: either it went meanwhile, or it cannot be moved (held, or a move that would leave
    // the volume).
    if (os_file_kind(path) != OS_KIND_NONE) return star_fail(STAR_ERR_WRITE), false;
    return record(c, std::string("n ") + name);
}

// Hands each line this run has written to its journal, from the first, to step: false when a
// line cannot be read back or step fails.
template <class Step> bool each_line_written(change &c, Step step) {
    char *text = nullptr;
    size_t len = 0;
    int got;
    read_from(reader, c.journal, c.size, 0);
    while ((got = next_line(reader, &text, &len)) == 1) {
        entry_line l;
        if (parse_line(text, len, l) && l.kind != 't' && !step(l)) return false;
    }
    return got == 0;
}

// Puts every new file's bytes on the disk, and the names of the folders that hold them and of
// what was moved aside, before the mark that the change is made: the files are written first and
// flushed together, the journal naming them; the write-out of all of them is started before the
// first flush waits.
bool flush_new_files(change &c) {
    auto start_write_out = [&](const entry_line &l) {
        if (l.kind == 'd') return true;
        target_path path(c.target, l.name);
        if (path.ok) os_start_write_out(path.text);
        return true;
    };
    std::string last = "\n";
    auto flush = [&](const entry_line &l) {
        if (l.kind != 'd') {
            target_path path(c.target, l.name);
            if (!path.ok || os_fsync_path(path.text) != 0) return star_fail(STAR_ERR_WRITE), false;
        }
        return sync_folder(c, folder_of(l.name), last);
    };
    return each_line_written(c, start_write_out) && each_line_written(c, flush) &&
           sync_folder(c, ZORV_ASIDE_FOLDER, last) && os_fseek(c.journal, long(c.size)) == 0;
}

// The end of a change whose entries are all written.
int finish(change &c) {
    if (!flush_new_files(c)) return abandon(c);
    if (!record(c, "c")) {
        // The mark may have reached the journal all the same (a flush that failed can still
        // succeed at the close), and the journal is what a later run believes: it decides.
        star_result why = star_last_error();
        journal_facts facts;
        if (!check_journal(c, facts)) return abandon(c);
        if (!facts.finished) return star_fail(why), abandon(c);
    }
    // Done: what was moved aside goes, and then, once that is on the disk, the journal. A clean-up
    // cut short leaves the journal, finished, for the next run to complete; the installation
    // stands either way.
    bool clean = true;
    for (unsigned i : c.moved) {
        target_path moved(c.target, aside_name(i));
        if (os_remove(moved.text) != 0) clean = false;
    }
    std::string last = "\n";
    if (clean && sync_folder(c, ZORV_ASIDE_FOLDER, last)) {
        release(c, false);
    } else {
        os_fclose(c.journal);
        c.journal = nullptr;
    }
    return 0;
}

}  // namespace

int recover_target(const char *target) {
    change &c = the_change;
    if (!take(c, target, false)) return -1;
    if (c.journal) release(c, true);
    return 0;
}

int install_archive(os_file *archive, const char *target, unsigned long long needed) {
    change &c = the_change;
    if (!take(c, target, true)) return -1;
    // The new files take about what the archive holds, while the earlier ones stay aside: a disk
    // without that room fails now, not half way. A disk whose room cannot be told is tried.
    unsigned long long room = 0;
    if (os_free_space(c.target ? c.target : ".", &room) == 0 && room < needed + kRoomMargin)
        return star_fail(STAR_ERR_NO_ROOM), abandon(c);
    char path[kPathSize];
    // The plan: every entry looked at and every step recorded, then the journal put on the disk at
    // once before the first step. Flushed a line at a time, the journal would have the file system
    // commit its own journal between every two files, and every creation wait for it.
    while (const char *name = star_next_entry(archive)) {
        if (!acceptable_name(c, name)) return star_fail(STAR_ERR_NAME), abandon(c);
        if (!star_join_path(path, sizeof path, target, name)) return star_fail(STAR_ERR_TOO_LONG), abandon(c);
        if (!plan_entry(c, name, path)) return abandon(c);
    }
    // A read that fails between entries looks like the end of the archive to the header read;
    // only the stream's error flag tells the two apart.
    if (os_ferror(archive)) return abandon(c);
    if (os_fsync(c.journal) != 0) return star_fail(STAR_ERR_WRITE), abandon(c);
    // An archive that names a folder again later plans it twice.
    for (const std::string &folder : c.folders) {
        target_path level(c.target, folder);
        if (!level.ok || (os_mkdir(level.text) != 0 && os_file_kind(level.text) != OS_KIND_FOLDER))
            return star_fail(STAR_ERR_WRITE), abandon(c);
    }
    if (os_fseek(archive, 0) != 0) return star_fail(STAR_ERR_READ), abandon(c);
    // The steps, entry by entry as the plan has them.
    star_skip_to_boundary(archive);
    for (size_t k = 0;; k++) {
        const char *name = star_read_header(archive);
        if (!name) {
            if (os_ferror(archive)) return abandon(c);
            break;
        }
        bool as_planned = k < c.planned.size() && c.planned[k] == name;
        if (!as_planned && !acceptable_name(c, name)) return star_fail(STAR_ERR_NAME), abandon(c);
        if (!star_join_path(path, sizeof path, target, name)) return star_fail(STAR_ERR_TOO_LONG), abandon(c);
        if (!as_planned && !look_at_levels(c, name, false)) return abandon(c);
        if (!make_room(c, name, path, as_planned ? long(c.planned_aside[k]) : -1) ||
            star_write_file(archive, path) != 0)
            return abandon(c);
    }
    return finish(c);
}
