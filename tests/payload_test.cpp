// The payload pipeline: every failure path, damaged payloads, and the temporary files it leaves.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bzip2_stream.h"
#include "parallel_decode.h"
#include "payload.h"
#include "payload_test_util.h"
#include "star_result.h"
#include "star_writer.h"
#include "test_util.h"

using Files = std::map<std::string, std::string>;

namespace {

// An application as the payload carries it: an executable, libraries in a sub-folder, bodies
// with the line breaks and NULs the framing has to keep.
Files sample_app() {
    Files app = {{"zorv.exe", std::string("MZ\0\0\r\n", 6) + std::string(5000, 'e')},
                 {"lib/zorvcore.dll", "core\r\n"},
                 {"lib/zorvnet.dll", std::string(3000, '\n')},
                 {"empty.dat", ""}};
    std::string noise;
    unsigned x = 12345;
    for (int i = 0; i < 40000; i++) noise += char((x = x * 1103515245 + 12345) >> 24);
    app["lib/zorvdata.dll"] = strip_magic(noise);
    return app;
}

// n bytes of letters, no two neighbours equal: about 900 000 make a block.
std::string letters(size_t n) {
    std::string s;
    for (unsigned x = 1; s.size() < n;)
        if (char c = char('a' + (x = x * 1103515245 + 12345) % 23); s.empty() || c != s.back()) s += c;
    return s;
}

std::string flip(std::string data, uint64_t bit) {
    data[bit / 8] = char(data[bit / 8] ^ (0x80 >> bit % 8));
    return data;
}

// What the pipeline left in the current folder root besides the target: must be nothing.
Files leftovers(const std::string &root) {
    Files left;
    for (auto &f : list_tree(root))
        if (f.first.compare(0, 7, "target/") != 0) left.insert(f);
    return left;
}

// Each test runs in a fresh current folder, where the pipeline keeps its temporary files, and
// installs into "target/" inside it.
class Payload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getcwd(old_cwd, sizeof old_cwd));
        enter(cwd);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(old_cwd), 0);
        unsetenv("ZORV_RESOURCE_IMAGE");
        for (int fd : holds) close(fd);
    }
    void enter(const TempDir &dir) { ASSERT_EQ(chdir(dir.path.c_str()), 0); }
    Files leftovers() { return ::leftovers(cwd.path); }
    Files installed() { return list_tree(cwd / "target"); }

    // One installation in a fresh current folder: its resources, what is there before, and what
    // it must leave.
    struct Case {
        std::string what;
        std::map<int, std::string> resources;
        std::function<void(const TempDir &)> prepare;  // the current folder before the run
        Files installed;
        Files left;  // what remains in the current folder besides the target
        star_result why;  // STAR_OK, or the cause of the failure
        const char *target = "target/";
        std::function<void(const TempDir &)> verify = nullptr;  // what the tree alone does not show
    };
    void run(const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            TempDir here;
            enter(here);
            use_resources(images, c.resources);
            if (c.prepare) c.prepare(here);
            EXPECT_EQ(install_payload(c.target), c.why);
            EXPECT_EQ(list_tree(here / "target"), c.installed);
            EXPECT_EQ(::leftovers(here.path), c.left);
            if (c.verify) c.verify(here);
        }
        enter(cwd);
    }
    // Another run, holding what it uses (the journal of its change, or a temporary file) until
    // the test ends.
    void hold(const std::string &path) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);
        holds.push_back(fd);
    }
    const std::string good = bz2(make_archive({{"zorv.exe", "program"}}));

    TempDir cwd, images;
    char old_cwd[4096];
    std::vector<int> holds;
};

TEST_F(Payload, InstallsTheApplicationAndRemovesTemporaryFiles) {
    Files app = sample_app();
    use_resources(images, {{ZORV_PAYLOAD_ID, bz2(make_archive(app))}});
    // Files of the temporary names that were there before are overwritten and removed too.
    write_file(cwd / "tmp_inst.bz2", "old");
    write_file(cwd / "tmp_inst.sta", "old");
    EXPECT_EQ(install_payload("target\\"), 0);
    EXPECT_EQ(installed(), app);
    EXPECT_EQ(leftovers(), Files{});
}

