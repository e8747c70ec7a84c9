// Writes SIMPLE-TAR archives in the layout the reader expects (used by the tools and tests).
//
//     star_writer w;
//     star_writer_begin(&w, out, STAR_LF, stamp);        // the opening boundary line
//     star_writer_add_file(&w, "zorv.exe", body_stream); // one entry per call
//     star_writer_end(&w);                               // flushes; the archive is complete
//
// Every body comes back byte for byte from the reader because each is followed by the archive's
// line break, a boundary line and the line break again. The 25 free characters of every boundary
// line read "-", the stamp as ten digits, "-", a four-digit counter and nine '-'; the counter is
// 2201 in the opening line and in the line closing the first body, and one more for each later
// body. A body holding the magic cannot be framed and is refused, as is a name the reader would
// not give back unchanged or would refuse to extract.
#ifndef ZORV_STAR_WRITER_H
#define ZORV_STAR_WRITER_H

#include <stddef.h>

#include "platform.h"
#include "star_result.h"

enum star_line_break { STAR_LF = 0, STAR_CRLF = 1 };

// Every operation returns a star_result: STAR_OK; STAR_ERR_READ when reading a body fails;
// STAR_ERR_WRITE when writing the archive fails; STAR_ERR_MAGIC for a body that holds the magic;
// STAR_ERR_NAME for a name that is empty, over 292 bytes, holds an LF or ends in CR, or that the
// name rule of star_names.h refuses.
struct star_writer {
    os_file *out;
    int crlf;
    long long stamp;
    int entries;  // bodies written so far
};

// Writes the opening boundary line. stamp is seconds since 1970 (kept to ten digits).
int star_writer_begin(star_writer *w, os_file *out, star_line_break line_break, long long stamp);

// Adds one entry whose body is the rest of the stream body. On STAR_ERR_MAGIC, STAR_ERR_READ or
// STAR_ERR_WRITE the archive holds part of the entry and must be discarded; on STAR_ERR_NAME
// nothing was written.
int star_writer_add_file(star_writer *w, const char *name, os_file *body);

// Reads body to its end: STAR_OK if it can be framed, STAR_ERR_MAGIC if it holds the magic,
// STAR_ERR_READ on a read error. For writers that cannot take back what they have written.
int star_check_body(os_file *body);

// Adds one entry from memory.
int star_writer_add_bytes(star_writer *w, const char *name, const void *data, size_t size);

// Flushes the archive stream: STAR_OK or STAR_ERR_WRITE.
int star_writer_end(star_writer *w);

// The position of the first magic in data, or -1. A search across pieces of one body passes the
// last 34 bytes of the previous piece in front of the next.
long long star_find_magic(const void *data, size_t size);

// Whether name can be stored and extracted unchanged (see STAR_ERR_NAME).
int star_writer_name_ok(const char *name);

#endif
