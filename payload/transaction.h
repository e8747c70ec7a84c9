// The installer's extraction as one change of the target folder: all of it, or none of it.
//
// An upgrade writes over an earlier installation. Written in place, a failure half way (a full
// disk, a file another program holds, a damaged archive found late, the installer killed, the
// power cut) would leave a mix of both versions that nothing can bring back. So no earlier file
// is overwritten: before an entry is written, the file it replaces is renamed into the folder
// "tmp_inst.old" of the target (as "tmp_inst.old\1", "tmp_inst.old\2"...), on the same volume,
// where anyone looking finds it. Only once every entry is written are those files deleted; on any
// failure the new files are removed, the old ones renamed back under their own names, and every
// folder the run made is removed again. Nothing is copied: a move that would leave the volume
// fails.
//
// Every step is written to "tmp_inst.old\journal" and put on the disk before it is taken (a
// write-ahead log), so that a run killed or cut off at any moment leaves each earlier file
// either in place or moved aside, and the journal says which. The change is planned first: one
// pass over the archive records every entry's steps, and the plan goes to the disk at once before
// the first of them; a step the plan did not foresee is recorded, and flushed, as it comes. Its
// lines:
//   d NAME        the run is about to make this folder inside the target
//   f I NAME      the file NAME (its own spelling on the disk) is about to be moved aside as I;
//                 I counts 1, 2, 3... in the order of the lines
//   n NAME        NAME is not there: the run is about to create it
//   c             every entry is written and on the disk: what was moved aside is to be deleted
// Names are the archive's entry names, relative to the target; they hold no LF and end in no CR.
// The bytes of every new file, and the folders that name them, are on the disk before "c" is;
// "c" is, before anything moved aside is deleted. (Journals of an earlier version begin with
// "t PATH" lines, the levels of the target's own path that run made; they are read and passed
// over: no run removes a folder above its target but the ones it made itself.)
//
// Every step reaches the disk through folders the run holds (archive/star_walk.h): the target is
// opened once, each level below it from the one above and never through a link, so that nothing
// swapped in meanwhile can lead a step outside the target. Names that cannot stand together (a
// file where another entry makes a folder, as the target's file system compares names) are
// refused before the first step.
//
// One run at a time: the run holds the journal (os_hold_at) from the start of its change to its
// end, so another run into the same target fails at once, and no run ever touches a change that
// a live run holds. The next run into a target that a run left unfinished (killed, or cut off)
// reads its journal first and puts everything back, or, when the journal says the run had
// finished, deletes what was moved aside; each of those steps can be taken again after a cut.
// Anyone who can write into the target can write a journal too, so nothing of it is believed
// unchecked: it is read whole (up to the size a run can write) and every line is checked (its
// kind, its number, its names by the archive's name rule, inside the target and not the change's
// own folder, never through a link) before anything is touched; the steps then act on the lines
// as they were checked, never on what the file holds meanwhile. A journal that fails changes
// nothing.
#ifndef ZORV_PAYLOAD_TRANSACTION_H
#define ZORV_PAYLOAD_TRANSACTION_H

#include "platform.h"
#include "star_result.h"

// The folder, inside the target, that holds the journal and what is moved aside.
#define ZORV_ASIDE_FOLDER "tmp_inst.old"

// Finishes what an earlier run into target left unfinished: puts back what it moved aside and
// removes what it made, or deletes what a finished run moved aside. STAR_OK when the target holds
// no unfinished change (any more); otherwise why it cannot be finished now (STAR_ERR_IN_USE while
// another run holds it, STAR_ERR_JOURNAL for a journal that no run could have written,
// STAR_ERR_NAME when a level of the target became a link), and the journal stays for a later run.
star_result recover_target(const char *target);

// Extracts every entry of archive under target (a prefix as star_extract_all takes it) as one
// change, after finishing what an earlier run left: STAR_OK when every entry is written and on
// the disk, and nothing of the change is left behind; otherwise the cause, with the target as it
// was before. needed is what the new files take (the archive's size): a target
// whose disk has less room fails before the first entry (STAR_ERR_NO_ROOM). Names that cannot be
// a file's (empty, or ending in a separator), names that reach the folder "tmp_inst.old" in any
// spelling and names that cannot stand beside the others are refused (STAR_ERR_NAME), and so is
// an entry below a level of the target that is a link; so is a folder where the new version has
// a file (STAR_ERR_WRITE).
star_result install_archive(os_file *archive, const char *target, unsigned long long needed);

#endif