// Payloads that do not decode whole, or hold no archive, install nothing and leave nothing.
TEST_F(Payload, DamagedPayloadsInstallNothing) {
    const std::string archive = make_archive({{"a.exe", "program"}, {"b.dll", std::string(300, 'b')}});
    const std::string two_blocks = bz2(make_archive({{"zorv.exe", letters(1200000)}}));
    bool end;
    const uint64_t second = bz_find_magic(reinterpret_cast<const unsigned char *>(two_blocks.data()),
                                          two_blocks.size(), 33, &end);
    run({
        {"no payload resource", {{ZORV_SETTINGS_ID, "x"}}, nullptr, {}, {}, STAR_ERR_NO_PAYLOAD},
        {"no resources at all", {}, nullptr, {}, {}, STAR_ERR_NO_PAYLOAD},
        {"empty resource", {{ZORV_PAYLOAD_ID, ""}}, nullptr, {}, {}, STAR_ERR_CUT_SHORT},
        {"not bzip2", {{ZORV_PAYLOAD_ID, archive}}, nullptr, {}, {}, STAR_ERR_DAMAGED},
        {"truncated bzip2", {{ZORV_PAYLOAD_ID, bz2(archive).substr(0, 60)}}, nullptr, {}, {}, STAR_ERR_CUT_SHORT},
        // The first block decodes and is written before the second fails: nothing of it is kept.
        {"the second block's CRC damaged", {{ZORV_PAYLOAD_ID, flip(two_blocks, second + 60)}}, nullptr, {}, {},
         STAR_ERR_DAMAGED},
        // The stream CRC ends at most 7 bits before the end.
        {"the stream CRC damaged", {{ZORV_PAYLOAD_ID, flip(two_blocks, 8 * two_blocks.size() - 16)}}, nullptr,
         {}, {}, STAR_ERR_DAMAGED},
        // A whole stream of an archive cut inside a body: the reader's failure, and nothing of it left.
        {"archive cut inside a body", {{ZORV_PAYLOAD_ID, bz2(archive.substr(0, archive.size() - 200))}}, nullptr,
         {}, {}, STAR_ERR_CUT_SHORT},
        {"no boundary in the archive", {{ZORV_PAYLOAD_ID, bz2("plain text\n")}}, nullptr, {}, {}, STAR_OK},
    });
}

// The temporary files: never written through what stands at their names, held against another
// run, and removed only while their names stand for them.
TEST_F(Payload, TemporaryFilesAreTheRunsOwn) {
    run({
        {"tmp_inst.bz2 cannot be created", {{ZORV_PAYLOAD_ID, good}},
         [](const TempDir &d) { mkdir_p(d / "tmp_inst.bz2"), write_file(d / "tmp_inst.bz2/in-the-way", ""); },
         {}, {{"tmp_inst.bz2/in-the-way", ""}}, STAR_ERR_WRITE},
        {"tmp_inst.sta cannot be created", {{ZORV_PAYLOAD_ID, good}},
         [](const TempDir &d) { mkdir_p(d / "tmp_inst.sta"), write_file(d / "tmp_inst.sta/in-the-way", ""); },
         {}, {{"tmp_inst.sta/in-the-way", ""}}, STAR_ERR_WRITE},
        // A link planted under a temporary file's name is not followed, nor removed.
        {"tmp_inst.bz2 is a link", {{ZORV_PAYLOAD_ID, good}},
         [](const TempDir &d) { write_file(d / "mine", "keep"), symlink("mine", (d / "tmp_inst.bz2").c_str()); },
         {}, {{"mine", "keep"}, {"tmp_inst.bz2", "keep"}}, STAR_ERR_WRITE},
        {"tmp_inst.sta is a hard link", {{ZORV_PAYLOAD_ID, good}},
         [](const TempDir &d) { write_file(d / "mine", "keep"), link((d / "mine").c_str(), (d / "tmp_inst.sta").c_str()); },
         {}, {{"mine", "keep"}, {"tmp_inst.sta", "keep"}}, STAR_ERR_WRITE},
        {"another run from this folder holds tmp_inst.sta", {{ZORV_PAYLOAD_ID, good}},
         [&](const TempDir &d) { hold(d / "tmp_inst.sta"); }, {}, {{"tmp_inst.sta", ""}}, STAR_ERR_IN_USE},
        // Installed into the current folder, a file of the payload may take a temporary file's name.
        {"entries named as the temporary files",
         {{ZORV_PAYLOAD_ID, bz2(make_archive({{"tmp_inst.bz2", "b"}, {"tmp_inst.sta", "s"}}))}}, nullptr, {},
         {{"tmp_inst.bz2", "b"}, {"tmp_inst.sta", "s"}}, STAR_OK, "./"},
    });
}

