// Fuzzes the archive reader: any bytes, extracted under a fresh folder, must stay inside it.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "fuzz_util.h"
#include "star.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &scratch = fuzz_scratch();
    fuzz_clear(scratch);
    FILE *archive = tmpfile();
    if (!archive) return 0;
    fwrite(data, 1, size, archive);
    rewind(archive);
    // A prefix two levels down, so that an escape by one or two levels would still land inside
    // the scratch folder where it can be seen.
    int result = star_extract_all(archive, (scratch + "/a/out\\").c_str());
    fclose(archive);
    if (result != 0 && result != -1) fuzz_fail("result other than 0 or -1");
    std::string top = fuzz_listing(scratch), mid = fuzz_listing(scratch + "/a");
    if (!(top.empty() || top == "a ") || !(mid.empty() || mid == "out ")) fuzz_fail("a file appeared outside the prefix");
    return 0;
}
