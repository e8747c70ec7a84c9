// The installer's extraction as one change of the target folder: all of it, or none of it.
//
// An upgrade writes over an earlier installation. Written in place, a failure half way (a full
// disk, a file another program holds, a damaged archive found late, the installer killed) would
// leave a mix of both versions that nothing can bring back. So no earlier file is overwritten:
// before an entry is written, the file it replaces is renamed into the folder "tmp_inst.old" of
// the target (as "tmp_inst.old\1", "tmp_inst.old\2"...), on the same volume, where anyone looking
// finds it. Only once every entry is written are those files deleted; on any failure the new
// files are removed, the old ones renamed back, and every folder the run made is removed again.
// Nothing is copied.
//
// Every step is written to "tmp_inst.old\journal" (and flushed) before it is taken, so that a
// run killed at any moment leaves each earlier file either in place or moved aside, and the
// journal says which. The next run into the same target reads it first and puts everything back,
// or, when the journal says the run had finished ("c"), deletes what was moved aside. Its lines:
//   t PATH        the run made this level of the target's own path (it did not exist)
//   d NAME        the run made this folder inside the target
//   f I NAME      the file NAME is about to be moved aside as I
//   n NAME        NAME was not there: the run creates it
//   c             every entry is written: what was moved aside is to be deleted
// Names are the archive's entry names, relative to the target; they hold no LF.
#ifndef ZORV_PAYLOAD_TRANSACTION_H
#define ZORV_PAYLOAD_TRANSACTION_H

#include "platform.h"

// The folder, inside the target, that holds the journal and what is moved aside.
#define ZORV_ASIDE_FOLDER "tmp_inst.old"

// Finishes what an earlier run into target left unfinished: puts back what it moved aside and
// removes what it made, or deletes what a finished run moved aside. 0 when the target holds no
// unfinished change (any more); -1 when it cannot be finished now (star_last_error() says why):
// the journal then stays, for a later run.
int recover_target(const char *target);

// Extracts every entry of archive under target (a prefix as star_extract_all takes it) as one
// change: 0 when every entry is written, and nothing of the change is left behind; -1 otherwise
// (star_last_error() says why), with the target as it was before. Names that cannot be a file's
// (empty, or ending in a separator) and names into the folder "tmp_inst.old" are refused; so is a
// folder where the new version has a file.
int install_archive(os_file *archive, const char *target);

#endif
