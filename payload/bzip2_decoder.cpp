// The one bzip2 decoding loop and the memory its decoders keep.
#include "bzip2_decoder.h"

#include <stdlib.h>
#include <string.h>

namespace {

void *arena_alloc(void *opaque, int items, int size) {
    bz_arena *a = static_cast<bz_arena *>(opaque);
    size_t n = size_t(items) * size_t(size);
    bz_arena::piece *spare = nullptr;
    for (bz_arena::piece &p : a->pieces) {
        if (p.in_use) continue;
        if (p.memory && p.size == n) {
            p.in_use = true;
            return p.memory;
        }
        if (!spare || !p.memory) spare = &p;
    }
    if (!spare) return nullptr;  // libbzip2 then reports BZ_MEM_ERROR
    free(spare->memory);
    spare->memory = malloc(n);
    spare->size = n;
    spare->in_use = spare->memory != nullptr;
    return spare->memory;
}

void arena_free(void *opaque, void *memory) {
    for (bz_arena::piece &p : static_cast<bz_arena *>(opaque)->pieces)
        if (p.memory == memory) p.in_use = false;
}

}  // namespace

void bz_arena_release(bz_arena *a) {
    for (bz_arena::piece &p : a->pieces) free(p.memory);
}

star_result bz_decoder_open(bz_decoder *d, bz_arena *memory) {
    memset(d, 0, sizeof *d);
    if (memory) {
        d->s.bzalloc = arena_alloc;
        d->s.bzfree = arena_free;
        d->s.opaque = memory;
    }
    return BZ2_bzDecompressInit(&d->s, 0, 0) == BZ_OK ? STAR_OK : STAR_ERR_NO_MEMORY;
}

void bz_decoder_close(bz_decoder *d) { BZ2_bzDecompressEnd(&d->s); }

star_result bz_decode(bz_decoder *d, char *out, size_t room, size_t *got) {
    d->s.next_out = out;
    d->s.avail_out = unsigned(room);
    int r = BZ2_bzDecompress(&d->s);
    *got = room - d->s.avail_out;
    if (r == BZ_STREAM_END) d->finished = true;
    else if (r == BZ_MEM_ERROR) return STAR_ERR_NO_MEMORY;
    else if (r != BZ_OK) return STAR_ERR_DAMAGED;
    // All the input taken, room left, and no end mark: there is no more to come.
    else if (d->input_ended && d->s.avail_in == 0 && d->s.avail_out > 0) return STAR_ERR_CUT_SHORT;
    return STAR_OK;
}
