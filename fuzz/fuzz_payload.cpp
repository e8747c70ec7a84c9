// Fuzzes the payload pipeline with any resource bytes.
//
// Each run must end with a clear result, leave no temporary file and nothing outside the target,
// and a stream that does not decode must install nothing.
#include <bzlib.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "payload.h"
#include "resource_image.h"

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
    static std::string cwd, image;
    static char home[4096];  // where libFuzzer runs, with its relative corpus paths
    if (cwd.empty()) {
        if (!getcwd(home, sizeof home)) fuzz_fail("no current folder");
        cwd = fuzz_scratch() + "/cwd";
        image = fuzz_scratch() + "/image";
        setenv("ZORV_RESOURCE_IMAGE", image.c_str(), 1);
    }
    fuzz_clear(fuzz_scratch());
    std::string error;
    if (!write_resource_image("", {{"RCDATA_RAW", 101, std::string(reinterpret_cast<const char *>(data), size)}},
                              image, error))
        fuzz_fail(error.c_str());
    mkdir(cwd.c_str(), 0777);
    if (chdir(cwd.c_str()) != 0) fuzz_fail("cannot enter the scratch folder");
    int result = install_payload("sub\\target/");
    if (chdir(home) != 0) fuzz_fail("cannot leave the scratch folder");

    if (result != 0 && result != -1) fuzz_fail("result other than 0 or -1");
    std::string here = fuzz_listing(cwd), sub = fuzz_listing(cwd + "/sub");
    if (!(here.empty() || here == "sub ")) fuzz_fail("temporary files left, or a file outside the target");
    if (!(sub.empty() || sub == "target ")) fuzz_fail("a file outside the target");
    if (!decodes(data, size) && !fuzz_listing(cwd + "/sub/target").empty())
        fuzz_fail("a payload that does not decode wrote into the target");
    return 0;
}
