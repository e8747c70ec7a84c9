// One extraction as one change of the target: the journal, moving aside, putting back, clean-up.
#include "transaction.h"

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

#include "star.h"

namespace {

const size_t kPathSize = 5000;
const char kJournal[] = ZORV_ASIDE_FOLDER "\\journal";

bool is_sep(char c) { return c == '/' || c == '\\'; }

// A path inside the target, as the extraction joins it; a path that does not fit fails.
struct target_path {
    char text[kPathSize];
    bool ok;
    target_path(const char *target, const std::string &rel) : ok(star_join_path(text, sizeof text, target, rel.c_str())) {
        if (!ok) star_fail(STAR_ERR_TOO_LONG);
    }
};

std::string aside_name(unsigned index) { return ZORV_ASIDE_FOLDER "\\" + std::to_string(index); }

// Whether an entry's first level is the folder of the change itself (in any case, as Windows
// compares names): writing there would mix the new files with the journal.
bool names_aside_folder(const char *name) {
    size_t n = sizeof ZORV_ASIDE_FOLDER - 1;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)name[i]) != ZORV_ASIDE_FOLDER[i]) return false;
    return name[n] == '\0' || is_sep(name[n]);
}

struct change {
    const char *target;
    os_file *journal;
    unsigned numbered;            // numbers handed out to files that may be moved aside
    std::vector<unsigned> moved;  // the numbers of the files that were
};

int settle(const char *target, bool *finished);

// Writes one line to the journal and hands it to the system before the step it announces is
// taken: a run killed after it finds the line, a run killed before it finds nothing to undo.
bool record(change &c, const std::string &line) {
    std::string text = line + "\n";
    if (os_fwrite(text.data(), text.size(), c.journal) == text.size() && os_fflush(c.journal) == 0) return true;
    star_fail(STAR_ERR_WRITE);
    return false;
}

// A failure after the change began: everything is put back, the failure's cause kept.
int abandon(change &c) {
    star_result why = star_last_error();
    os_fclose(c.journal);
    settle(c.target, nullptr);
    return star_fail(why);
}

// Removes the levels of the target's own path that a run made, deepest first.
void remove_levels(const std::vector<std::string> &made) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) os_rmdir(it->c_str());
}

// Starts the change: the target's missing levels made, the folder for what is moved aside, and
// the journal, which records the levels first.
bool begin(change &c) {
    target_path aside(c.target, ZORV_ASIDE_FOLDER), journal(c.target, kJournal);
    if (!aside.ok || !journal.ok) return false;
    // Installing into a folder that is not there yet makes it, and each missing level above it.
    std::string t = c.target ? c.target : "";
    while (!t.empty() && is_sep(t.back())) t.pop_back();
    std::vector<std::string> made;
    for (size_t i = 1; i <= t.size(); i++) {
        if ((i < t.size() && !is_sep(t[i])) || is_sep(t[i - 1])) continue;
        std::string level = t.substr(0, i);
        // Below a level that was missing, every level is; a level whose kind cannot be told (a
        // drive, a share) is taken to be there.
        if (made.empty() && os_file_kind(level.c_str()) != OS_KIND_NONE) continue;
        if (os_mkdir(level.c_str()) != 0) {
            remove_levels(made);
            return star_fail(STAR_ERR_WRITE), false;
        }
        made.push_back(level);
    }
    if (os_mkdir(aside.text) != 0) {
        remove_levels(made);
        return star_fail(STAR_ERR_WRITE), false;
    }
    c.journal = os_fopen(journal.text, "wb");
    if (!c.journal) {
        os_rmdir(aside.text);
        remove_levels(made);
        return star_fail(STAR_ERR_WRITE), false;
    }
    for (const std::string &level : made)
        if (!record(c, "t " + level)) return abandon(c), false;
    return true;
}

