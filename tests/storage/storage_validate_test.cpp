/* Validators, digests of file names, the JSON escape, bin_to_hex and sort_str. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage_internal.h"

namespace
{

using namespace storage;

const std::string kHex(64, 'a');
const std::string kMixedHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

struct ValidCase {
    const char *label;
    std::string text;
    int expected;
};

TEST(Validators, DigestOfAFileName)
{
    const std::string hex512(128, 'e');
    const struct {
        const char *label;
        digest_algorithm algorithm; /* DIGEST_NONE: any */
        std::string name;
        std::string expected; /* "" when refused */
    } cases[] = {
        {"sha256 name", DIGEST_SHA256, kMixedHex, "sha256:" + kMixedHex},
        {"sha512 name", DIGEST_SHA512, hex512, "sha512:" + hex512},
        {"sha256 digits in the sha512 directory", DIGEST_SHA512, kMixedHex, ""},
        {"upper case", DIGEST_SHA256, std::string(64, 'F'), ""},
        {"63 digits", DIGEST_SHA256, kMixedHex.substr(1), ""},
        {"a temporary beside it", DIGEST_SHA256, kMixedHex + ".gc-12", ""},
        {"content-type file", DIGEST_SHA256, kMixedHex + ".ct", ""},
        {"empty", DIGEST_SHA256, "", ""},
        {"any: 64 digits", DIGEST_NONE, kMixedHex, "sha256:" + kMixedHex},
        {"any: 128 digits", DIGEST_NONE, hex512, "sha512:" + hex512},
        {"any: 96 digits", DIGEST_NONE, std::string(96, 'a'), ""},
        {"any: a colon inside", DIGEST_NONE, "sha256:" + kMixedHex, ""},
    };
    for (const auto &c : cases) {
        char out[DIGEST_TEXT_CAP];
        const int rc = c.algorithm == DIGEST_NONE
                           ? digest_of_any_name(c.name.c_str(), out)
                           : digest_of_name(c.algorithm, c.name.c_str(), out);
        EXPECT_EQ(rc, c.expected.empty() ? -1 : 0) << c.label;
        EXPECT_EQ(std::string(out), c.expected) << c.label;
    }
    EXPECT_STREQ(digest_hex(("sha512:" + hex512).c_str()), hex512.c_str());
}

