// The recovery of a change: undone last step first, or finished, through the target's held levels.
//
// Whatever the journal says is done through the levels of the target as they stand when each step
// is taken, opened from the target without a link (star_walk.h): a level swapped for a link
// between the check and the step stops the recovery, and the journal stays for a later run. A
// step that finds nothing to do (the run was stopped before it) passes; each can be taken again
// after a cut, so a recovery stopped half way is finished the same way by the next run.
#include <string.h>

#include "change.h"
#include "star.h"

namespace {

// The folder that holds name and name's last level there; false with nothing held when a level
// is missing (*missing true) or stands in the way.
bool reach(change &c, const char *name, os_dir **folder, const char **leaf, bool *missing) {
    size_t end;
    star_result r = star_walk_to(&c.walk, name, folder, leaf, &end);
    *missing = r == STAR_ERR_NOT_FOUND;
    if (r != STAR_OK && !*missing) star_fail(r == STAR_ERR_NAME ? STAR_ERR_NAME : STAR_ERR_WRITE);
    return r == STAR_OK;
}

// Deletes what stands at name, if it is a file or a link: one the run wrote, or moved aside. A
// folder is nobody's file to delete: it stays.
bool remove_if_there(os_dir *folder, const char *leaf) {
    int kind = os_kind_at(folder, leaf);
    if (kind == OS_KIND_NONE || kind == OS_KIND_FOLDER) return true;
    return (kind != -1 && os_remove_at(folder, leaf) == 0) || (star_fail(STAR_ERR_WRITE), false);
}

// Puts one moved-aside file back, under its own name, in place of whatever the run wrote there.
bool put_back(change &c, unsigned number, const char *name, synced_folder &synced) {
    char moved[16];
    aside_name(number, moved);
    int kind = os_kind_at(c.aside, moved);
    if (kind == OS_KIND_NONE) return true;  // the run was stopped before it moved the file
    if (kind != OS_KIND_FILE && kind != OS_KIND_LINK) return star_fail(STAR_ERR_WRITE), false;
    os_dir *folder;
    const char *leaf;
    bool missing;
    if (!reach(c, name, &folder, &leaf, &missing)) return missing ? (star_fail(STAR_ERR_WRITE), false) : false;
    int now = os_kind_at(folder, leaf);
    if (now == OS_KIND_FOLDER || now < 0) return star_fail(STAR_ERR_WRITE), false;
    if (now != OS_KIND_NONE && os_remove_at(folder, leaf) != 0) return star_fail(STAR_ERR_WRITE), false;
    if (os_rename_at(c.aside, moved, folder, leaf) != 0) return star_fail(STAR_ERR_WRITE), false;
    return sync_once(synced, folder, name, leaf);
}

// Undoes this change's lines, or an unfinished earlier run's, last step first, so that a name
// written twice gets back what it held first.
bool undo(change &c) {
    size_t at = c.lines.count;
    journal_line l;
    synced_folder synced = {};
    while (journal_previous(c, &at, l)) {
        os_dir *folder;
        const char *leaf;
        bool missing;
        if (l.kind == 'f') {
            if (!put_back(c, l.number, l.name, synced)) return false;
        } else if (l.kind == 'n') {
            // Below a level that is not there, nothing of the run's is there either.
            if (!reach(c, l.name, &folder, &leaf, &missing) ? !missing : !remove_if_there(folder, leaf)) return false;
        } else if (l.kind == 'd') {
            // A folder someone filled since is kept.
            if (reach(c, l.name, &folder, &leaf, &missing)) os_rmdir_at(folder, leaf);
            else if (!missing) return false;
        }
    }
    // The walk holds no level that a later step may remove.
    star_walk_stop(&c.walk);
    return true;
}

// Deletes what a finished change moved aside.
bool delete_moved(change &c, unsigned files) {
    for (unsigned i = 1; i <= files; i++) {
        char moved[16];
        aside_name(i, moved);
        if (!remove_if_there(c.aside, moved)) return false;
    }
    return true;
}

}  // namespace

bool settle(change &c) {
    journal_facts facts;
    if (!journal_read(c, facts)) return false;
    if (c.lines.count == 0) return true;
    bool done = facts.finished ? delete_moved(c, facts.files) : undo(c);
    // The steps are on the disk before the journal that announced them goes.
    return done && sync_folder(c.aside) && journal_empty(c);
}

int abandon(change &c) {
    star_result why = star_last_error();
    if (undo(c) && sync_folder(c.aside) && journal_empty(c)) release(c, true);
    else let_go(c);
    return star_fail(why);
}
