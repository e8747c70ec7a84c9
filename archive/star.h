// The SIMPLE-TAR reader: extracts a line-framed archive from a stream into files.
//
// An archive is a run of entries, each a name line, a separator line and the raw body, framed by
// boundary lines:
//
//     -----SIMPLE-TAR--MEZTIL--BOUNDARY---1215625293-2201---------   (opening boundary)
//     nombre=zorv.exe
//     ---------------------cortar desde aqui----------------------
//     <body bytes, any length, unchanged>
//     -----SIMPLE-TAR--MEZTIL--BOUNDARY---1215625293-2201---------   (closes the first body)
//     nombre=...
//
// A boundary line is the 35-byte magic "-----SIMPLE-TAR--MEZTIL--BOUNDARY--" and 25 free
// characters. Line breaks are LF or CR LF, one convention per archive. The line break before each
// closing boundary line is framing, not body; a body is found only by scanning for the next
// boundary line, so a body must never contain the magic. There are no lengths, checksums, times,
// attributes or directory entries.
//
// The stream is an os_file of the platform seam, read strictly forward with three kinds of read
// on one position: line reads of up to 299 characters, single bytes, and a 4-character short read.
// Single bytes that the stream has already buffered are taken a stretch at a time, with the same
// result and the same position as byte by byte. Memory is fixed (no heap): a body is streamed
// whatever its size. Nothing prints; every operation reports by its result (star_result.h): STAR_OK,
// or the cause: a read that failed, an archive cut short, damaged framing, an unsafe name, a file
// that cannot be written. A name handed back is null at the end of the archive, and after a failed
// read, which os_ferror then tells.
//
// Entry names are paths relative to the destination prefix; '/' and '\' both separate levels and
// every level is created on the way, each opened from the one above (star_walk.h). A name that
// would leave the prefix (star_names.h), and one that reaches a link at any level, its own name
// included, stops the extraction at that entry and writes nothing for it. An earlier file of an
// entry's name is replaced by a new one, never written through.
//
// The framing (boundaries, headers, bodies) is star_reader.cpp; extraction into files (paths,
// the name rule, directories, output files) is star_extract.cpp.
//
// The entry-name buffer is static and shared: a returned name is valid until the next header read
// on any stream. The reader is single-threaded and never closes or rewinds a caller's stream.
#ifndef ZORV_STAR_H
#define ZORV_STAR_H

#include "platform.h"
#include "star_names.h"
#include "star_result.h"

// 1 if the NUL-terminated line (as a line read gives it) is a boundary line: the magic, at least
// 60 characters, and CR, LF or the end after the 60th. The line break counts towards the length.
int   star_is_boundary(const char *line);

// Line reads until one is a boundary line: 1 with the stream just after it; 0 at end of stream.
int   star_skip_to_boundary(os_file *archive);

// From the start of a line, finds the next name line and its separator line. Returns the name
// (the static entry-name buffer; trailing CR and LF removed, at most 292 characters) with the
// stream at the first byte of the body, or null at end of stream (or when a read fails: then
// os_ferror tells). A separator without a name line is skipped to its boundary; a boundary line
// between a name and its separator drops it.
char *star_read_header(os_file *archive);

// Copies one body, from its first byte, to out. STAR_OK when a boundary line ended it;
// STAR_ERR_CUT_SHORT or STAR_ERR_READ when the stream ends or fails inside it, STAR_ERR_WRITE when
// a write comes up short, STAR_ERR_DAMAGED when the magic stands where no boundary line can begin.
// After STAR_OK the stream stands just after the boundary line's 60th character (LF before it)
// or after its line break (CR LF before it). Output comes in pieces of at most 63 bytes, so a
// failed copy leaves out short by at most the last 62 bytes read.
star_result star_copy_body(os_file *archive, os_file *out);

// Creates the file name inside folder, new (never through a file or a link already there), and
// copies the body into it: STAR_ERR_WRITE when it cannot be created or closed whole, or the
// copy's cause; the file is closed in every case and keeps what was written.
star_result star_write_new(os_file *archive, os_dir *folder, const char *name);
// Copies the body into out, the file name inside folder that the caller has just created
// (os_create_at), and closes it, its way to the disk begun (os_fclose_and_write_out): as
// star_write_new does after the creation.
star_result star_fill_new(os_file *archive, os_file *out, os_dir *folder, const char *name);

// Creates every directory level of path (a writable text; it is cut and restored in place),
// then opens it with "wb" and copies the body into it: the output a caller names itself.
// STAR_ERR_NAME for a null or empty path, STAR_ERR_WRITE for an open or a close that fails, or the
// copy's cause; the file is closed in every case and keeps what was written.
star_result star_write_entry(os_file *archive, char *path);

// Extracts every entry under prefix: null for the name alone; a prefix ending in '/' or '\' is
// followed directly by the name, any other by '\' and the name (an empty prefix counts as null).
// STAR_OK when the archive ended after all entries were written (a stream without any boundary
// line has none, and makes nothing); else the cause at the first entry that failed: a name that
// would leave the prefix or passes a link (STAR_ERR_NAME), a joined path over 4999 bytes
// (STAR_ERR_TOO_LONG), a read of the stream that failed (STAR_ERR_READ), or the write's cause.
// Files written before a failure stay as they are.
star_result star_extract_all(os_file *archive, const char *prefix);

// star_extract_all on the file at archive_path, opened "rb" and closed again; STAR_ERR_OPEN if it
// cannot be opened.
star_result star_extract_all_file(const char *archive_path, const char *prefix);

// Writes the first entry called name (compared byte for byte) to out_path, or, when out_path is
// null, to name itself relative to the current directory (then refused, as by star_extract_all,
// if it would leave it or pass a link). STAR_ERR_NOT_FOUND when name is null or no entry has it,
// or the write's cause.
star_result star_extract_one(os_file *archive, const char *name, char *out_path);

// star_extract_one on the file at archive_path, opened "rb" and closed again.
star_result star_extract_one_file(const char *archive_path, const char *name, char *out_path);

// The next entry's name (skipping to the next boundary line first, passing over the previous
// body by line reads), or null after the last. Do not mix with star_copy_body on one stream.
char *star_next_entry(os_file *archive);

#endif
