// How every extraction reaches the disk: a destination held by handle, and each entry's folder
// levels opened from it, one from the other, never through a link.
//
// star extract and the installer both write through this. The destination is opened once (its
// missing levels made on the way); an entry's folder is then reached level by level from it, each
// level opened from the one above without following it, and held while the entry is written: a
// level that is a symbolic link, a junction or a mount point stops the entry, and one that is
// swapped for a link after it was opened is no longer what the handle holds. The levels of the
// last entry stay held, so that the next entry in the same folder opens nothing again.
//
// Levels are separated by '/' or '\'; empty levels and "." levels are passed over. The caller
// refuses names that leave the destination (star_names.h) before it walks them.
#ifndef ZORV_STAR_WALK_H
#define ZORV_STAR_WALK_H

#include "platform.h"
#include "star_format.h"
#include "star_result.h"

// The deepest folder an entry can name: a name of at most 292 characters has fewer levels. The
// same bound holds for the levels a destination's own path may have to be made.
#define STAR_MAX_LEVELS 160

// The destination folder held, and the levels of its own path that opening it made.
struct star_destination {
    os_dir *dir;                          // the destination itself
    os_dir *base;                         // the deepest level of its path that was there, when some were made
    os_dir *made[STAR_MAX_LEVELS];        // the levels made below base, outermost first; the last is dir
    unsigned made_count;
    char made_names[kStarPathSize];      // their names, each ended by NUL, outermost first
};

// Opens the folder at path (null or empty: the current folder), as the system resolves it; with
// make, its missing levels are made first, outermost first, each opened from the one above.
// STAR_OK, or with nothing made STAR_ERR_WRITE when it cannot be opened or made, STAR_ERR_TOO_LONG
// when its path does not fit.
star_result star_open_destination(star_destination *d, const char *path, int make);

// Lets go of the destination; with remove_made, the levels its opening made are removed again,
// deepest first, those still empty.
void star_close_destination(star_destination *d, int remove_made);

// The levels of the last entry reached below a root, held.
struct star_walk {
    os_dir *root;                         // held by the caller for as long as the walk
    os_dir *refused;                      // a folder no entry may enter, or null
    os_dir *level[STAR_MAX_LEVELS];       // the held levels, outermost first
    unsigned depth;
    char names[kStarPathSize];           // their names, each ended by NUL, outermost first
    size_t names_len;
};

void star_walk_start(star_walk *w, os_dir *root, os_dir *refused);
// Closes every level held; the root stays the caller's.
void star_walk_stop(star_walk *w);

// Reaches the folder that holds the last level of name: every level above it opened from the
// root, without a link. STAR_OK with *folder that folder (the root, for a name at the top) and
// *leaf the last level of name (inside name). Otherwise what stands in the way:
//   STAR_ERR_NOT_FOUND  a level is not there: *missing is where its name ends in name, and the
//                       levels above it are held (star_walk_make makes it);
//   STAR_ERR_NAME       a level is a link, or the refused folder; or name has no level at all;
//   STAR_ERR_WRITE      a level is a file, or cannot be opened.
star_result star_walk_to(star_walk *w, const char *name, os_dir **folder, const char **leaf, size_t *missing);

// After star_walk_to gave STAR_ERR_NOT_FOUND for name: makes that missing level and holds it.
// STAR_OK, or STAR_ERR_WRITE when it cannot be made or opened (STAR_ERR_NAME: it became a link).
star_result star_walk_make(star_walk *w, const char *name);

// The next level of name from *at: its start and end, with "." and empty levels passed over;
// false after the last.
int star_next_level(const char *name, size_t *at, size_t *start, size_t *end);

#endif
