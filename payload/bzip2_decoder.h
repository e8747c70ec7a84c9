// The one bzip2 decoding loop: the one-pass decoding, every worker's job and the writing of large jobs run it.
//
// A decoder takes the input its caller hands it (bz_decoder.s.next_in and avail_in, refilled when
// used up) and hands out decoded pieces, telling a stream decoded to its end mark from a damaged
// one and from one whose input ended first. libbzip2 checks every block's CRC and the stream's.
#ifndef ZORV_BZIP2_DECODER_H
#define ZORV_BZIP2_DECODER_H

#include <bzlib.h>
#include <stddef.h>

#include "star_result.h"

// A decoder's memory, kept from one stream to the next: libbzip2 asks for the same sizes at every
// stream (its state, then the arrays of the block size) and gets them back at once, so that a
// decoder opened and closed for every job makes no system call and touches no fresh page.
struct bz_arena {
    struct piece {
        void *memory;
        size_t size;
        bool in_use;
    } pieces[4];
};
void bz_arena_release(bz_arena *a);

struct bz_decoder {
    bz_stream s;       // s.next_in and s.avail_in: the input not yet taken
    bool input_ended;  // the caller has handed over all the input there is
    bool finished;     // the stream's end mark is decoded
};

// Opens d, its memory from the arena, or from the C library with none. STAR_OK, or
// STAR_ERR_NO_MEMORY.
star_result bz_decoder_open(bz_decoder *d, bz_arena *memory);
void bz_decoder_close(bz_decoder *d);

// Decodes into out (room bytes), *got of them: STAR_OK while the stream goes on (got may be 0
// when the input is used up: the caller hands more and asks again) and once its end mark is
// decoded (d->finished); STAR_ERR_DAMAGED for data that does not decode, a CRC among it;
// STAR_ERR_CUT_SHORT when the input ended before the end mark; STAR_ERR_NO_MEMORY.
star_result bz_decode(bz_decoder *d, char *out, size_t room, size_t *got);

#endif
