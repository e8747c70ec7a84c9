// Fuzzes the archive reader: any bytes, extracted in memory, must stay inside the prefix.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "fuzz_util.h"
#include "memory_platform.h"
#include "star.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    memory_reset();
    memory_put_file("archive", std::string(reinterpret_cast<const char *>(data), size));
    // The prefix is two levels down, as the installer's target is below its Windows directory.
    star_result result = star_extract_all_file("archive", "a/out\\");
    fuzz_check_result(result);
    for (auto &f : memory_files())
        if (f.first != "archive" && f.first.compare(0, 6, "a/out/") != 0) fuzz_fail("a file appeared outside the prefix");
    for (const std::string &d : memory_folders())
        if (d != "a" && d != "a/out" && d.compare(0, 6, "a/out/") != 0) fuzz_fail("a folder appeared outside the prefix");
    return 0;
}
