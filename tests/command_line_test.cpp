// The installer's word rules, and the quoting of a launched program's arguments on Windows.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "driver.h"
#include "os_command_line.h"

using Words = std::vector<std::string>;

namespace {

Words split(const char *tail) {
    char **table = split_command_line(tail);
    Words words;
    int i = 0;
    while (i < ZORV_MAX_WORDS && table[i]) words.push_back(table[i++]);
    // The list ends at its first empty entry: nothing may stand behind it.
    for (; i < ZORV_MAX_WORDS; i++) EXPECT_EQ(table[i], nullptr) << "entry " << i << " of \"" << tail << "\"";
    free(table);
    return words;
}

struct SplitCase {
    const char *tail;
    Words words;
};

const SplitCase kSplitCases[] = {
    {"", {}},
    {"     ", {}},
    {"  -s   -r  ", {"-s", "-r"}},
    {"-s -r -d C:\\Zorv", {"-s", "-r", "-d", "C:\\Zorv"}},
    {"-d \"C:\\Program Files\\Zorv\"", {"-d", "C:\\Program Files\\Zorv"}},
    {"\"abc\"def ghi", {"abc", "def", "ghi"}},
    {"\"abc\" def", {"abc", "def"}},
    {"ab\"c d", {"ab\"c", "d"}},
    {"\"\" -s", {"-s"}},
    {"-s \"", {"-s"}},
    {"\"C:\\a b", {"C:\\a b"}},
    {"-s\t-r", {"-s\t-r"}},
    {"\t-s", {"\t-s"}},
    {"-d \"C:\\dir\\\" -r", {"-d", "C:\\dir\\", "-r"}},
    {"\"a\"\"b\"", {"a", "b"}},
    {"\"a\"\"\"b", {"a", "b"}},
    {"x\"\"", {"x\"\""}},
};

TEST(SplitCommandLine, FollowsTheWordRules) {
    for (const SplitCase &c : kSplitCases) EXPECT_EQ(split(c.tail), c.words) << "tail: " << c.tail;
}

TEST(SplitCommandLine, KeepsTheFirstFiftyWords) {
    std::string tail;
    for (int i = 1; i <= 60; i++) tail += (i % 3 ? "w" : " \"w") + std::to_string(i) + (i % 3 ? "  " : "\"");
    Words words = split(tail.c_str());
    ASSERT_EQ(words.size(), 50u);
    EXPECT_EQ(words[0], "w1");
    EXPECT_EQ(words[47], "w48");
    EXPECT_EQ(words[49], "w50");
}

TEST(SplitCommandLine, NullTailGivesNoWords) { EXPECT_EQ(split(nullptr), Words{}); }

// The runtime library of the launched program splits its command line back into arguments: the
// quoted form must give back exactly the original text as one argument.
TEST(QuoteArgument, SurvivesTheStartupOfTheLaunchedProgram) {
    const struct {
        const char *arg, *quoted;
    } cases[] = {
        {"C:\\Zorv\\zorv.exe", "C:\\Zorv\\zorv.exe"},
        {"-i", "-i"},
        {"C:\\Program Files\\zorvdal\\zorv.exe", "\"C:\\Program Files\\zorvdal\\zorv.exe\""},
        {"", "\"\""},
        {"tab\there", "\"tab\there\""},
        {"C:\\a b\\", "\"C:\\a b\\\\\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"a\\\\b c", "\"a\\\\b c\""},
    };
    for (const auto &c : cases) {
        std::string out(os_quoted_size(c.arg), '\xff');
        os_quote_argument(c.arg, &out[0]);
        EXPECT_STREQ(out.c_str(), c.quoted) << "argument: " << c.arg;
    }
}

}  // namespace
