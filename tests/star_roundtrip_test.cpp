// Writer to reader: every body comes back byte for byte in both line-break conventions.
#include <gtest/gtest.h>
#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "star.h"
#include "star_writer.h"
#include "test_util.h"

using namespace std::string_literals;

namespace {

const std::string kMagic = "-----SIMPLE-TAR--MEZTIL--BOUNDARY--";

// Bodies built around the places where the reader's framing decisions fall: line breaks at the
// start, middle and end, and lengths around the 63-byte forced write.
std::vector<std::string> tricky_bodies() {
    std::vector<std::string> bodies = {"", "\r", "\n", "\r\n", "\n\r", "\0"s, "\r\r", "\n\n", "\r\n\r\n",
                                       "\0\r\n\0"s, "x\r", "x\n", "\rx", "\nx", kMagic.substr(0, 34),
                                       "\n" + kMagic.substr(0, 34) + "\n", "-" + kMagic.substr(1, 33)};
    std::mt19937 rng(20261208);
    const char alphabet[] = {'\0', '\r', '\n', 'a', '-', 'S', '\xff'};
    for (size_t len : {61, 62, 63, 64, 65, 125, 126, 127, 4095, 4096, 4097, 70000}) {
        for (int variant = 0; variant < 12; variant++) {
            std::string b(len, 'z');
            for (char &c : b) c = variant % 3 == 0 ? alphabet[rng() % 7] : char(rng() % 256);
            // Line breaks at the edges and right at the forced write.
            const char *edges[] = {"\r", "\n", "\r\n"};
            if (variant % 4 == 1) b.insert(0, edges[rng() % 3]);
            if (variant % 4 == 2) b += edges[rng() % 3];
            if (variant % 4 == 3 && len > 64) b[62] = '\r', b[63] = '\n';
            // Random bytes could spell the magic only by a miracle, but the writer would refuse it.
            bodies.push_back(b);
        }
    }
    return bodies;
}

TEST(StarRoundTrip, EveryBodyComesBackInBothConventions) {
    std::vector<std::string> bodies = tricky_bodies();
    for (star_line_break lb : {STAR_LF, STAR_CRLF}) {
        SCOPED_TRACE(lb == STAR_LF ? "LF" : "CR LF");
        TempDir tmp;
        std::string archive = tmp / "a.star";
        FILE *out = fopen(archive.c_str(), "wb");
        star_writer w;
        ASSERT_EQ(star_writer_begin(&w, os_stdio(out), lb, 1215625293), STAR_OK);
        for (size_t i = 0; i < bodies.size(); i++) {
            std::string name = "d" + std::to_string(i % 5) + (i % 2 ? "/" : "\\") + "f" + std::to_string(i);
            ASSERT_EQ(star_writer_add_bytes(&w, name.c_str(), bodies[i].data(), bodies[i].size()), STAR_OK);
        }
        ASSERT_EQ(star_writer_end(&w), STAR_OK);
        fclose(out);

        ASSERT_EQ(star_extract_all_file(archive.c_str(), (tmp / "x").c_str()), 0);
        auto files = list_tree(tmp / "x");
        ASSERT_EQ(files.size(), bodies.size());
        for (size_t i = 0; i < bodies.size(); i++) {
            std::string name = "d" + std::to_string(i % 5) + "/f" + std::to_string(i);
            EXPECT_TRUE(files[name] == bodies[i]) << "body " << i << " of " << bodies[i].size() << " bytes";
        }
    }
}

TEST(StarRoundTrip, StreamedBodyEqualsInMemoryBody) {
    // Pieces of 64 KiB meet inside the magic: the streaming check must still see it.
    std::string body(70000, 'q');
    TempDir tmp;
    for (size_t at : {size_t(0), size_t(65536 - 20), size_t(70000 - 35)}) {
        std::string b = body;
        b.replace(at, kMagic.size(), kMagic);
        write_file(tmp / "body", b);
        FILE *in = fopen((tmp / "body").c_str(), "rb");
        FILE *out = tmpfile();
        star_writer w;
        star_writer_begin(&w, os_stdio(out), STAR_LF, 0);
        EXPECT_EQ(star_writer_add_file(&w, "b", os_stdio(in)), STAR_ERR_MAGIC) << at;
        EXPECT_EQ(star_writer_add_bytes(&w, "b", b.data(), b.size()), STAR_ERR_MAGIC) << at;
        fclose(in);
        fclose(out);
    }
    write_file(tmp / "body", body);
    FILE *in = fopen((tmp / "body").c_str(), "rb");
    FILE *out = fopen((tmp / "a.star").c_str(), "wb");
    star_writer w;
    star_writer_begin(&w, os_stdio(out), STAR_CRLF, 0);
    EXPECT_EQ(star_writer_add_file(&w, "b", os_stdio(in)), STAR_OK);
    star_writer_end(&w);
    fclose(in);
    fclose(out);
    std::string dest = tmp / "b.out";
    EXPECT_EQ(star_extract_one_file((tmp / "a.star").c_str(), "b", &dest[0]), 0);
    EXPECT_TRUE(read_file(dest) == body);
}

TEST(StarWriter, LayoutAndBoundaryFilling) {
    FILE *out = tmpfile();
    star_writer w;
    star_writer_begin(&w, os_stdio(out), STAR_LF, 1215625293);
    star_writer_add_bytes(&w, "zorv.exe", "MZ", 2);
    star_writer_add_bytes(&w, "b", "", 0);
    star_writer_end(&w);
    rewind(out);
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf, out);
    fclose(out);
    const std::string sep = "---------------------cortar desde aqui----------------------";
    const std::string b1 = kMagic + "-1215625293-2201---------";
    const std::string b2 = kMagic + "-1215625293-2202---------";
    EXPECT_EQ(std::string(buf, n), b1 + "\nnombre=zorv.exe\n" + sep + "\nMZ\n" + b1 + "\nnombre=b\n" + sep + "\n\n" +
                                       b2 + "\n");
}

TEST(StarWriter, RefusesNamesTheReaderCannotGiveBack) {
    const std::string too_long(293, 'n');
    const char *bad[] = {"", "a\nb", "trailing\r", "../up", "/abs", "\\abs", "c:x", too_long.c_str()};
    FILE *out = tmpfile();
    star_writer w;
    star_writer_begin(&w, os_stdio(out), STAR_LF, 0);
    long before = ftell(out);
    for (const char *name : bad) EXPECT_EQ(star_writer_add_bytes(&w, name, "x", 1), STAR_ERR_NAME) << name;
    EXPECT_EQ(ftell(out), before);  // nothing written for a refused name
    EXPECT_EQ(star_writer_add_bytes(&w, std::string(292, 'n').c_str(), "x", 1), STAR_OK);
    fclose(out);
}

}  // namespace
