// One change of a target as its three parts share it: the journal, the recovery, the change itself.
//
// journal.cpp reads, checks and writes the journal, and puts names on the disk; recovery.cpp undoes
// or finishes what a journal says, and lets go of the target; transaction.cpp plans the change and
// takes its steps. Each calls only the ones before it. The caller of install_archive or
// recover_target owns the change; nothing of it is global.
#ifndef ZORV_PAYLOAD_CHANGE_H
#define ZORV_PAYLOAD_CHANGE_H

#include "list.h"
#include "platform.h"
#include "star_walk.h"
#include "transaction.h"

// The journal's file inside the change's own folder.
#define ZORV_JOURNAL_NAME "journal"

// An entry of the plan: where its name starts in the plan's names, and the number its earlier file
// is moved aside as (0: nothing stands there).
struct planned_entry {
    size_t name;
    unsigned aside;
};

struct change {
    star_destination target;    // the target, held from the start of the change to its end
    os_dir *aside;              // the change's own folder, held as long
    os_file *journal;           // held as long: no other run can take the target meanwhile
    // The journal's lines, each ended by NUL instead of its LF: those this run wrote, or, while an
    // earlier run's change is finished, that run's lines as they were checked. Nothing is read
    // back from the disk to be acted on.
    list<char> lines;
    star_walk walk;             // the levels of the entry at hand
    unsigned numbered;          // numbers handed out to files that may be moved aside
    list<unsigned> moved;       // the numbers of the files that were
    // The change as planned before its first step.
    list<char> names;           // the entries' names, NUL-ended, in archive order
    list<planned_entry> planned;
    list<char> folders;         // the folders to make, NUL-ended, outermost first
};

// ---- The journal (journal.cpp) ----

// A line as a run writes it.
struct journal_line {
    char kind;         // 't' (only in a journal of an earlier version), 'd', 'f', 'n' or 'c'
    unsigned number;   // of an 'f' line
    const char *name;  // of 'd', 'f' and 'n' lines
};

// The line that starts at *at in the change's lines, and *at moved past it: false after the last.
bool journal_next(const change &c, size_t *at, journal_line &l);
// The line that ends just before *at, and *at moved to its start: false before the first.
bool journal_previous(const change &c, size_t *at, journal_line &l);

// What a checked journal says.
struct journal_facts {
    bool finished;   // it holds the mark of a change that was made whole
    unsigned files;  // its 'f' lines
};

// Reads the journal the change holds, whole, and checks every line before anything is done by
// it; the lines are then the change's. Otherwise nothing changes: STAR_ERR_JOURNAL for a journal
// that no run could have written, STAR_ERR_READ for one that cannot be read.
star_result journal_read(change &c, journal_facts &facts);

// Whether the change may write name, or a journal name it: a file's name (not empty, not ending in
// a separator) that stays inside the target by the archive's name rule and does not reach the
// change's own folder in any spelling.
bool journal_name_is_acceptable(const char *name);

// Writes one line (kind, then the number when it is not 0, then the name when there is one) to the
// journal and its lines; with flush, it is on the disk before this returns, ahead of the step it
// announces. STAR_ERR_WRITE, STAR_ERR_TOO_LONG (past what a run writes) or STAR_ERR_NO_MEMORY.
star_result journal_record(change &c, char kind, unsigned number, const char *name, bool flush);

// Whether the journal on the disk ends in the mark of a change made whole: after writing the mark
// failed, it may have reached the disk all the same, and a later run would believe it.
bool journal_marked_on_disk(change &c);

// Empties the journal on the disk and in memory: STAR_OK or STAR_ERR_WRITE.
star_result journal_empty(change &c);

// The name of the file moved aside as number, inside the change's own folder: its decimal digits.
void aside_name(unsigned number, char out[16]);
// Puts the names folder holds on the disk: STAR_OK or STAR_ERR_WRITE.
star_result sync_folder(os_dir *folder);

// The folder last put on the disk, by the text that names it: a handle's address says nothing, as
// the walk lets go of folders and opens others.
struct synced_folder {
    char text[kStarPathSize];
    size_t len;
    bool any;
};
// Puts folder, which holds leaf, the last level of name, on the disk, unless it was the last one.
star_result sync_once(synced_folder &last, os_dir *folder, const char *name, const char *leaf);

// ---- The recovery (recovery.cpp) ----

// Finishes what the journal the change holds says an earlier run left unfinished; the journal is
// then empty, for the change to come. Otherwise the cause why that cannot be done now: the journal
// then stays for a later run.
star_result settle(change &c);

// A failure, why, after the change began: everything is put back and the target let go; when that
// cannot be done now, the journal stays for the next run. Gives why.
star_result abandon(change &c, star_result why);

// Lets go of the target once nothing of the change is left: the journal and the change's folder
// go, and with undone the levels of the target's path that this run made.
void release(change &c, bool undone);
// Lets go of the target and leaves the journal where it is, for a later run to finish.
void let_go(change &c);

#endif
