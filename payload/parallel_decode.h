// Decoding the payload's bzip2 stream on every processor, block by block.
#ifndef ZORV_PARALLEL_DECODE_H
#define ZORV_PARALLEL_DECODE_H

#include "platform.h"

enum parallel_result {
    parallel_decoded,   // the first stream decoded whole into archive, every CRC checked
    parallel_failed,    // the compressed file could not be read or the archive written (star_fail said which)
    parallel_fall_back  // anything else: the stream must be decoded on one thread, from the start
};

// Decodes the first bzip2 stream of in, read from its start, into archive. Blocks are found by
// their magic, each decoded by libbzip2 as a stream of its own on a thread of its own (at most
// workers at a time), and written in their order. It decodes only what it can prove to be what
// decoding the stream in one pass gives: every block decodes whole from its magic up to the next
// one with its CRC right, the first starts right after the header, and the stream CRC is that of
// the blocks. Anything else (a damaged or cut stream, a magic that occurs by chance inside a block,
// a thread that does not start, memory that cannot be had) falls back, and only whole blocks have
// then been written to archive: a prefix of what decoding in one pass writes.
parallel_result decompress_in_parallel(os_file *in, os_file *archive, unsigned workers);

// The workers to use: one per processor; with a 32-bit address space no more than keep the
// decoding's memory under 64 MB.
unsigned decoding_workers(void);

#endif
