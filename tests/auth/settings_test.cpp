/* The string lookup, the authentication switch and the guarded paths. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "v2_auth.h"

namespace
{

using namespace testsupport;

const std::string kDigest(64, 'a');

TEST(JsonStrKey, RawTextBetweenTheQuotesAfterTheColon)
{
    struct Case {
        std::string json;
        std::string key;
        size_t out_size;
        int want;
        std::string out; // "keep" when untouched
    };
    const Case cases[] = {
        {"{\"user\": \"alice\"}", "user", 16, 1, "alice"},
        {"{\"user\"   :\"alice\"}", "user", 16, 1, "alice"},
        {"{\"user\" junk : \"alice\"}", "user", 16, 1, "alice"}, // bytes before ':' passed over
        {"{\"user\": \"\"}", "user", 16, 1, ""},
        {"{\"user\": \"a\\\\b\"}", "user", 16, 1, "a\\\\b"}, // no unescaping
        {"{\"user\": \"a\\\"b\"}", "user", 16, 1, "a\\"},    // an escaped quote ends it
        {"{\"user\": 5, \"x\": \"y\"}", "user", 16, 1, "x"}, // the next quoted text
        {"{\"user\": \"alice\"}", "user", 6, 1, "alice"},    // exactly fits with its NUL
        {"{\"user\": \"alice\"}", "user", 5, 0, "keep"},     // too long: absent, not cut
        {"{\"user\": \"alice\"}", "user", 0, 0, "keep"},
        {"{\"user\": \"alice}", "user", 16, 0, "keep"},
        {"{\"user\" \"alice\"}", "user", 16, 0, "keep"},
        {"{\"username\": \"bob\"}", "user", 16, 0, "keep"},
        // The key written as a value is its first occurrence.
        {"{\"note\": \"user\", \"other\": \"v\", \"user\": \"x\"}", "user", 16, 1, "v"},
        {"{\"" + std::string(93, 'k') + "\": \"v\"}", std::string(93, 'k'), 16, 1, "v"},
        // A key too long for the quoted-key buffer is refused, not cut into
        // a prefix that could match another key.
        {"{\"" + std::string(94, 'k') + "\": \"v\"}", std::string(94, 'k'), 16, 0, "keep"},
        {"{\"" + std::string(100, 'k') + "\": \"v\"}", std::string(94, 'k'), 16, 0, "keep"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json.substr(0, 60));
        char out[32] = "keep";
        EXPECT_EQ(json_str_key(c.json.c_str(), c.key.c_str(), out, c.out_size), c.want);
        EXPECT_EQ(std::string(out), c.out);
    }
    char out[8] = "keep";
    EXPECT_EQ(json_str_key(nullptr, "user", out, sizeof out), 0);
    EXPECT_EQ(json_str_key("{\"user\":\"a\"}", nullptr, out, sizeof out), 0);
    EXPECT_EQ(json_str_key("{\"user\":\"a\"}", "user", nullptr, sizeof out), 0);
    EXPECT_STREQ(out, "keep");
}

class AuthSettings : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    void config(const std::string &text) { write_text(tmp.path() / "config.json", text); }
};

std::string settings(const std::string &user, const std::string &digest)
{
    return "{\"registry_auth_user\": \"" + user + "\", \"registry_auth_sha256\": \"" + digest +
           "\"}";
}

TEST_F(AuthSettings, OnOnlyWithAUserAndA64ByteDigest)
{
    EXPECT_EQ(registry_auth_enabled(), 0) << "no file";
    struct Case {
        std::string file;
        int want;
    };
    const Case cases[] = {
        {settings("alice", kDigest), 1},
        {settings("alice", std::string(64, 'g')), 1}, // the digits are not checked here
        {settings(std::string(127, 'u'), kDigest), 1},
        {settings(std::string(128, 'u'), kDigest), 0}, // too long counts as absent
        {settings("", kDigest), 0},
        {settings("alice", std::string(63, 'a')), 0},
        {settings("alice", std::string(65, 'a')), 0},
        {settings("alice", ""), 0},
        {"{\"registry_auth_sha256\": \"" + kDigest + "\"}", 0},
        {"{\"registry_auth_user\": \"alice\"}", 0},
        {"{\"registry_auth_user\": \"alice\", \"registry_auth_sha256\": 5}", 0},
        {"", 0},
        {std::string("\0", 1) + settings("alice", kDigest), 0}, // binary: a NUL ends the text
        {"\xff\xfe\x01" + settings("alice", kDigest), 1},
        // Beyond the first 4,095 bytes the settings are not seen.
        {"{\"pad\": \"" + std::string(4000, 'x') + "\", " + settings("alice", kDigest).substr(1),
         0},
        {"{\"pad\": \"" + std::string(3900, 'x') + "\", " + settings("alice", kDigest).substr(1),
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 80));
        config(c.file);
        EXPECT_EQ(registry_auth_enabled(), c.want);
    }
}

TEST(GuardedPath, UnderTheApiRootOnly)
{
    struct Case {
        const char *path;
        int want;
    };
    const Case cases[] = {
        {"/v2", 1},      {"/v2/", 1}, {"//v2/team/app/tags/list", 1},
        {"v2", 1},       {"/v2x", 0}, {"/V2/", 0},
        {"/healthz", 0}, {"", 0},     {"/", 0},
        {"/v", 0},       {"/v3/", 0}, {"/x/v2/", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(registry_auth_path_guarded(c.path), c.want) << c.path;
    EXPECT_EQ(registry_auth_path_guarded(nullptr), 0);
}

} // namespace