// What an earlier run left unfinished is finished first; a run that holds the target is left to it.
TEST_F(Payload, EarlierRunsAreFinishedFirst) {
    run({
        // A run killed while a.exe was moved aside and being replaced: put back first.
        {"a killed upgrade is undone first", {{ZORV_PAYLOAD_ID, good}},
         [](const TempDir &d) {
             mkdir_p(d / "target/tmp_inst.old");
             write_file(d / "target/tmp_inst.old/journal", "f 1 a.exe\nf 2 b.dll\nn b.dll\nf 3 c.dll\n");
             write_file(d / "target/tmp_inst.old/1", "old a"), write_file(d / "target/a.exe", "new, cut");
             write_file(d / "target/b.dll", "new b"), write_file(d / "target/c.dll", "old c");
         },
         {{"a.exe", "old a"}, {"c.dll", "old c"}, {"zorv.exe", "program"}}, {}, STAR_OK},
        // A run killed once it had finished: what it moved aside is deleted first.
        {"a killed finished upgrade is cleaned up first", {{ZORV_PAYLOAD_ID, good}},
         [](const TempDir &d) {
             mkdir_p(d / "target/tmp_inst.old");
             write_file(d / "target/tmp_inst.old/journal", "f 1 a.exe\nc");
             write_file(d / "target/tmp_inst.old/1", "old a"), write_file(d / "target/a.exe", "new a");
         },
         {{"a.exe", "new a"}, {"zorv.exe", "program"}}, {}, STAR_OK},
        // A journal of an earlier version names the levels its run made: a failing run removes
        // none of them, whoever wrote it.
        {"a failing run after a journal of the target's own levels",
         {{ZORV_PAYLOAD_ID, bz2(make_archive({{"TMP_INST.OLD/x", "x"}}))}},
         [](const TempDir &d) {
             mkdir_p(d / "target/tmp_inst.old");
             write_file(d / "target/tmp_inst.old/journal", "t " + d.path + "/target\n");
         },
         {}, {}, STAR_ERR_NAME, "target/", [](const TempDir &d) { EXPECT_TRUE(exists(d / "target")); }},
        {"another run holds the target", {{ZORV_PAYLOAD_ID, good}},
         [&](const TempDir &d) { mkdir_p(d / "target/tmp_inst.old"), hold(d / "target/tmp_inst.old/journal"); },
         {{"tmp_inst.old/journal", ""}}, {}, STAR_ERR_IN_USE},
        // A journal larger than any run writes is refused by its size alone, before a line is read.
        {"a journal of 64 MiB and one byte", {{ZORV_PAYLOAD_ID, good}},
         [](const TempDir &d) {
             mkdir_p(d / "target/tmp_inst.old");
             write_file(d / "target/tmp_inst.old/journal", "c\n");
             ASSERT_EQ(truncate((d / "target/tmp_inst.old/journal").c_str(), (64 << 20) + 1), 0);
         },
         {{"tmp_inst.old/journal", std::string(64 << 20, '\0').replace(0, 2, "c\n") + '\0'}}, {}, STAR_ERR_JOURNAL},
    });
}