// Makes room for the entry name at path: its missing folders made, and the file that is there
// already moved aside. Each step is recorded before it is taken, but a folder, which is recorded
// once it is made, so that a folder that was there is never taken for one the run made.
bool make_room(change &c, const char *name, const char *path) {
    for (size_t i = 1; name[i]; i++) {
        if (!is_sep(name[i]) || is_sep(name[i - 1])) continue;
        std::string rel(name, i);
        target_path level(c.target, rel);
        if (!level.ok) return false;
        int kind = os_file_kind(level.text);
        if (kind == OS_KIND_FOLDER) continue;
        if (kind != OS_KIND_NONE || os_mkdir(level.text) != 0) return star_fail(STAR_ERR_WRITE), false;
        if (!record(c, "d " + rel)) {
            os_rmdir(level.text);
            return false;
        }
    }
    unsigned index = ++c.numbered;
    target_path aside(c.target, aside_name(index));
    if (!aside.ok || !record(c, "f " + std::to_string(index) + " " + name)) return false;
    if (os_file_in_use(path)) return star_fail(STAR_ERR_IN_USE), false;
    if (os_rename(path, aside.text) == 0) {
        c.moved.push_back(index);
        return true;
    }
    // Not moved: either there was nothing to move, or it cannot be moved (held, or a folder, which
    // a rename never moves: a folder where the new version has a file is a failure, as it always was).
    if (os_file_kind(path) != OS_KIND_NONE) return star_fail(STAR_ERR_WRITE), false;
    return record(c, std::string("n ") + name);
}

// The journal's complete lines. A last line cut short announced a step that was never taken, but
// for the mark of a finished run, which is whole as soon as its one character is there.
bool read_journal(const char *path, std::vector<std::string> &lines) {
    os_file *f = os_fopen(path, "rb");
    if (!f) return star_fail(STAR_ERR_READ), false;
    std::string text;
    char buffer[4096];
    while (size_t n = os_fread(buffer, sizeof buffer, f)) text.append(buffer, n);
    bool ok = !os_ferror(f);
    os_fclose(f);
    if (!ok) return star_fail(STAR_ERR_READ), false;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            if (text.compare(at, std::string::npos, "c") == 0) lines.push_back("c");
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return true;
}

// Puts one moved-aside file back in place of whatever the run wrote there.
bool put_back(const char *target, const std::string &index, const std::string &name) {
    target_path aside(target, ZORV_ASIDE_FOLDER "\\" + index), path(target, name);
    if (!aside.ok || !path.ok) return false;
    int kind = os_file_kind(aside.text);
    if (kind == OS_KIND_NONE) return true;  // the run was stopped before it moved the file
    if (kind != OS_KIND_FILE) return star_fail(STAR_ERR_WRITE), false;
    int now = os_file_kind(path.text);
    if (now == OS_KIND_FILE && os_remove(path.text) != 0) return star_fail(STAR_ERR_WRITE), false;
    if (now != OS_KIND_FILE && now != OS_KIND_NONE) return star_fail(STAR_ERR_WRITE), false;
    return os_rename(aside.text, path.text) == 0 || (star_fail(STAR_ERR_WRITE), false);
}

}  // namespace

int recover_target(const char *target) { return settle(target && *target ? target : nullptr, nullptr); }

