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

// The folder that holds name, and name's last level there. STAR_ERR_NOT_FOUND when a level above
// it is missing (nothing below it is there either); STAR_ERR_NAME for a link on the way;
// STAR_ERR_WRITE for anything else in the way.
star_result reach(change &c, const char *name, os_dir **folder, const char **leaf) {
    size_t end;
    star_result r = star_walk_to(&c.walk, name, folder, leaf, &end);
    return r == STAR_OK || r == STAR_ERR_NOT_FOUND || r == STAR_ERR_NAME ? r : STAR_ERR_WRITE;
}

// Deletes what stands at leaf inside folder, if it is a file or a link: one the run wrote, or moved
// aside. A folder is nobody's file to delete: it stays.
star_result remove_if_there(os_dir *folder, const char *leaf) {
    int kind = os_kind_at(folder, leaf);
    if (kind == OS_KIND_NONE || kind == OS_KIND_FOLDER) return STAR_OK;
    return kind != -1 && os_remove_at(folder, leaf) == 0 ? STAR_OK : STAR_ERR_WRITE;
}

// Puts one moved-aside file back, under its own name, in place of whatever the run wrote there.
star_result put_back(change &c, unsigned number, const char *name, synced_folder &synced) {
    char moved[16];
    aside_name(number, moved);
    int kind = os_kind_at(c.aside, moved);
    if (kind == OS_KIND_NONE) return STAR_OK;  // the run was stopped before it moved the file
    if (kind != OS_KIND_FILE && kind != OS_KIND_LINK) return STAR_ERR_WRITE;
    os_dir *folder;
    const char *leaf;
    star_result r = reach(c, name, &folder, &leaf);
    if (r != STAR_OK) return r == STAR_ERR_NOT_FOUND ? STAR_ERR_WRITE : r;
    int now = os_kind_at(folder, leaf);
    if (now == OS_KIND_FOLDER || now < 0) return STAR_ERR_WRITE;
    if (now != OS_KIND_NONE && os_remove_at(folder, leaf) != 0) return STAR_ERR_WRITE;
    if (os_rename_at(c.aside, moved, folder, leaf) != 0) return STAR_ERR_WRITE;
    return sync_once(synced, folder, name, leaf);
}

// Undoes one line, of this change or of an unfinished earlier run's.
star_result undo_line(change &c, const journal_line &l, synced_folder &synced) {
    if (l.kind == 'f') return put_back(c, l.number, l.name, synced);
    if (l.kind != 'n' && l.kind != 'd') return STAR_OK;
    os_dir *folder;
    const char *leaf;
    star_result r = reach(c, l.name, &folder, &leaf);
    // Below a level that is not there, nothing of the run's is there either.
    if (r != STAR_OK) return r == STAR_ERR_NOT_FOUND ? STAR_OK : r;
    if (l.kind == 'n') return remove_if_there(folder, leaf);
    os_rmdir_at(folder, leaf);  // a folder someone filled since is kept
    return STAR_OK;
}

// Undoes the change's lines, last step first, so that a name written twice gets back what it held
// first.
star_result undo(change &c) {
    size_t at = c.lines.count;
    journal_line l;
    synced_folder synced = {};
    while (journal_previous(c, &at, l)) {
        star_result r = undo_line(c, l, synced);
        if (r != STAR_OK) return r;
    }
    // The walk holds no level that a later step may remove.
    star_walk_stop(&c.walk);
    return STAR_OK;
}

// Deletes what a finished change moved aside.
star_result delete_moved(change &c, unsigned files) {
    for (unsigned i = 1; i <= files; i++) {
        char moved[16];
        aside_name(i, moved);
        star_result r = remove_if_there(c.aside, moved);
        if (r != STAR_OK) return r;
    }
    return STAR_OK;
}

// Undoes the change, then lets the journal go: it holds nothing left to do.
star_result undo_and_empty(change &c) {
    star_result r = undo(c);
    if (r == STAR_OK) r = sync_folder(c.aside);
    return r == STAR_OK ? journal_empty(c) : r;
}

}  // namespace

star_result settle(change &c) {
    journal_facts facts;
    star_result r = journal_read(c, facts);
    if (r != STAR_OK || c.lines.count == 0) return r;
    if (!facts.finished) return undo_and_empty(c);
    // The steps are on the disk before the journal that announced them goes.
    r = delete_moved(c, facts.files);
    if (r == STAR_OK) r = sync_folder(c.aside);
    return r == STAR_OK ? journal_empty(c) : r;
}

star_result abandon(change &c, star_result why) {
    if (undo_and_empty(c) == STAR_OK) release(c, true);
    else let_go(c);
    return why;
}

void release(change &c, bool undone) {
    star_walk_stop(&c.walk);
    // The change's folder is let go before it is removed: Windows removes no folder that is held.
    bool gone = os_remove_held(c.journal, c.aside, ZORV_JOURNAL_NAME) == 0;
    os_close_dir(c.aside);
    c.journal = nullptr;
    c.aside = nullptr;
    gone = gone && os_rmdir_at(c.target.dir, ZORV_ASIDE_FOLDER) == 0;
    star_close_destination(&c.target, gone && undone);
}

void let_go(change &c) {
    star_walk_stop(&c.walk);
    os_fclose(c.journal);
    os_close_dir(c.aside);
    c.journal = nullptr;
    c.aside = nullptr;
    star_close_destination(&c.target, 0);
}