// A journal someone else wrote into an earlier installation: every line is checked before
// anything is touched, and one that no run could have written changes nothing, inside the target
// or beside it.
TEST_F(Payload, ForgedJournalsChangeNothing) {
    const Files earlier = {{"a.txt", "new a"}, {"tmp_inst.old/1", "old a"}, {"sub/b.txt", "b"}};
    auto forged = [&](const char *what, const std::string &journal, bool link = false) {
        Files target = earlier;
        target["tmp_inst.old/journal"] = journal;
        if (link) target["lnk"] = "";  // the listing reads a link to a folder as an empty file
        return Case{what, {{ZORV_PAYLOAD_ID, good}},
                    [=](const TempDir &d) {
                        mkdir_p(d / "target/tmp_inst.old"), mkdir_p(d / "target/sub"), mkdir_p(d / "elsewhere");
                        for (auto &f : target)
                            if (f.first != "lnk") write_file(d / ("target/" + f.first), f.second);
                        write_file(d / "elsewhere/a.txt", "mine"), write_file(d / "beside.txt", "mine");
                        if (link) symlink("../elsewhere", (d / "target/lnk").c_str());
                    },
                    target, {{"elsewhere/a.txt", "mine"}, {"beside.txt", "mine"}}, STAR_ERR_JOURNAL};
    };
    run({
        forged("a name that leaves the target", "f 1 ../elsewhere/a.txt\n"),
        forged("a new file beside the target", "n ../beside.txt\n"),
        forged("a number that is no number", "f ../../a.txt ../b.txt\n"),
        forged("a number out of turn", "f 2 a.txt\n"),
        forged("a number with a leading zero", "f 01 a.txt\n"),
        forged("a folder in the change's own folder", "d ./tmp_inst.old/x\n"),
        forged("a kind no run writes", "x a.txt\n"),
        forged("CR LF line breaks", "f 1 a.txt\r\n"),
        forged("a line after the finishing mark", "c\nf 1 a.txt\n"),
        forged("a NUL in a name", std::string("f 1 a\0.txt\n", 11)),
        forged("a line longer than any a run writes", "n " + std::string(6000, 'n') + "\n"),
        forged("a name through a link", "n lnk/a.txt\n", true),
    });
}

// Entries that would land outside the target, in the change's own folder, through a link, or on
// a name another entry needs otherwise are refused before anything changes.
TEST_F(Payload, NamesThatCannotBeWrittenChangeNothing) {
    const std::string archive = make_archive({{"a.exe", "program"}, {"b.dll", std::string(300, 'b')}});
    // An earlier a.exe and a payload that reaches the change's own folder after it.
    auto into_aside = [&](const std::string &name) {
        return Case{"an entry named " + name, {{ZORV_PAYLOAD_ID, bz2(make_archive({{"a.exe", "new"}, {name, "x"}}))}},
                    [](const TempDir &d) { mkdir_p(d / "target"), write_file(d / "target/a.exe", "old"); },
                    {{"a.exe", "old"}}, {}, STAR_ERR_NAME};
    };
    run({
        {"a folder where the new version has a file", {{ZORV_PAYLOAD_ID, bz2(archive)}},
         [](const TempDir &d) { mkdir_p(d / "target/a.exe"), write_file(d / "target/a.exe/mine", "mine"); },
         {{"a.exe/mine", "mine"}}, {}, STAR_ERR_WRITE},
        {"an entry into the change's own folder", {{ZORV_PAYLOAD_ID, bz2(make_archive({{"TMP_INST.OLD/x", "x"}}))}},
         nullptr, {}, {}, STAR_ERR_NAME},
        into_aside("./tmp_inst.old/journal"),
        into_aside(".//tmp_inst.old/1"),
        into_aside("tmp_inst.old./x"),
        into_aside("Tmp_Inst.Old /x"),
        {"an entry below a link in the target", {{ZORV_PAYLOAD_ID, bz2(make_archive({{"lib/x.dll", "new"}}))}},
         [](const TempDir &d) {
             mkdir_p(d / "target"), mkdir_p(d / "elsewhere"), write_file(d / "elsewhere/x.dll", "mine");
             symlink("../elsewhere", (d / "target/lib").c_str());
         },
         {{"lib", ""}}, {{"elsewhere/x.dll", "mine"}}, STAR_ERR_NAME},
        // Names that cannot stand together are refused before the first step, however spelt.
        {"a folder, then a file of its name", {{ZORV_PAYLOAD_ID, bz2(make_archive({{"./x/y", "1"}, {"x", "2"}}))}},
         nullptr, {}, {}, STAR_ERR_NAME},
        {"a folder, then a file of its name, Windows' separator",
         {{ZORV_PAYLOAD_ID, bz2(make_archive({{".\\x\\y", "1"}, {"x", "2"}}))}}, nullptr, {}, {}, STAR_ERR_NAME},
        // A file written twice is no clash: the later body stays, fresh or over an earlier one.
        {"a file written twice", {{ZORV_PAYLOAD_ID, bz2(make_archive({{"./a.exe", "first"}, {"a.exe", "second"}}))}},
         nullptr, {{"a.exe", "second"}}, {}, STAR_OK},
        {"a file written twice over an earlier one",
         {{ZORV_PAYLOAD_ID, bz2(make_archive({{"./a.exe", "first"}, {"a.exe", "second"}}))}},
         [](const TempDir &d) { mkdir_p(d / "target"), write_file(d / "target/a.exe", "old"); },
         {{"a.exe", "second"}}, {}, STAR_OK},
    });
}

