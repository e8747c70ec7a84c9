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

namespace {

// The Windows start-up's cut of the installer's own program name off its command line.
TEST(CommandTail, CutsTheProgramNameAndTheBlanksAfterIt) {
    const struct {
        const char *line, *tail;
    } cases[] = {
        {"zorv-setup.exe -s -r", "-s -r"},
        {"  \t zorv-setup.exe \t  -s", "-s"},
        {"\"C:\\Program Files\\setup.exe\" -d x", "-d x"},
        {"\"C:\\t.exe\"-s CHILD", "-s CHILD"},         // the closing quote ends the name at once
        {"C:\\t\"x y\".exe -s CHILD", "y\".exe -s CHILD"},  // a quote inside a bare name is ordinary
        {"\"unclosed name -s", ""},
        {"setup.exe", ""},
        {"setup.exe   ", ""},
        {"", ""},
        {"setup.exe\x01-s", ""},                        // only spaces and tabs are blanks
        {"setup.exe \x01-s", "\x01-s"},
    };
    for (const auto &c : cases) EXPECT_STREQ(command_tail(c.line), c.tail) << "line: " << c.line;
}

}  // namespace
