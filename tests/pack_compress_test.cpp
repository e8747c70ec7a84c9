// zorv-pack's compression on every core against bzip2 -9 -c of the same input, byte for byte.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "compress.h"
#include "test_util.h"

namespace {

// n bytes of which no two neighbours are equal: each takes one byte of bzip2's run-length coding,
// so that a block of them ends after exactly 899 981.
std::string no_runs(size_t n) {
    std::string s;
    unsigned x = 7;
    for (size_t i = 0; i < n; i++) {
        char c;
        do c = char('a' + (x = x * 1103515245 + 12345) % 23); while (!s.empty() && c == s.back());
        s += c;
    }
    return s;
}

TEST(PackCompress, SameBytesAsBzip2) {
    const size_t limit = 899981;
    std::string text;  // words, zero padding and runs of every length, over several blocks
    for (unsigned i = 0, x = 1; text.size() < 2600000; i++) {
        x = x * 1103515245 + 12345;
        text += (x >> 16) % 7 == 0 ? std::string((x >> 8) % 600, char(x >> 24)) : no_runs(40 + (x >> 20) % 200);
    }
    const struct {
        const char *what;
        std::string input;
    } cases[] = {
        {"an empty archive", ""},
        {"ends one byte before a block limit", no_runs(limit)},
        {"ends exactly at a block limit: the last byte is a block of its own", no_runs(limit + 1)},
        {"a run of 4 open at the limit goes to the next block", no_runs(limit - 2) + std::string(4, 'z') + "end"},
        {"a run of 300 reaches the limit at its 255th byte", no_runs(limit - 1) + std::string(300, 'z') + "end"},
        {"a run of 3 counted to the limit", no_runs(limit - 3) + std::string(3, 'z') + "end"},
        {"runs of 4 to 255 bytes, each counted 5, across three limits", std::string(3 * limit, 'q')},
        {"text and runs over three blocks", text},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir / "in", c.input);
        std::string error;
        ASSERT_TRUE(compress_bzip2_blocks(dir / "in", dir / "out", {}, 2, [](long long) {}, error)) << error;
        ASSERT_EQ(system(("bzip2 -9 -c '" + dir / "in" + "' >'" + dir / "bzip2" + "'").c_str()), 0);
        EXPECT_TRUE(read_file(dir / "out") == read_file(dir / "bzip2"));
    }
}

}  // namespace