TEST(Validators, UuidValid)
{
    const ValidCase cases[] = {
        {"generated form", "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b", 1},
        {"no version digit needed", "00000000-0000-0000-0000-000000000000", 1},
        {"upper case", "12105CF4-1D0D-A12B-5247-BC73A8EA5F1B", 0},
        {"dash moved", "12105cf41-d0d-a12b-5247-bc73a8ea5f1b", 0},
        {"digit for a dash", "12105cf4-1d0d-a12b-52470bc73a8ea5f1b", 0},
        {"non-hex", "12105cf4-1d0d-a12b-5247-bc73a8ea5f1g", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(uuid_valid(c.text.c_str()), c.expected) << c.label;
}

TEST(Validators, RepoNameValid)
{
    const ValidCase cases[] = {
        {"upper case and slash", "Library/Ubuntu", 1},
        {"double slash", "a//b", 1},
        {"leading slash", "/a", 1},
        {"trailing slash", "a/", 1},
        {"backslash", "team\\app", 1},
        {"all allowed punctuation", "a-b.c_d", 1},
        {"255 bytes", std::string(255, 'n'), 1},
        {"256 bytes", std::string(256, 'n'), 0},
        {"dot dot", "a..b", 0},
        {"dot dot component", "a/../b", 0},
        {"space", "a b", 0},
        {"colon", "a:b", 0},
        {"quote", "a\"b", 0},
        {"high byte", "caf\xc3\xa9", 0},
        {"lone dot: the repositories directory itself", ".", 0},
        {"dot component", "a/./b", 0},
        {"trailing dot component", "a/.", 0},
        {"dot component after a backslash", "a\\.", 0},
        {"leading dot in a name", ".a/b.", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(repo_name_valid(c.text.c_str()), c.expected) << c.label;
}

TEST(Validators, TagValid)
{
    const ValidCase cases[] = {
        {"plain", "latest", 1},
        {"version", "v1.2.3-rc_1", 1},
        {"underscore first", "_x", 1},
        {"digit first", "1.0", 1},
        {"dots inside", "a..b", 1},
        {"128 bytes", std::string(128, 't'), 1},
        {"129 bytes", std::string(129, 't'), 0},
        {"empty", "", 0},
        {"dot first", ".hidden", 0},
        {"dot dot", "..", 0},
        {"dash first", "-x", 0},
        {"slash", "a/b", 0},
        {"backslash", "a\\b", 0},
        {"colon", "a:b", 0},
        {"space", "a b", 0},
        {"line feed", "a\n", 0},
        {"control byte", "a\x01", 0},
        {"high byte", "caf\xc3\xa9", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tag_valid(c.text.c_str()), c.expected) << c.label;
    EXPECT_EQ(tag_valid(nullptr), 0);
}

TEST(JsonEscape, EscapesEveryClassOfByte)
{
    struct Case {
        const char *label;
        std::string src;
        std::string expected;
    };
    const Case cases[] = {
        {"plain text", "team/app-1.0_x", "team/app-1.0_x"},
        {"quote", "a\"b", "a\\\"b"},
        {"backslash", "a\\b", "a\\\\b"},
        {"short escapes", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"other control bytes", "\x01\x1f\x0b", "\\u0001\\u001f\\u000b"},
        {"DEL and high bytes unchanged", "\x7f\xc3\xa9", "\x7f\xc3\xa9"},
        {"empty", "", ""},
    };
    for (const auto &c : cases) {
        char buf[128];
        std::memset(buf, '#', sizeof buf);
        size_t n = json_escape_append(buf, sizeof buf, c.src.c_str());
        EXPECT_EQ(std::string(buf, n), c.expected) << c.label;
        EXPECT_EQ(buf[n], '\0') << c.label;
        EXPECT_EQ(json_escaped_len(c.src.c_str()), c.expected.size()) << c.label;
    }
}

TEST(JsonEscape, StopsBeforeAByteWithoutNineBytesOfRoom)
{
    struct Case {
        const char *label;
        size_t size;
        std::string expected;
    };
    /* "abc" + 0x01 + "d": each byte needs written + 8 < size before it. */
    const Case cases[] = {
        {"room for all", 64, "abc\\u0001d"},
        {"exactly enough for all", 18, "abc\\u0001d"},
        {"last byte dropped", 17, "abc\\u0001"},
        {"escape dropped whole", 11, "abc"},
        {"two bytes", 10, "ab"},
        {"nothing fits", 8, ""},
    };
    for (const auto &c : cases) {
        char buf[80];
        std::memset(buf, '#', sizeof buf);
        size_t n = json_escape_append(buf, c.size,
                                      "abc\x01"
                                      "d");
        EXPECT_EQ(std::string(buf, n), c.expected) << c.label;
        EXPECT_EQ(buf[n], '\0') << c.label;
        EXPECT_EQ(buf[c.size], '#') << c.label << ": wrote past size";
    }
}

TEST(JsonEscape, NullOrEmptySourceWritesOnlyTheTerminator)
{
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(json_escape_append(buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(buf[0], '\0');
    buf[0] = '#';
    EXPECT_EQ(json_escape_append(buf, 0, "abc"), 0u);
    EXPECT_EQ(buf[0], '#') << "size 0 leaves the destination alone";
}

TEST(BinToHex, HighNibbleFirstLowerCase)
{
    uint8_t bytes[32];
    for (int i = 0; i < 32; ++i)
        bytes[i] = static_cast<uint8_t>(i * 8 + 7);
    bytes[0] = 0x0f;
    bytes[31] = 0xf0;
    char out[65];
    bin_to_hex(bytes, out);
    EXPECT_EQ(std::strlen(out), 64u);
    EXPECT_EQ(std::string(out, 6), "0f0f17");
    EXPECT_EQ(std::string(out + 62), "f0");
    EXPECT_EQ(std::strspn(out, "0123456789abcdef"), 64u);
}

TEST(SortStr, ByteWiseAscending)
{
    std::vector<std::string> texts = {"b", "a/x", "aa", "a", "B", "a-", "a/x"};
    std::vector<char *> ptrs;
    for (auto &t : texts)
        ptrs.push_back(t.data());
    sort_str(ptrs.data(), static_cast<int>(ptrs.size()));
    std::vector<std::string> got(ptrs.begin(), ptrs.end());
    EXPECT_EQ(got, (std::vector<std::string>{"B", "a", "a-", "a/x", "a/x", "aa", "b"}));
}

} // namespace
