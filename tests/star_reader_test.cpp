// The archive reader against golden vectors in tests/data/star and hand-made streams.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "star.h"
#include "test_util.h"

using namespace std::string_literals;
using Files = std::map<std::string, std::string>;

namespace {

const std::string kMagic = "-----SIMPLE-TAR--MEZTIL--BOUNDARY--";
const std::string kBoundary = kMagic + "-1215625293-2201---------";
const std::string kSeparator = "---------------------cortar desde aqui----------------------";

// An in-memory stream over bytes, read by the reader like any archive file.
struct MemStream {
    explicit MemStream(const std::string &bytes) : data(bytes) {
        stream = data.empty() ? tmpfile() : fmemopen(&data[0], data.size(), "rb");
        f = os_stdio(stream);
    }
    ~MemStream() { os_fclose(f); }
    std::string data;
    FILE *stream;
    os_file *f;
};

struct VectorCase {
    const char *file;
    star_result result;  // STAR_OK, or the cause a failure names
    Files files;         // every file expected under the prefix afterwards, and nothing else
};

const std::vector<VectorCase> kVectors = {
    {"eight_entries.star", STAR_OK,
     {{"zorv.exe", "MZ\x90\x00\x03\x00\x00\x00\x04\r\n\x1a\n"s},
      {"zorvcore.dll", "line one\nline two\n"},
      {"lib/zorvnet.dll", "\0\0\r"s},
      {"lib/zorvui.dll", ""},
      {"zorvdb.dll", "\r\n\r\nends in crlf\r\n"},
      {"zorvfmt.dll", "\n"},
      {"zorvlog.dll", std::string(200, 'x')},
      {"zorvcfg.dll", "\r"}}},
    {"opening_only.star", STAR_OK, {}},
    {"no_boundary.star", STAR_OK, {}},
    {"preamble.star", STAR_OK, {{"a", "body"}}},
    {"name_cr_cr_lf.star", STAR_OK, {{"a.txt", "body"}}},
    {"long_name.star", STAR_OK,
     {{std::string(99, 'd') + "/" + std::string(99, 'd') + "/" + std::string(92, 'f'), "body"}}},
    {"lone_cr_body.star", STAR_OK, {{"cr", "\r"}}},
    {"empty_body.star", STAR_OK, {{"empty", ""}}},
    {"crlf_archive.star", STAR_OK,
     {{"a", "one\r\ntwo"}, {"b", "ends in cr\r"}, {"c", ""}, {"d", "ends in crlf\r\n"}, {"e", "lf only\ninside"}}},
    {"crlf_body_ends_in_lf.star", STAR_OK, {{"a", "x\n"}}},
    {"forced_write_crlf.star", STAR_OK,
     {{"a", std::string(62, 'x') + "\r\ntail"}, {"b", std::string(62, 'y') + "\rz" + std::string(70, 'w')}}},
    {"forced_write_cr_crlf_conv.star", STAR_OK,
     {{"a", std::string(62, 'x') + "\r\ntail"}, {"b", std::string(62, 'y') + "\r"}}},
    {"cut_at_magic_line.star", STAR_OK, {{"a", "abc"}, {"b", "bee"}}},
    {"short_magic_line.star", STAR_OK, {{"a", "abc\n" + kMagic + "short line\nxyz"}}},
    {"magic_after_byte.star", STAR_ERR_DAMAGED, {{"a", ""}}},
    {"magic_after_lf.star", STAR_OK, {{"a", ""}}},
    {"magic_after_cr.star", STAR_OK, {{"a", "\r" + kMagic + std::string(25, '-')}}},
    {"no_final_break.star", STAR_OK, {{"a", "one"}, {"b", "two\n"}}},
    {"no_final_break_crlf.star", STAR_ERR_CUT_SHORT, {{"a", "one"}, {"b", "two"}}},
    {"boundary_drops_name.star", STAR_OK, {{"kept", "body"}}},
    {"nameless_entry.star", STAR_OK, {{"after", "after"}}},
    {"duplicate_names.star", STAR_OK, {{"same", "second"}}},
    {"two_name_lines.star", STAR_OK, {{"first", "body"}}},
    {"crlf_boundary_goes_on.star", STAR_ERR_DAMAGED, {{"a", "body"}}},
    {"dot_dot_name.star", STAR_ERR_NAME, {{"ok", "fine"}}},
};

TEST(StarReader, GoldenVectorsExtractExactly) {
    for (const VectorCase &c : kVectors) {
        SCOPED_TRACE(c.file);
        TempDir tmp;
        std::string prefix = tmp / "out/";
        EXPECT_EQ(star_extract_all_file(test_data("star/"s + c.file).c_str(), prefix.c_str()), c.result);
        EXPECT_EQ(list_tree(tmp.path.c_str()).size(), c.files.size()) << "files outside the prefix";
        EXPECT_EQ(list_tree(tmp / "out"), c.files);
    }
}

TEST(StarReader, ArchiveCutInsideBodyLeavesFileShortByAtMost62Bytes) {
    TempDir tmp;
    EXPECT_EQ(star_extract_all_file(test_data("star/cut_in_body.star").c_str(), (tmp.path + "/").c_str()), STAR_ERR_CUT_SHORT);
    EXPECT_EQ(read_file(tmp / "whole"), "first");
    std::string body = read_file(test_data("star/cut_in_body.star"));
    body = body.substr(body.size() - 500);
    std::string got = read_file(tmp / "cut");
    EXPECT_EQ(got, body.substr(0, 441));  // seven full runs of 63 bytes were written
}

TEST(StarReader, MissingArchiveFileFails) {
    TempDir tmp;
    EXPECT_EQ(star_extract_all_file((tmp / "none.star").c_str(), nullptr), STAR_ERR_OPEN);
    char out[] = "x";
    EXPECT_EQ(star_extract_one_file((tmp / "none.star").c_str(), "a", out), STAR_ERR_OPEN);
}

TEST(StarReader, BoundaryTest) {
    struct Case {
        std::string line;
        int expected;
    } cases[] = {
        {kBoundary, 1},
        {kBoundary + "\n", 1},
        {kBoundary + "\r\n", 1},
        {kBoundary + "x\n", 0},
        {kBoundary.substr(0, 59) + "\n", 1},    // the line break counts towards the length
        {kBoundary.substr(0, 58) + "\r\n", 1},
        {kBoundary.substr(0, 58) + "\n", 0},
        {kMagic, 0},
        {kMagic.substr(0, 34), 0},
        {"", 0},
        {"-" + kBoundary, 0},
        {"-----SIMPLE-TAR--MEZTIL--BOUNDARY-x" + std::string(25, '-'), 0},
    };
    for (const Case &c : cases) EXPECT_EQ(star_is_boundary(c.line.c_str()), c.expected) << c.line;
}

// The stream positions that star_extract_all relies on between entries.
TEST(StarReader, StreamPositionsAfterEachBuildingBlock) {
    // Where a building block leaves the stream is what the next read gets: all that is left.
    auto rest = [](MemStream &m) {
        std::string left(m.data.size(), '\0');
        left.resize(os_fread(&left[0], left.size(), m.f));
        return left;
    };
    std::string lf = kBoundary + "\nnombre=a\n" + kSeparator + "\nxy\n" + kBoundary + "\n";
    const size_t body = 61 + 9 + 61;
    for (int steps = 1; steps <= 3; steps++) {
        SCOPED_TRACE(steps);
        MemStream s(lf);
        ASSERT_EQ(star_skip_to_boundary(s.f), 1);
        if (steps >= 2) {
            ASSERT_STREQ(star_read_header(s.f), "a");
        }
        os_file *out = os_stdio(tmpfile());
        if (steps >= 3) {
            ASSERT_EQ(star_copy_body(s.f, out), 0);
        }
        os_fclose(out);
        // The boundary's line break is still unread after the body.
        EXPECT_EQ(rest(s), lf.substr(steps == 1 ? 61 : steps == 2 ? body : body + 3 + 60));
    }

    std::string crlf = kBoundary + "\r\nnombre=a\r\n" + kSeparator + "\r\nxy\r\n" + kBoundary + "\r\n";
    MemStream c(crlf);
    ASSERT_EQ(star_skip_to_boundary(c.f), 1);
    ASSERT_STREQ(star_read_header(c.f), "a");
    os_file *out = os_stdio(tmpfile());
    ASSERT_EQ(star_copy_body(c.f, out), 0);
    EXPECT_EQ(rest(c), "");
    os_fclose(out);

    // Lines are read in pieces of at most 299 bytes, those in the buffer (after the first line's
    // read) as those beyond it: a boundary that starts a piece counts, one inside a piece does not.
    MemStream piece("\n" + std::string(299, 'x') + kBoundary + "\n");
    ASSERT_EQ(star_skip_to_boundary(piece.f), 1);
    EXPECT_EQ(ftell(piece.stream), 1 + 299 + 61);
    MemStream inside("\n" + std::string(298, 'x') + kBoundary + "\n");
    EXPECT_EQ(star_skip_to_boundary(inside.f), 0);
}

TEST(StarReader, PrefixJoining) {
    struct Case {
        const char *prefix;  // relative to the temporary folder; null for the current folder
        const char *name;
        const char *file;  // where the body must land
    } cases[] = {
        {"p", "a/b\\c", "p/a/b/c"},     // '\' added after a prefix without a separator
        {"p/", "x", "p/x"},
        {"p\\", "x", "p/x"},
        {"deep/er\\est", "n", "deep/er/est/n"},  // every level of the prefix is created too
        {nullptr, "alone", "alone"},
        {"", "empty_prefix", "empty_prefix"},    // an empty prefix never becomes the root
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        std::string archive = kBoundary + "\nnombre=" + c.name + "\n" + kSeparator + "\nB\n" + kBoundary + "\n";
        MemStream s(archive);
        char cwd[4096];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        ASSERT_EQ(chdir(tmp.path.c_str()), 0);
        int r = star_extract_all(s.f, c.prefix);
        ASSERT_EQ(chdir(cwd), 0);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(list_tree(tmp.path), (Files{{c.file, "B"}}));
    }
}

TEST(StarReader, NamesThatLeaveThePrefixAreRefusedAndWriteNothing) {
    std::vector<const char *> refused = {"..", "../x", "a/../../x", "a\\..\\x", "..\\x", "x/..", "/abs", "\\abs",
                                         "c:x", "C:\\x", "a:stream", "dir/f:s"};
    std::vector<const char *> allowed = {"..a", "a..", "a..b/c", "...", ".", "./x", "a/./b",
                                         "console", "com10", "lpt", "nul_x", "a.con", "xcon"};
    // Windows devices, whatever the case or extension: refused where the system has them.
    const char *devices[] = {"CON", "nul.txt", "lib/Com1.dll", "lpt9", "AUX .txt", "conin$", "a\\prn.x.y"};
    for (const char *name : devices) {
        EXPECT_EQ(star_name_is_safe_on_windows(name), 0) << name;
        (os_reserves_device_names() ? refused : allowed).push_back(name);
    }
    for (const char *name : refused) {
        SCOPED_TRACE(name);
        EXPECT_EQ(star_name_is_safe(name), 0);
        TempDir tmp;
        std::string archive = kBoundary + "\nnombre=first\n" + kSeparator + "\n1\n" + kBoundary +
                              "\nnombre=" + name + "\n" + kSeparator + "\nbad\n" + kBoundary + "\n";
        MemStream s(archive);
        EXPECT_EQ(star_extract_all(s.f, (tmp / "in/out/").c_str()), STAR_ERR_NAME);
        EXPECT_EQ(list_tree(tmp.path), (Files{{"in/out/first", "1"}}));
    }
    for (const char *name : allowed) EXPECT_EQ(star_name_is_safe(name), 1) << name;
}

TEST(StarReader, ExistingFileIsTruncated) {
    TempDir tmp;
    write_file(tmp / "a", "a much longer old content");
    std::string archive = kBoundary + "\nnombre=a\n" + kSeparator + "\nnew\n" + kBoundary + "\n";
    MemStream s(archive);
    EXPECT_EQ(star_extract_all(s.f, tmp.path.c_str()), 0);
    EXPECT_EQ(read_file(tmp / "a"), "new");
}

TEST(StarReader, UnwritableDestinationFails) {
    TempDir tmp;
    write_file(tmp / "file", "");
    std::string archive = kBoundary + "\nnombre=file/under\n" + kSeparator + "\nx\n" + kBoundary + "\n";
    MemStream s(archive);
    EXPECT_EQ(star_extract_all(s.f, tmp.path.c_str()), STAR_ERR_WRITE);
    char empty[] = "";
    MemStream t(archive);
    star_skip_to_boundary(t.f);
    star_read_header(t.f);
    EXPECT_EQ(star_write_entry(t.f, empty), STAR_ERR_NAME);
    EXPECT_EQ(star_write_entry(t.f, nullptr), STAR_ERR_NAME);
}

TEST(StarReader, NextEntryListsNamesInOrderThenNull) {
    os_file *f = os_fopen(test_data("star/eight_entries.star").c_str(), "rb");
    ASSERT_TRUE(f);
    std::vector<std::string> names;
    while (const char *n = star_next_entry(f)) names.push_back(n);
    os_fclose(f);
    EXPECT_EQ(names, (std::vector<std::string>{"zorv.exe", "zorvcore.dll", "lib/zorvnet.dll", "lib\\zorvui.dll",
                                               "zorvdb.dll", "zorvfmt.dll", "zorvlog.dll", "zorvcfg.dll"}));
    MemStream none("no boundary at all\n");
    EXPECT_EQ(star_next_entry(none.f), nullptr);
}

TEST(StarReader, ExtractOne) {
    TempDir tmp;
    std::string archive = test_data("star/eight_entries.star");
    std::string out = tmp / "db";
    EXPECT_EQ(star_extract_one_file(archive.c_str(), "zorvdb.dll", &out[0]), 0);
    EXPECT_EQ(read_file(out), "\r\n\r\nends in crlf\r\n");
    EXPECT_EQ(star_extract_one_file(archive.c_str(), "ZORVDB.DLL", &out[0]), STAR_ERR_NOT_FOUND);  // case-sensitive
    EXPECT_EQ(star_extract_one_file(archive.c_str(), nullptr, &out[0]), STAR_ERR_NOT_FOUND);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(tmp.path.c_str()), 0);
    EXPECT_EQ(star_extract_one_file(archive.c_str(), "lib\\zorvui.dll", nullptr), 0);
    EXPECT_EQ(star_extract_one_file(archive.c_str(), "missing", nullptr), STAR_ERR_NOT_FOUND);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(list_tree(tmp.path), (Files{{"db", "\r\n\r\nends in crlf\r\n"}, {"lib/zorvui.dll", ""}}));

    // Without an output path the name is the path, so a name that leaves the folder is refused.
    std::string bad = kBoundary + "\nnombre=../escape\n" + kSeparator + "\nx\n" + kBoundary + "\n";
    MemStream s(bad);
    EXPECT_EQ(star_extract_one(s.f, "../escape", nullptr), STAR_ERR_NAME);
    EXPECT_FALSE(exists(tmp.path + "/../escape"));
}

}  // namespace
