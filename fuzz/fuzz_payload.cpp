// Fuzzes the payload pipeline with any resource bytes, its files in memory.
//
// Each run must end with a clear result, leave no temporary file and nothing outside the target,
// and a stream that does not decode must install nothing.
#include <bzlib.h>
#include <stddef.h>
#include <stdint.h>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    memory_reset();
    memory_set_resource(101, std::string(reinterpret_cast<const char *>(data), size));
    int result = install_payload("sub\\target/");
    if (result != 0 && result != -1) fuzz_fail("result other than 0 or -1");
    bool any = false;
    for (auto &f : memory_files()) {
        if (f.first.compare(0, 8, "tmp_inst") == 0) fuzz_fail("a temporary file left behind");
        if (f.first.compare(0, 11, "sub/target/") != 0) fuzz_fail("a file outside the target");
        any = true;
    }
    if (any && !decodes(data, size)) fuzz_fail("a payload that does not decode wrote into the target");
    return 0;
}
