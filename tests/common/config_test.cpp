/* The integer and boolean settings: each reader scans the first 4,095
 * bytes of config.json for its quoted key, so the file's layout matters. */
#include <gtest/gtest.h>

#include <string>

#include "oci_common.h"
#include "test_support.h"

namespace
{

using namespace testsupport;

/* A private working directory whose config.json the case writes. */
class Settings : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    void config(const std::string &text) { write_text(tmp.path() / "config.json", text); }
};

/* Text of config.json that puts key: value after filler bytes. */
std::string padded(size_t filler, const std::string &entry)
{
    return "{\"pad\": \"" + std::string(filler, 'x') + "\", " + entry + "}";
}

TEST_F(Settings, IntegerReaderTakesLeadingDigitsOnly)
{
    struct Case {
        std::string file;
        int64_t want;
    };
    const Case cases[] = {
        {"{\"registry_retention_keep_n\": 5}", 5},
        {"{\"registry_retention_keep_n\":5}", 5},
        {"{\"registry_retention_keep_n\" :\n\t\r 12}", 12}, // blanks on both sides
        {"{\"registry_retention_keep_n\": \"5\"}", 0},      // quoted
        {"{\"registry_retention_keep_n\": -3}", 0},
        {"{\"registry_retention_keep_n\": 5.9}", 5},
        {"{\"registry_retention_keep_n\": 5MB}", 5},
        {"{\"registry_retention_keep_n\": true}", 0},
        {"{\"registry_retention_keep_n\": null}", 0},
        {"{\"registry_retention_keep_n\": 99999999999999999999999}", INT64_MAX},
        {"{\"registry_retention_keep_n\" 5}", 0}, // no colon anywhere after it
        {"{\"registry_retention_keep_n\"", 0},
        {"{\"keep_n\": 5}", 0},
        {"{\"registry_retention_keep_n_x\": 5}", 0}, // the quotes are part of the key
        // Escaped quotes inside a string do not form the quoted key.
        {"{\"note\": \"set \\\"registry_retention_keep_n\\\" below\", "
         "\"registry_retention_keep_n\": 4}",
         4},
        // The key as a string value is the first occurrence: the number after
        // the next colon is taken, whatever key it belongs to.
        {"{\"about\": \"registry_retention_keep_n\", \"other\": 9, "
         "\"registry_retention_keep_n\": 4}",
         9},
        {"{\"about\": \"registry_retention_keep_n\", \"other\": \"x\", "
         "\"registry_retention_keep_n\": 4}",
         0},
        {"{\"note\": \"\\\"registry_retention_keep_n\":8}", 8},
        {"", 0},
        {std::string("\0\"registry_retention_keep_n\": 5", 31), 0}, // a NUL ends the text
        {"\x89PNG\r\n\x1a\n\xff\xfe\"registry_retention_keep_n\":\x01 5", 0},
        {"\xff\xfe\"registry_retention_keep_n\": 6\xff", 6},
        {padded(4000, "\"registry_retention_keep_n\": 9"), 9},
        {padded(4100, "\"registry_retention_keep_n\": 9"), 0}, // beyond the bytes read
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 120));
        config(c.file);
        EXPECT_EQ(oci_retention_keep_n(), c.want);
    }
}

TEST_F(Settings, ReadWindowEndsAfter4095Bytes)
{
    // The value's first digit is the 4,095th byte: seen, and cut there.
    const std::string head = "{\"registry_quota_bytes\":";
    std::string file = head + std::string(4094 - head.size(), ' ') + "78";
    ASSERT_EQ(file.size(), 4096u);
    config(file);
    EXPECT_EQ(oci_quota_bytes(), 7);
}

TEST_F(Settings, EachReaderHasItsOwnKey)
{
    config("{\"registry_retention_keep_n\": 3, \"registry_retention_days\": 30,\n"
           " \"registry_quota_bytes\": 1073741824}");
    EXPECT_EQ(oci_retention_keep_n(), 3);
    EXPECT_EQ(oci_retention_days(), 30);
    EXPECT_EQ(oci_quota_bytes(), 1073741824);
    EXPECT_EQ(oci_config_int("\"registry_retention_days\""), 30);
    // The key is searched exactly as given, quotes and all.
    EXPECT_EQ(oci_config_int("registry_retention_days"), 30);
    EXPECT_EQ(oci_config_int("\"registry_retention\""), 0);
    EXPECT_EQ(oci_config_int(nullptr), 0);
}

TEST_F(Settings, WithoutAFileEveryReaderGivesItsDefault)
{
    EXPECT_EQ(oci_retention_keep_n(), 0);
    EXPECT_EQ(oci_retention_days(), 0);
    EXPECT_EQ(oci_quota_bytes(), 0);
    EXPECT_EQ(oci_retention_protect_latest(), 1);
    // A directory of that name cannot be read as a file either.
    fs::create_directory(tmp.path() / "config.json");
    EXPECT_EQ(oci_quota_bytes(), 0);
    EXPECT_EQ(oci_retention_protect_latest(), 1);
}

TEST_F(Settings, ProtectLatestIsOnUnlessClearlyOff)
{
    struct Case {
        std::string value;
        int want;
    };
    const Case cases[] = {
        {"false", 0}, {"0", 0},          {"00", 0},    {"true", 1},
        {"7", 1},     {"\"false\"", 1}, // a quoted false is not false
        {"False", 1}, {"falsey", 0},     {"truex", 1}, {"-1", 1},
        {"null", 1},  {"\n\t false", 0}, {"0x10", 0}, // the decimal number there is 0
        {"", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        config("{\"registry_retention_protect_latest\":" + c.value + "}");
        EXPECT_EQ(oci_retention_protect_latest(), c.want);
    }
    config("{\"other\": false}");
    EXPECT_EQ(oci_retention_protect_latest(), 1);
    config(padded(4100, "\"registry_retention_protect_latest\": false"));
    EXPECT_EQ(oci_retention_protect_latest(), 1);
}

TEST_F(Settings, EnormousFileIsReadOnlyAtItsStart)
{
    // 64 MiB of filler after the key: the readers look at 4,095 bytes only.
    std::string file = "{\"registry_retention_days\": 14, \"pad\": \"";
    file.append(64u << 20, 'x');
    file += "\"}";
    config(file);
    EXPECT_EQ(oci_retention_days(), 14);
}

} // namespace
