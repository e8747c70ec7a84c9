// The settings lookup over blocks given byte for byte, bounded by their size alone.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>

#include "payload.h"
#include "payload_test_util.h"
#include "test_util.h"

namespace {

const char *const kNull = nullptr;  // an expected result of null

struct Case {
    std::string block;
    const char *key;
    std::optional<std::string> expected;  // none: null
    Case(std::string b, const char *k, const char *e) : block(std::move(b)), key(k) {
        if (e) expected = e;
    }
    Case(std::string b, const char *k, std::string e) : block(std::move(b)), key(k), expected(std::move(e)) {}
};

// Blocks are resources of exactly their size: run under AddressSanitizer, a lookup that reads a
// byte beyond a block fails the test.
const Case kCases[] = {
    {"\nname=abc \n", "name", "abc"},
    {"name=abc ", "name", kNull},                              // the first line is never examined
    {"\nname=abc\nsize=10 \n", "name", "abc\nsize=10"},      // only a space ends a value
    {"\nname=abc", "name", kNull},                            // no space ends the value
    {"\nname= xyz \n", "name", ""},                           // empty, not null
    {"\nname=abc \nname=xyz \n", "name", "abc"},              // the first matching line decides
    {"\nname=abc\nname=xyz \n", "name", "abc\nname=xyz"},
    {"\n\r\n\r\na=1 ", "a", "1"},                             // CR and LF runs are passed over
    {"\n a=1 \n", "a", kNull},                                // a line starting with a space holds no key
    {"\n=abc \n", "", "abc"},
    {"\nna", "name", kNull},
    {"\nname", "name", kNull},
    {"\nname=", "name", kNull},
    {"\nname= ", "name", ""},
    {"\nnames=1 \nname=2 \n", "name", "2"},                  // a key matches only a whole key
    {"\nab=1 \n", "abc", kNull},
    {"\nNAME=1 \n", "name", kNull},                          // case-sensitive
    {"first line\r\nkey=v \r\n", "key", "v"},
    {"\n\n\n", "a", kNull},
    {"\n", "a", kNull},
    {"\nkey=" + std::string(192, 'v') + " ", "key", std::string(192, 'v')},  // the longest value that fits
    {"\nkey=" + std::string(193, 'v') + " ", "key", kNull},  // longer: not found rather than cut
    {std::string("\na=\0 b\0 ", 8), "a", "\0"},              // a NUL in a value ends the text early
};

class Settings : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("ZORV_RESOURCE_IMAGE"); }
    TempDir images;
};

TEST_F(Settings, LookupTable) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(testing::PrintToString(c.block) + " key " + c.key);
        use_resources(images, {{ZORV_PAYLOAD_ID, "payload"}, {ZORV_SETTINGS_ID, c.block}});
        const char *got = lookup_embedded_setting(c.key);
        if (!c.expected) EXPECT_EQ(got, nullptr);
        else if (got) EXPECT_EQ(std::string(got), *c.expected);
        else ADD_FAILURE() << "null, expected " << *c.expected;
    }
}

TEST_F(Settings, NullWhereThereIsNoBlock) {
    use_resources(images, {{ZORV_PAYLOAD_ID, "payload"}});
    EXPECT_EQ(lookup_embedded_setting("name"), nullptr);
    use_resources(images, {{ZORV_SETTINGS_ID, ""}});
    EXPECT_EQ(lookup_embedded_setting("name"), nullptr);
    use_resources(images, {{ZORV_SETTINGS_ID, "\na=1 \n"}});
    EXPECT_EQ(lookup_embedded_setting(nullptr), nullptr);
}

TEST_F(Settings, LaterLookupReplacesTheSharedResult) {
    use_resources(images, {{ZORV_SETTINGS_ID, "\na=1 \nb=2 \n"}});
    char *a = lookup_embedded_setting("a");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "1");
    char *b = lookup_embedded_setting("b");
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "2");
}

}  // namespace
