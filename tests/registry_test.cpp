// The registry record through the Linux registry, whose values are files a test can inspect.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "driver.h"
#include "test_util.h"

using namespace std::string_literals;

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_CONFIG_HOME", config.path.c_str(), 1); }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
    std::string value_file(const std::string &key_and_name) const {
        return config / ("zorvana/registry/HKEY_CURRENT_USER/" + key_and_name);
    }
    TempDir config;
    os_key user = os_current_user_key();
};

const char *read(os_key root, const char *subkey, const char *name) {
    return registry_read_string(root, subkey, name);
}

TEST_F(Registry, RecordsTheInstallPathWithItsTerminator) {
    EXPECT_EQ(record_install_path("C:\\Program Files\\zorvdal\\zorv.exe"), 0);
    EXPECT_EQ(read_file(value_file("Software/zorvdal/Path")), "C:\\Program Files\\zorvdal\\zorv.exe\0"s);
    EXPECT_STREQ(read(user, "Software\\zorvdal", "Path"), "C:\\Program Files\\zorvdal\\zorv.exe");

    record_install_path("D:\\otra\\zorv.exe");
    EXPECT_STREQ(read(user, "Software\\zorvdal", "Path"), "D:\\otra\\zorv.exe");
}

TEST_F(Registry, RoundTripsUpToTheReadLimit) {
    const struct {
        std::string text;
        bool read_back;  // data of text length + 1 bytes
    } cases[] = {
        {"", true},
        {"C:\\zorvdal\\zorv.exe", true},
        {"acentos \xe1\xe9\xed y \"comillas\"", true},
        {std::string(999, 'x'), true},    // 1000 bytes
        {std::string(1000, 'y'), false},  // 1001 bytes
    };
    for (const auto &c : cases) {
        ASSERT_EQ(registry_write_string(user, "Software\\prueba", "Valor", c.text.c_str()), 0);
        EXPECT_EQ(read_file(value_file("Software/prueba/Valor")).size(), c.text.size() + 1);
        const char *got = read(user, "Software\\prueba", "Valor");
        if (c.read_back) EXPECT_EQ(got ? std::string(got) : "(none)", c.text) << "length " << c.text.size();
        else EXPECT_EQ(got, nullptr) << "length " << c.text.size();
    }
}

// Another program may store a string without its terminator; the read still gives a text.
TEST_F(Registry, TerminatesAValueStoredWithoutTerminator) {
    ASSERT_EQ(registry_write_string(user, "Software\\zorvdal", "Path", "placeholder"), 0);
    const std::string cases[] = {"C:\\sin\\fin", std::string(1000, 'z')};
    for (const std::string &stored : cases) {
        write_file(value_file("Software/zorvdal/Path"), stored);
        // A longer text first leaves its bytes in the shared buffer.
        registry_write_string(user, "Software\\zorvdal", "Long", std::string(999, '#').c_str());
        read(user, "Software\\zorvdal", "Long");
        const char *got = read(user, "Software\\zorvdal", "Path");
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::string(got), stored);
    }
}

TEST_F(Registry, MissingKeysAndValuesGiveNoneAndCreateNothing) {
    EXPECT_EQ(read(user, "Software\\zorvdal", "Path"), nullptr);
    EXPECT_FALSE(exists(value_file("Software")));
    ASSERT_EQ(registry_write_string(user, "Software\\zorvdal", "Path", "x"), 0);
    EXPECT_EQ(read(user, "Software\\zorvdal", "Otro"), nullptr);
    EXPECT_EQ(read(user, "Software\\zorvdal\\sub", "Path"), nullptr);
    EXPECT_FALSE(exists(value_file("Software/zorvdal/sub")));
}

// Names reach the file system only as names inside their key's folder.
TEST_F(Registry, NamesStayInsideTheirKey) {
    const struct {
        const char *subkey, *name, *file;
    } cases[] = {
        {"Software\\..", "Path", "Software/%2E./Path"},
        {"Software\\a/b", "x/y", "Software/a%2Fb/x%2Fy"},
        {"Software", "", "Software/@"},
        {"Software", "@", "Software/%40"},
        {"Software", ".hidden", "Software/%2Ehidden"},
        {"Software", "100%", "Software/100%25"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(registry_write_string(user, c.subkey, c.name, c.file), 0) << c.file;
        EXPECT_EQ(read_file(value_file(c.file)), c.file + "\0"s);
        EXPECT_STREQ(read(user, c.subkey, c.name), c.file);
    }
}

TEST_F(Registry, AKeyThatCannotBeCreatedSetsNothing) {
    const char *bad_subkeys[] = {"\\Software", "Software\\\\zorvdal", "Software\\zorvdal\\"};
    for (const char *subkey : bad_subkeys) EXPECT_NE(registry_write_string(user, subkey, "Path", "x"), 0) << subkey;
    // A file where the registry's folder belongs.
    write_file(config / "zorvana", "not a folder");
    EXPECT_NE(registry_write_string(user, "Software\\zorvdal", "Path", "x"), 0);
    EXPECT_EQ(record_install_path("C:\\zorv.exe"), 0);
    EXPECT_EQ(read_file(config / "zorvana"), "not a folder");
}

}  // namespace
