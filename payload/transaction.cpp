// One extraction as one change of the target: taking it, the plan, the steps, the flushes, the end.
#include "transaction.h"

#include <string.h>

#include "change.h"
#include "star.h"

namespace {

// What the journal and the folders of a change take on the disk, besides the new files (whose
// framing in the archive already counts for their journal lines).
const unsigned long long kRoomMargin = 32 << 10;

// ---- Taking the target ----

// The change's folder and its journal are named on the disk before the first step counts on
// them, and so are the levels of the target's path that this run made.
star_result name_on_disk(change &c) {
    const star_destination &t = c.target;
    for (unsigned i = 0; i < t.made_count; i++)
        if (sync_folder(i ? t.made[i - 1] : t.base) != STAR_OK) return STAR_ERR_WRITE;
    return sync_folder(t.dir) == STAR_OK ? sync_folder(c.aside) : STAR_ERR_WRITE;
}

// Takes the target for this run: its missing levels made (with create), the change's folder, and
// the journal held; then what an earlier run left finished. Otherwise the cause, with nothing
// changed, when the target cannot be taken or what it holds cannot be finished (the journal then
// stays as it was). Without create, a target without the change's folder holds nothing to finish:
// STAR_OK, with no journal held.
star_result take(change &c, const char *target, bool create) {
    star_result r = star_open_destination(&c.target, target, create);
    if (r != STAR_OK) return create ? r : STAR_OK;
    int kind = os_kind_at(c.target.dir, ZORV_ASIDE_FOLDER);
    if (kind == OS_KIND_NONE && !create) return STAR_OK;
    bool fresh = kind == OS_KIND_NONE && os_mkdir_at(c.target.dir, ZORV_ASIDE_FOLDER) == 0;
    int held = 0;
    if (fresh || kind == OS_KIND_FOLDER) c.aside = os_open_dir_at(c.target.dir, ZORV_ASIDE_FOLDER, &kind);
    if (c.aside) c.journal = os_hold_at(c.aside, ZORV_JOURNAL_NAME, 0, &held);
    if (!c.journal) {
        os_close_dir(c.aside);
        c.aside = nullptr;
        if (fresh) os_rmdir_at(c.target.dir, ZORV_ASIDE_FOLDER);
        star_close_destination(&c.target, 1);
        return held ? STAR_ERR_IN_USE : STAR_ERR_WRITE;
    }
    star_walk_start(&c.walk, c.target.dir, c.aside);
    // A journal just made holds nothing to finish.
    r = name_on_disk(c);
    if (r == STAR_OK && !fresh) r = settle(c);
    if (r == STAR_OK) return STAR_OK;
    // A journal of an earlier run stays as it was: only the run that finishes it may let it go.
    // One that holds nothing goes with the change's folder, as a run cut off before its journal
    // began leaves them.
    if (fresh || os_file_size(c.journal) == 0) release(c, true);
    else let_go(c);
    return r;
}

// ---- The plan ----

// The line of the file that stands at leaf, the last level of name inside folder, which is to be
// moved aside as the next number: under the name it has now, which the entry may spell otherwise,
// for it to be put back under.
star_result record_move(change &c, const char *name, os_dir *folder, const char *leaf, bool flush) {
    char own[kStarPathSize], stored[kStarPathSize];
    size_t above = size_t(leaf - name);
    if (!os_stored_name_at(folder, leaf, stored, sizeof stored) || above + strlen(stored) >= sizeof own)
        return STAR_ERR_WRITE;
    memcpy(own, name, above);
    strcpy(own + above, stored);
    return journal_record(c, 'f', ++c.numbered, own, flush);
}

// Whether the folder name[0, end) is the last one planned or lies above it: planned already.
bool planned_already(const change &c, const char *name, size_t end, size_t last) {
    if (c.folders.count == 0) return false;
    const char *planned = c.folders.items + last;
    return strncmp(planned, name, end) == 0 && (planned[end] == '\0' || star_is_separator(planned[end]));
}

// Records the folders of name from the missing one that ends at missing down to the last, to be
// made with the plan's others.
star_result plan_folders(change &c, const char *name, size_t missing, size_t &last) {
    size_t at = 0, start, end, next_start, next_end;
    while (star_next_level(name, &at, &start, &end) && end < missing) {}
    for (;;) {
        size_t after = at;
        // The last level is the entry's own.
        if (!star_next_level(name, &after, &next_start, &next_end)) return STAR_OK;
        if (!planned_already(c, name, end, last)) {
            char folder[kStarPathSize];
            memcpy(folder, name, end);
            folder[end] = '\0';
            last = c.folders.count;
            star_result r = journal_record(c, 'd', 0, folder, false);
            if (r != STAR_OK) return r;
            if (!c.folders.add(folder, end + 1)) return STAR_ERR_NO_MEMORY;
        }
        at = after, start = next_start, end = next_end;
    }
}

// Plans the entry name: its missing folders, and its file's step (moved aside, or nothing there),
// recorded in lines that go to the disk with the rest of the plan.
star_result plan_entry(change &c, const char *name, size_t &last_folder) {
    os_dir *folder = nullptr;
    const char *leaf = nullptr;
    size_t missing = 0;
    // Below a folder the plan is to make, nothing is there yet: there is nothing to look at.
    if (c.folders.count > 0) {
        const char *planned = c.folders.items + last_folder;
        size_t n = strlen(planned);
        if (strncmp(name, planned, n) == 0 && star_is_separator(name[n])) missing = n;
    }
    star_result r = missing ? STAR_ERR_NOT_FOUND : star_walk_to(&c.walk, name, &folder, &leaf, &missing);
    int kind = OS_KIND_NONE;
    if (r == STAR_ERR_NOT_FOUND) r = plan_folders(c, name, missing, last_folder);
    else if (r == STAR_OK) kind = os_kind_at(folder, leaf);
    if (r != STAR_OK) return r;
    // A folder where the new version has a file is a failure, as it always was: a rename never
    // moves a folder.
    if (kind != OS_KIND_NONE && kind != OS_KIND_FILE && kind != OS_KIND_LINK) return STAR_ERR_WRITE;
    r = kind == OS_KIND_NONE ? journal_record(c, 'n', 0, name, false) : record_move(c, name, folder, leaf, false);
    if (r != STAR_OK) return r;
    planned_entry e = {c.names.count, kind == OS_KIND_NONE ? 0 : c.numbered};
    return c.names.add(name, strlen(name) + 1) && c.planned.add(e) ? STAR_OK : STAR_ERR_NO_MEMORY;
}

int compare_keys(const void *a, const void *b) {
    return strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

// Whether every planned name can stand beside the others: none is a file where another makes a
// folder ("x/y", then "x"), as the target's file system compares names ("X/y" and "x" too on
// Windows). Found only half way, the change could be neither made nor undone whole.
star_result names_can_coexist(const change &c) {
    if (c.planned.count == 0) return STAR_OK;
    list<char> keys;
    list<const char *> sorted;
    if (!keys.reserve(c.names.count + 1) || !sorted.reserve(c.planned.count)) return STAR_ERR_NO_MEMORY;
    for (size_t i = 0; i < c.planned.count; i++) {
        const char *name = c.names.items + c.planned[i].name;
        size_t at = 0, start, end, from = keys.count;
        while (star_next_level(name, &at, &start, &end)) {
            if (keys.count > from) keys.add('/');
            keys.add(name + start, end - start);
        }
        keys.add('\0');
        os_fold_case(keys.items + from);
    }
    for (size_t at = 0; at < keys.count; at += strlen(keys.items + at) + 1) sorted.add(keys.items + at);
    qsort(sorted.items, sorted.count, sizeof(const char *), compare_keys);
    char above[kStarPathSize];
    for (size_t i = 0; i < sorted.count; i++)
        for (const char *slash = strchr(sorted[i], '/'); slash; slash = strchr(slash + 1, '/')) {
            size_t n = size_t(slash - sorted[i]);
            memcpy(above, sorted[i], n);
            above[n] = '\0';
            const char *key = above;
            if (bsearch(&key, sorted.items, sorted.count, sizeof(const char *), compare_keys)) return STAR_ERR_NAME;
        }
    return STAR_OK;
}

// Makes the plan's folders, outermost first. An archive that names a folder again later plans it
// twice.
star_result make_planned_folders(change &c) {
    for (size_t at = 0; at < c.folders.count; at += strlen(c.folders.items + at) + 1) {
        const char *name = c.folders.items + at;
        os_dir *folder;
        const char *leaf;
        size_t missing;
        star_result r = star_walk_to(&c.walk, name, &folder, &leaf, &missing);
        if (r != STAR_OK) return r == STAR_ERR_NAME ? r : STAR_ERR_WRITE;
        if (os_mkdir_at(folder, leaf) != 0 && os_kind_at(folder, leaf) != OS_KIND_FOLDER) return STAR_ERR_WRITE;
    }
    return STAR_OK;
}

// ---- The steps ----

// Reaches the folder of an entry the plan did not see: each missing level recorded, and on the
// disk, before it is made.
star_result reach_unplanned(change &c, const char *name, os_dir **folder, const char **leaf) {
    size_t missing;
    star_result r;
    while ((r = star_walk_to(&c.walk, name, folder, leaf, &missing)) == STAR_ERR_NOT_FOUND) {
        char level[kStarPathSize];
        memcpy(level, name, missing);
        level[missing] = '\0';
        if ((r = journal_record(c, 'd', 0, level, true)) != STAR_OK || (r = star_walk_make(&c.walk, name)) != STAR_OK)
            break;
    }
    return r;
}

// Makes room for the entry at leaf inside folder: the file there moved aside as planned (planned:
// its number, 0 for nothing there, -1 for an entry the plan did not see). Where the target is no
// longer as planned (a name written twice, a file come or gone meanwhile) the step it takes now is
// recorded, and on the disk, first.
star_result make_room(change &c, const char *name, os_dir *folder, const char *leaf, long planned) {
    int kind = os_kind_at(folder, leaf);
    if (kind == OS_KIND_NONE) return planned == 0 ? STAR_OK : journal_record(c, 'n', 0, name, true);
    if (kind != OS_KIND_FILE && kind != OS_KIND_LINK) return STAR_ERR_WRITE;
    star_result r = planned > 0 ? STAR_OK : record_move(c, name, folder, leaf, true);
    if (r != STAR_OK) return r;
    unsigned number = planned > 0 ? unsigned(planned) : c.numbered;
    if (os_in_use_at(folder, leaf)) return STAR_ERR_IN_USE;
    char moved[16];
    aside_name(number, moved);
    if (os_rename_at(folder, leaf, c.aside, moved) == 0) return c.moved.add(number) ? STAR_OK : STAR_ERR_NO_MEMORY;
    // Not moved: either it went meanwhile, or it cannot be moved (held, or a move that would leave
    // the volume).
    if (os_kind_at(folder, leaf) != OS_KIND_NONE) return STAR_ERR_WRITE;
    return journal_record(c, 'n', 0, name, true);
}

// ---- The end ----

// Puts every new file's bytes on the disk, and the names of the folders that hold them and of
// what was moved aside, before the mark that the change is made. Each file's write-out began as
// it was written; the flushes come in that same order, so that each mostly finds its file there.
star_result flush_new_files(change &c) {
    journal_line l;
    os_dir *folder;
    const char *leaf;
    size_t missing;
    synced_folder synced = {};
    for (size_t at = 0; journal_next(c, &at, l);) {
        if (l.kind != 'n' && l.kind != 'f' && l.kind != 'd') continue;
        if (star_walk_to(&c.walk, l.name, &folder, &leaf, &missing) != STAR_OK) return STAR_ERR_WRITE;
        if (l.kind != 'd' && os_fsync_at(folder, leaf) != 0) return STAR_ERR_WRITE;
        star_result r = sync_once(synced, folder, l.name, leaf);
        if (r != STAR_OK) return r;
    }
    return sync_folder(c.aside);
}

// The end of a change whose entries are all written.
star_result finish(change &c) {
    star_result r = flush_new_files(c);
    if (r != STAR_OK) return abandon(c, r);
    // The mark may reach the journal although writing it failed (a flush that failed can still
    // succeed at the close), and the journal is what a later run believes: it decides.
    r = journal_record(c, 'c', 0, nullptr, true);
    if (r != STAR_OK && !journal_marked_on_disk(c)) return abandon(c, r);
    // Done: what was moved aside goes, and then, once that is on the disk, the journal. A clean-up
    // cut short leaves the journal, finished, for the next run to complete; the installation
    // stands either way.
    bool clean = true;
    for (size_t i = 0; i < c.moved.count; i++) {
        char moved[16];
        aside_name(c.moved[i], moved);
        if (os_remove_at(c.aside, moved) != 0) clean = false;
    }
    if (clean && sync_folder(c.aside) == STAR_OK) release(c, false);
    else let_go(c);
    return STAR_OK;
}

// A name the change may write, whose joined path fits.
star_result check_name(const char *name, size_t target_len) {
    if (!journal_name_is_acceptable(name)) return STAR_ERR_NAME;
    return target_len + 1 + strlen(name) < kStarPathSize ? STAR_OK : STAR_ERR_TOO_LONG;
}

// The plan: every entry looked at and every step recorded, then the journal put on the disk at
// once before the first step, and the plan's folders made. Flushed a line at a time, the journal
// would have the file system commit its own journal between every two files, and every creation
// wait for it.
star_result plan(change &c, os_file *archive, size_t target_len) {
    size_t last_folder = 0;
    star_result r = STAR_OK;
    while (const char *name = star_next_entry(archive)) {
        if ((r = check_name(name, target_len)) != STAR_OK || (r = plan_entry(c, name, last_folder)) != STAR_OK)
            return r;
    }
    // A read that fails between entries looks like the end of the archive to the header read;
    // only the stream's error flag tells the two apart.
    if (os_ferror(archive)) return STAR_ERR_READ;
    if ((r = names_can_coexist(c)) != STAR_OK) return r;
    if (os_fsync(c.journal) != 0) return STAR_ERR_WRITE;
    return make_planned_folders(c);
}

// The steps, entry by entry as the plan has them.
star_result take_steps(change &c, os_file *archive, size_t target_len) {
    if (os_fseek(archive, 0) != 0) return STAR_ERR_READ;
    star_skip_to_boundary(archive);
    for (size_t k = 0;; k++) {
        const char *name = star_read_header(archive);
        if (!name) return os_ferror(archive) ? STAR_ERR_READ : STAR_OK;
        bool as_planned = k < c.planned.count && strcmp(c.names.items + c.planned[k].name, name) == 0;
        star_result r = as_planned ? STAR_OK : check_name(name, target_len);
        os_dir *folder;
        const char *leaf;
        size_t missing;
        if (r == STAR_OK && as_planned) {
            r = star_walk_to(&c.walk, name, &folder, &leaf, &missing);
            if (r != STAR_OK && r != STAR_ERR_NAME) r = STAR_ERR_WRITE;
        } else if (r == STAR_OK) {
            r = reach_unplanned(c, name, &folder, &leaf);
        }
        if (r != STAR_OK) return r;
        // Where the plan found nothing, the file is created without looking first: something there
        // now (the same name written twice, or a file come meanwhile) makes the creation fail, and
        // only then is it looked at, recorded and moved aside.
        long planned = as_planned ? long(c.planned[k].aside) : -1;
        os_file *out = planned == 0 ? os_create_at(folder, leaf) : nullptr;
        if (!out) {
            if ((r = make_room(c, name, folder, leaf, planned)) != STAR_OK) return r;
            if (!(out = os_create_at(folder, leaf))) return STAR_ERR_WRITE;
        }
        // Its way to the disk begins as it is closed, while the next files are written.
        if ((r = star_fill_new(archive, out, folder, leaf)) != STAR_OK) return r;
    }
}

}  // namespace

star_result recover_target(const char *target) {
    change c{};
    star_result r = take(c, target, false);
    if (r != STAR_OK) return r;
    if (c.journal) release(c, true);
    else star_close_destination(&c.target, 0);
    return STAR_OK;
}

star_result install_archive(os_file *archive, const char *target, unsigned long long needed) {
    change c{};
    star_result r = take(c, target, true);
    if (r != STAR_OK) return r;
    // The new files take about what the archive holds, while the earlier ones stay aside: a disk
    // without that room fails now, not half way. A disk whose room cannot be told is tried.
    unsigned long long room = 0;
    if (os_free_space(c.target.dir, &room) == 0 && room < needed + kRoomMargin) return abandon(c, STAR_ERR_NO_ROOM);
    size_t target_len = target ? strlen(target) : 0;
    r = plan(c, archive, target_len);
    if (r == STAR_OK) r = take_steps(c, archive, target_len);
    return r == STAR_OK ? finish(c) : abandon(c, r);
}
