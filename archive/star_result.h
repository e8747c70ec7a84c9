// How the core fails: every operation that can fail returns one of these, STAR_OK or the cause.
//
// The reader, the writer, the extraction, the payload and the change of a target all report by
// their result alone, and nothing else records a failure: a caller that only needs to know whether
// an operation worked tests the result against STAR_OK (0; every cause is negative), and one that
// tells the user why passes it to star_result_text. Operations that hand back a name give null at
// the end of the archive, and the stream's error flag (os_ferror) says whether a read failed.
#ifndef ZORV_STAR_RESULT_H
#define ZORV_STAR_RESULT_H

enum star_result {
    STAR_OK = 0,
    STAR_ERR_READ = -1,        // reading the archive, a body to pack, or the payload failed
    STAR_ERR_MAGIC = -2,       // a body to pack holds the boundary magic: it cannot be framed
    STAR_ERR_NAME = -3,        // an entry's name cannot be stored, or would leave the destination
    STAR_ERR_WRITE = -4,       // a file cannot be created, written or closed whole
    STAR_ERR_DAMAGED = -5,     // the archive's framing, or the compressed payload, is damaged
    STAR_ERR_CUT_SHORT = -6,   // the archive, or the compressed payload, ends too early
    STAR_ERR_OPEN = -7,        // the archive file cannot be opened
    STAR_ERR_NOT_FOUND = -8,   // no entry has the wanted name
    STAR_ERR_NO_PAYLOAD = -9,  // the program carries no payload, or it cannot be loaded
    STAR_ERR_TOO_LONG = -10,   // a destination path does not fit
    STAR_ERR_IN_USE = -11,     // a file to be replaced is held open or run by another program, or
                               // another run is changing the target or using the temporary files
    STAR_ERR_NO_ROOM = -12,    // the target's disk has too little room for the new files
    STAR_ERR_JOURNAL = -13,    // the target holds a journal that no run could have written
    STAR_ERR_NO_MEMORY = -14   // memory for the change's plan or journal cannot be had
};

// One line of English for a code, for the tools' messages ("the archive is damaged").
const char *star_result_text(int result);

#endif
