// The payload pipeline on filesystems that fill up or refuse writes.
//
// Each case must fail, never succeed, and leave no temporary file behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>

#include "payload.h"
#include "payload_test_util.h"
#include "star_result.h"
#include "test_util.h"

using Files = std::map<std::string, std::string>;

namespace {

// A size-limited tmpfs mounted for one test (needs the right to mount, as root here and in CI).
struct SmallFs {
    SmallFs(size_t kib, bool read_only) {
        std::string opts = "size=" + std::to_string(kib) + "k";
        ok = mount("tmpfs", dir.path.c_str(), "tmpfs", read_only ? MS_RDONLY : 0, opts.c_str()) == 0;
    }
    ~SmallFs() {
        if (ok) umount2(dir.path.c_str(), MNT_DETACH);
    }
    TempDir dir;
    bool ok;
};

std::string incompressible(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s) c = char(rng());
    return strip_magic(s);
}

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getcwd(old_cwd, sizeof old_cwd));
        app = {{"zorv.exe", incompressible(150 * 1024, 1)}, {"lib/a.dll", incompressible(100 * 1024, 2)}};
        archive = make_archive(app);
        payload = bz2(archive);
        use_resources(images, {{ZORV_PAYLOAD_ID, payload}});
    }
    void TearDown() override {
        EXPECT_EQ(chdir(old_cwd), 0);
        unsetenv("ZORV_RESOURCE_IMAGE");
    }
    // Installs with cwd as the current folder into target; checks the failure's cause and that cwd
    // holds no temporary file afterwards.
    void expect_failure(const std::string &cwd, const std::string &target, star_result why = STAR_ERR_WRITE) {
        ASSERT_EQ(chdir(cwd.c_str()), 0);
        EXPECT_EQ(install_payload(target.c_str()), why);
        ASSERT_EQ(chdir(old_cwd), 0);
        EXPECT_FALSE(exists(cwd + "/tmp_inst.bz2"));
        EXPECT_FALSE(exists(cwd + "/tmp_inst.sta"));
    }

    Files app;
    std::string archive, payload;
    TempDir images, elsewhere;
    char old_cwd[4096];
};

#define REQUIRE_MOUNT(fs) \
    if (!(fs).ok) GTEST_SKIP() << "cannot mount a tmpfs here"

TEST_F(FullDisk, CompressedFileDoesNotFit) {
    SmallFs cwd(64, false);
    REQUIRE_MOUNT(cwd);
    ASSERT_LT(64 * 1024u, payload.size());
    expect_failure(cwd.dir.path, elsewhere / "target/");
    EXPECT_EQ(list_tree(elsewhere.path), Files{});
}

TEST_F(FullDisk, DecompressedArchiveDoesNotFit) {
    SmallFs cwd(payload.size() / 1024 + 64, false);
    REQUIRE_MOUNT(cwd);
    ASSERT_GT(archive.size(), 64 * 1024u);
    expect_failure(cwd.dir.path, elsewhere / "target/");
    EXPECT_EQ(list_tree(elsewhere.path), Files{});
}

// Too little room for the archive fails before the first entry; room for the archive but not for
// the disk's blocks of many small files fails half way, and the change is undone.
TEST_F(FullDisk, TargetFillsUp) {
    SmallFs small(128, false), blocks(256, false);
    REQUIRE_MOUNT(small);
    REQUIRE_MOUNT(blocks);
    expect_failure(elsewhere.path, small.dir / "app/", STAR_ERR_NO_ROOM);
    Files many;
    for (int i = 0; i < 200; i++) many["f" + std::to_string(i)] = incompressible(100, i);
    use_resources(images, {{ZORV_PAYLOAD_ID, bz2(make_archive(many))}});
    expect_failure(elsewhere.path, blocks.dir / "app/");
    EXPECT_EQ(list_tree(blocks.dir.path), Files{});
}

TEST_F(FullDisk, ReadOnlyCurrentFolder) {
    SmallFs cwd(1024, true);
    REQUIRE_MOUNT(cwd);
    expect_failure(cwd.dir.path, elsewhere / "target/");
    EXPECT_EQ(list_tree(elsewhere.path), Files{});
}

TEST_F(FullDisk, ReadOnlyTarget) {
    SmallFs target(1024, true);
    REQUIRE_MOUNT(target);
    expect_failure(elsewhere.path, target.dir / "app/");
    EXPECT_EQ(list_tree(target.dir.path), Files{});
}

TEST_F(FullDisk, EnoughRoomInstallsWhole) {
    SmallFs cwd(payload.size() / 1024 + archive.size() / 1024 + 64, false);
    SmallFs target(archive.size() / 1024 + 64, false);
    REQUIRE_MOUNT(cwd);
    REQUIRE_MOUNT(target);
    ASSERT_EQ(chdir(cwd.dir.path.c_str()), 0);
    EXPECT_EQ(install_payload((target.dir / "app/").c_str()), 0);
    ASSERT_EQ(chdir(old_cwd), 0);
    EXPECT_EQ(list_tree(target.dir / "app"), app);
    EXPECT_EQ(list_tree(cwd.dir.path), Files{});
}

}  // namespace