// Whatever bit of the compressed payload is flipped, the result is either the whole application
// unchanged (a flip decoding cannot see) or a failure with nothing at all in the target.
TEST_F(Payload, BitFlipSweepNeverInstallsDamagedFiles) {
    Files app = sample_app();
    const std::string payload = bz2(make_archive(app));
    int installed_ok = 0, refused = 0;
    for (size_t i = 0; i < 160; i++) {
        size_t byte = i * (payload.size() - 1) / 159;
        std::string damaged = payload;
        damaged[byte] = char(damaged[byte] ^ (1 << (i % 8)));
        use_resources(images, {{ZORV_PAYLOAD_ID, damaged}});
        TempDir here;
        enter(here);
        star_result r = install_payload("target/");
        Files got = list_tree(here / "target");
        if (r == STAR_OK) {
            installed_ok++;
            EXPECT_EQ(got, app) << "flip at byte " << byte << " installed damaged files";
        } else {
            refused++;
            EXPECT_TRUE(got.empty()) << "flip at byte " << byte << " wrote into the target";
        }
        EXPECT_EQ(list_tree(here.path).size(), got.size()) << "temporary files left, flip at byte " << byte;
    }
    enter(cwd);
    EXPECT_GT(refused, 150);  // nearly every flip must be seen
    std::cout << "bit flips: " << refused << " refused, " << installed_ok << " installed unchanged\n";
}

TEST_F(Payload, DecompressedSizesAroundMultiplesOf4096) {
    const size_t overhead = make_archive({{"f", ""}}).size();
    for (size_t total : {4095, 4096, 4097, 8191, 8192, 8193, 3 * 4096}) {
        SCOPED_TRACE(total);
        std::string body(total - overhead, 'x');
        for (size_t i = 0; i < body.size(); i += 97) body[i] = '\n';
        std::string archive = make_archive({{"f", body}});
        ASSERT_EQ(archive.size(), total);
        use_resources(images, {{ZORV_PAYLOAD_ID, bz2(archive)}});
        EXPECT_EQ(install_payload("target/"), 0);
        EXPECT_EQ(installed(), (Files{{"f", body}}));
        EXPECT_EQ(leftovers(), Files{});
    }
}

