// Decoding the payload's bzip2 stream: block by block on every processor, or else in one pass.
#ifndef ZORV_PARALLEL_DECODE_H
#define ZORV_PARALLEL_DECODE_H

#include "platform.h"
#include "star_result.h"

// Decodes the first bzip2 stream of in, read from its start, into archive, and nothing after its
// end mark. Blocks are found by their magic and decoded by libbzip2 as streams of their own on up
// to workers threads, and written in their order; but only what can be proven to be what decoding
// the stream in one pass gives: every block decoding whole from its magic up to the next one with
// its CRC right, the first right after the header, and the stream CRC that of the blocks. Anything
// else (a damaged or cut stream, a magic that occurs by chance inside a block, a worker that does
// not start, memory that cannot be had) is decoded again in one pass from the start, over what was
// written, so that every stream ends as one pass ends it. STAR_OK when the stream decoded whole
// (*parallel says whether the blocks' way did it); else the cause: STAR_ERR_DAMAGED,
// STAR_ERR_CUT_SHORT, STAR_ERR_READ, STAR_ERR_WRITE or STAR_ERR_NO_MEMORY.
star_result decode_bzip2(os_file *in, os_file *archive, unsigned workers, bool *parallel);

// The workers to use: one per processor; with a 32-bit address space no more than keep the
// decoding's memory under 64 MB.
unsigned decoding_workers(void);

#endif