namespace {

// Finishes the change the journal in target records, and tells whether it had been finished.
int settle(const char *target, bool *finished_out) {
    target_path aside(target, ZORV_ASIDE_FOLDER), journal(target, kJournal);
    if (!aside.ok || !journal.ok) return -1;
    int kind = os_file_kind(aside.text);
    if (kind == OS_KIND_NONE) return 0;
    if (kind != OS_KIND_FOLDER) return star_fail(STAR_ERR_WRITE);
    kind = os_file_kind(journal.text);
    // Stopped before its journal was made: nothing was moved yet.
    if (kind == OS_KIND_NONE) return os_rmdir(aside.text) == 0 ? 0 : star_fail(STAR_ERR_WRITE);
    std::vector<std::string> lines;
    if (kind != OS_KIND_FILE || !read_journal(journal.text, lines)) return star_fail(STAR_ERR_READ);

    bool finished = false;
    for (const std::string &line : lines) finished = finished || line == "c";
    if (finished_out) *finished_out = finished;
    std::vector<std::string> made;
    if (finished) {
        // The new files are all in place: what was moved aside is deleted.
        for (const std::string &line : lines) {
            if (line.compare(0, 2, "f ") != 0) continue;
            target_path moved(target, ZORV_ASIDE_FOLDER "\\" + line.substr(2, line.find(' ', 2) - 2));
            if (!moved.ok) return -1;
            int kind = os_file_kind(moved.text);
            if (kind == OS_KIND_FILE && os_remove(moved.text) != 0) return star_fail(STAR_ERR_WRITE);
            if (kind != OS_KIND_FILE && kind != OS_KIND_NONE) return star_fail(STAR_ERR_WRITE);
        }
    } else {
        // Undone in the opposite order, so that a name written twice gets back what it held first.
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            const std::string &line = *it;
            std::string rest = line.size() > 2 ? line.substr(2) : "";
            if (line.compare(0, 2, "f ") == 0) {
                size_t space = rest.find(' ');
                if (space == std::string::npos) continue;
                if (!put_back(target, rest.substr(0, space), rest.substr(space + 1))) return -1;
            } else if (line.compare(0, 2, "n ") == 0) {
                target_path path(target, rest);
                if (!path.ok) return -1;
                int now = os_file_kind(path.text);
                if (now == OS_KIND_FILE && os_remove(path.text) != 0) return star_fail(STAR_ERR_WRITE);
                if (now != OS_KIND_FILE && now != OS_KIND_NONE) return star_fail(STAR_ERR_WRITE);
            } else if (line.compare(0, 2, "d ") == 0) {
                target_path path(target, rest);
                if (path.ok) os_rmdir(path.text);  // a folder someone filled since is kept
            } else if (line.compare(0, 2, "t ") == 0) {
                made.insert(made.begin(), rest);
            }
        }
    }
    if (os_remove(journal.text) != 0 || os_rmdir(aside.text) != 0) return star_fail(STAR_ERR_WRITE);
    remove_levels(made);
    return 0;
}

}  // namespace

int install_archive(os_file *archive, const char *target) {
    if (target && !*target) target = nullptr;
    change c = {target, nullptr, 0, {}};
    if (!begin(c)) return -1;
    char path[kPathSize];
    star_skip_to_boundary(archive);
    for (;;) {
        const char *name = star_read_header(archive);
        if (!name) {
            // A read that fails between entries looks like the end of the archive to the header
            // read; only the stream's error flag tells the two apart.
            if (os_ferror(archive)) return abandon(c);
            break;
        }
        // A name must be a file's: not empty, not ending in a separator.
        size_t n = strlen(name);
        if (n == 0 || is_sep(name[n - 1]) || !star_name_is_safe(name) || names_aside_folder(name)) {
            star_fail(STAR_ERR_NAME);
            return abandon(c);
        }
        if (!star_join_path(path, sizeof path, target, name)) {
            star_fail(STAR_ERR_TOO_LONG);
            return abandon(c);
        }
        if (!make_room(c, name, path) || star_write_entry(archive, path) != 0) return abandon(c);
    }
    if (!record(c, "c")) {
        // The mark may have reached the journal all the same (a flush that failed can still
        // succeed at the close), and the journal is what a later run believes: it decides.
        star_result why = star_last_error();
        os_fclose(c.journal);
        bool finished = false;
        settle(target, &finished);
        return finished ? 0 : star_fail(why);
    }

    // Done: what was moved aside goes. A clean-up cut short leaves the journal, finished, for the
    // next run to complete; the installation stands either way.
    bool clean = true;
    for (unsigned i : c.moved) {
        target_path moved(target, aside_name(i));
        if (os_remove(moved.text) != 0) clean = false;
    }
    os_fclose(c.journal);
    target_path aside(target, ZORV_ASIDE_FOLDER), journal(target, kJournal);
    if (clean && os_remove(journal.text) == 0) os_rmdir(aside.text);
    return 0;
}
