// Fuzzes the payload pipeline with any resource bytes, its files in memory.
//
// Each run must end with a clear result, leave no temporary file and nothing outside the target,
// and a stream that does not decode must install nothing.
#include <bzlib.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "memory_platform.h"
#include "payload.h"

namespace {

// Whether data starts with one whole, valid bzip2 stream (what the pipeline may install from).
bool decodes(const uint8_t *data, size_t size) {
    bz_stream s = {};
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return false;
    std::vector<char> out(1 << 16);
    s.next_in = const_cast<char *>(reinterpret_cast<const char *>(data));
    s.avail_in = (unsigned)size;
    int r;
    do {
        s.next_out = out.data();
        s.avail_out = (unsigned)out.size();
        r = BZ2_bzDecompress(&s);
    } while (r == BZ_OK && (s.avail_in > 0 || s.avail_out == 0));
    BZ2_bzDecompressEnd(&s);
    return r == BZ_STREAM_END;
}

// The decoder's tables (3.6 MB for a stream of 900 k blocks) would be mapped, poisoned and
// unmapped again on every run; libbzip2 is not ours and not instrumented, so its memory is kept
// between runs instead: one block per size, handed out again once freed.
struct kept_block {
    size_t size;
    void *memory;
    bool in_use;
};
// Never destroyed: the blocks stay reachable to the leak checker that runs at exit.
std::vector<kept_block> &kept_blocks = *new std::vector<kept_block>;

void *kept_alloc(void *, int items, int size) {
    size_t n = size_t(items) * size_t(size);
    for (kept_block &b : kept_blocks)
        if (!b.in_use && b.size == n) return b.in_use = true, b.memory;
    kept_blocks.push_back({n, malloc(n), true});
    return kept_blocks.back().memory;
}

void kept_free(void *, void *memory) {
    for (kept_block &b : kept_blocks)
        if (b.memory == memory) b.in_use = false;
}

}  // namespace

// The payload's decoder, and the check's, get their memory from kept_alloc (the harness links
// with -Wl,--wrap=BZ2_bzDecompressInit).
extern "C" int __real_BZ2_bzDecompressInit(bz_stream *s, int verbosity, int small);
extern "C" int __wrap_BZ2_bzDecompressInit(bz_stream *s, int verbosity, int small) {
    s->bzalloc = kept_alloc;
    s->bzfree = kept_free;
    return __real_BZ2_bzDecompressInit(s, verbosity, small);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    memory_reset();
    memory_set_resource(101, std::string(reinterpret_cast<const char *>(data), size));
    star_result result = install_payload("sub\\target/");
    fuzz_check_result(result);
    bool any = false;
    for (auto &f : memory_files()) {
        if (f.first.compare(0, 8, "tmp_inst") == 0) fuzz_fail("a temporary file left behind");
        if (f.first.compare(0, 11, "sub/target/") != 0) fuzz_fail("a file outside the target");
        any = true;
    }
    if (any && !decodes(data, size)) fuzz_fail("a payload that does not decode wrote into the target");
    return 0;
}