TEST_F(Payload, OnlyTheFirstStreamCountsAndTrailingBytesAreIgnored) {
    const std::string first = bz2(make_archive({{"zorv.exe", "first"}}));
    const std::string second = bz2(make_archive({{"other.exe", "second"}}));
    // "1AY&SY" is the block magic, here at a byte boundary after the end.
    for (const std::string &payload : {first + second, first + std::string("trailing garbage"), first + "1AY&SY..."}) {
        use_resources(images, {{ZORV_PAYLOAD_ID, payload}});
        EXPECT_EQ(install_payload("target/"), 0);
        EXPECT_EQ(installed(), (Files{{"zorv.exe", "first"}}));
        EXPECT_EQ(leftovers(), Files{});
    }
}

}  // namespace

// Streams decoded block by block, and one that must fall back to one pass, all of them whole: the block magic inside
// a block, made so by the bytes it holds. A block's map of the byte values it holds is 16 bits
// saying which groups of 16 values occur, then 16 bits for each group that does: bytes of groups
// 0 to 2 only, making those bits 0x3141 0x5926 0x5359, put the magic at bit 153 of the stream.
TEST(ParallelDecode, DecodesBlocksOrFallsBack) {
    std::string group_bytes, chance;
    const unsigned words[] = {0x3141, 0x5926, 0x5359};
    for (int g = 0; g < 3; g++)
        for (int j = 0; j < 16; j++)
            if (words[g] & (0x8000 >> j)) group_bytes += char(16 * g + j);
    for (unsigned x = 1; chance.size() < 5000;)
        chance += group_bytes[((x = x * 1103515245 + 12345) >> 16) % group_bytes.size()];
    const std::string in_map = bz2(chance);
    bool end = true;
    EXPECT_EQ(bz_find_magic(reinterpret_cast<const unsigned char *>(in_map.data()), in_map.size(), 33, &end), 153u);
    EXPECT_FALSE(end);
    // A block for each byte, as a stream of its own cut to its block and spliced after the others'.
    auto one_byte_blocks = [](const std::string &data) {
        std::string out(data.size() * 40 + 16, '\0');
        bz_bit_writer w = {reinterpret_cast<unsigned char *>(&out[0]), 0, 0};
        uint32_t crc = 0;
        for (char c : {'B', 'Z', 'h', '9'}) bz_put_bits(&w, (unsigned char)c, 8);
        for (char c : data) {
            const std::string one = bz2(std::string(1, c));
            auto bytes = reinterpret_cast<const unsigned char *>(one.data());
            uint64_t end;
            uint32_t block_crc;
            if (!bz_single_block(bytes, one.size(), &end, &block_crc)) return std::string();
            bz_copy_bits(&w, bytes, kBzHeaderBits, end - kBzHeaderBits);
            crc = bz_combine_crc(crc, block_crc);
        }
        bz_put_bits(&w, kBzEndMagic >> 16, 32), bz_put_bits(&w, kBzEndMagic & 0xffff, 16), bz_put_bits(&w, crc, 32);
        bz_finish(&w);
        return out.substr(0, size_t(w.out - reinterpret_cast<unsigned char *>(&out[0])));
    };
    const std::string many = letters(5000);
    const struct {
        const char *what;
        std::string data, stream;
        unsigned workers;
        bool parallel;  // decoded block by block, else again in one pass
    } cases[] = {
        {"three blocks", letters(2000000), "", 2, true},
        // One worker decodes them all, from the memory its first block's decoder had.
        {"three blocks on one worker", letters(2000000), "", 1, true},
        {"no block", "", "", 2, true},
        {"the block magic inside a block", chance, "", 2, false},
        // Small blocks go to the workers thousands together, each stretch as a stream of its own.
        {"5000 blocks of one byte", many, one_byte_blocks(many), 2, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir / "in", c.stream.empty() ? bz2(c.data) : c.stream);
        os_file *in = os_fopen((dir / "in").c_str(), "rb"), *out = os_fopen((dir / "out").c_str(), "wb");
        bool parallel = false;
        EXPECT_EQ(decode_bzip2(in, out, c.workers, &parallel), STAR_OK);
        EXPECT_EQ(parallel, c.parallel);
        os_fclose(in);
        os_fclose(out);
        EXPECT_TRUE(read_file(dir / "out") == c.data);
    }
}
