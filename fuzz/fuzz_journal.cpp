// Fuzzes the recovery of a change from any journal, over an earlier installation in memory.
//
// Whoever can write into a target can write its journal. Whatever it holds, the next run's
// recovery must leave everything beside the target as it was; when it refuses the journal, the
// target as well; and when a step it takes fails, the journal stays for a later run.
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <set>
#include <string>

#include "fuzz_util.h"
#include "memory_platform.h"
#include "platform.h"
#include "star_result.h"
#include "transaction.h"

namespace {

bool inside(const std::string &path) { return path == "t" || path.compare(0, 2, "t/") == 0; }

template <class Map>
Map beside(const Map &all) {
    Map out;
    for (auto &e : all)
        if (!inside(e.first)) out.insert(e);
    return out;
}

std::set<std::string> beside(const std::set<std::string, std::less<>> &all) {
    std::set<std::string> out;
    for (auto &e : all)
        if (!inside(e)) out.insert(e);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    memory_reset();
    for (const char *folder : {"t", "t/sub", "t/tmp_inst.old", "lejos"}) os_mkdir(folder);
    memory_put_file("lejos/a.txt", "mine");
    memory_put_file("b.txt", "mine");
    memory_put_file("t/a.txt", "new a");
    memory_put_file("t/sub/b.txt", "new b");
    memory_put_file("t/tmp_inst.old/1", "old a");
    memory_put_file("t/tmp_inst.old/2", "old b");
    memory_put_file("t/tmp_inst.old/journal", std::string(reinterpret_cast<const char *>(data), size));
    const std::map<std::string, std::string> files = memory_files();
    const std::set<std::string, std::less<>> folders = memory_folders();

    star_result result = recover_target("t\\");
    fuzz_check_result(result);
    if (beside(memory_files()) != beside(files) || beside(memory_folders()) != beside(folders))
        fuzz_fail("the recovery changed something beside the target");
    if (result == STAR_ERR_JOURNAL && (memory_files() != files || memory_folders() != folders))
        fuzz_fail("a refused journal changed the target");
    if (result != 0 && !memory_files().count("t/tmp_inst.old/journal")) fuzz_fail("a failed recovery lost its journal");
    return 0;
}
