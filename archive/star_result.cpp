// The texts the tools print for each way the core fails.
#include "star_result.h"

const char *star_result_text(int result) {
    switch (result) {
    case STAR_OK: return "no error";
    case STAR_ERR_READ: return "a read failed";
    case STAR_ERR_MAGIC: return "it holds the archive's boundary magic, so it cannot be framed";
    case STAR_ERR_NAME: return "an entry's name would leave the destination";
    case STAR_ERR_WRITE: return "a file cannot be written";
    case STAR_ERR_DAMAGED: return "the archive is damaged";
    case STAR_ERR_CUT_SHORT: return "the archive is cut short";
    case STAR_ERR_OPEN: return "the archive cannot be opened";
    case STAR_ERR_NOT_FOUND: return "no entry has that name";
    case STAR_ERR_NO_PAYLOAD: return "the program carries no payload";
    case STAR_ERR_TOO_LONG: return "a destination path is too long";
    case STAR_ERR_IN_USE: return "a file to be replaced is in use by another program, or another run holds it";
    case STAR_ERR_NO_ROOM: return "the target's disk has too little room";
    case STAR_ERR_JOURNAL: return "the target holds a journal that cannot be trusted";
    case STAR_ERR_NO_MEMORY: return "not enough memory";
    }
    return "unknown error";
}
