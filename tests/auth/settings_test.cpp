/* The authentication switch and the guarded paths. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "tv_config.h"
#include "v2_auth.h"

namespace
{

using namespace testsupport;

const std::string kDigest(64, 'a');

class AuthSettings : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    ScopedEnv env_config{"REGISTRY_CONFIG", nullptr};
    void config(const std::string &text)
    {
        write_text(tmp.path() / "config.json", text);
        tv_config_reload();
    }
    void TearDown() override { tv_config_reload(); }
};

std::string settings(const std::string &user, const std::string &digest)
{
    return "{\"registry_auth_user\": \"" + user + "\", \"registry_auth_sha256\": \"" + digest +
           "\"}";
}

TEST_F(AuthSettings, OnOnlyWithAValidUserAndDigest)
{
    tv_config_reload();
    EXPECT_EQ(registry_auth_enabled(), 0) << "no file";
    struct Case {
        std::string file;
        int want;
    };
    // A malformed pair is an invalid file now, never "authentication off":
    // the programs refuse every request for it (500) instead of running open.
    const Case cases[] = {
        {settings("alice", kDigest), 1},
        {settings(std::string(127, 'u'), kDigest), 1},
        {settings("alice", std::string(64, 'g')), 0},
        {settings(std::string(128, 'u'), kDigest), 0},
        {settings("", kDigest), 0},
        {settings("alice", std::string(63, 'a')), 0},
        {"{\"registry_auth_user\": \"alice\"}", 0},
        {"{}", 0},
        // Keys far into the file count like any other.
        {"{\"_pad\": \"" + std::string(9000, 'x') + "\", " + settings("alice", kDigest).substr(1),
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 80));
        config(c.file);
        EXPECT_EQ(registry_auth_enabled(), c.want);
        if (c.want == 0 && c.file != "{}") {
            EXPECT_NE(tv_config_error(), nullptr);
        }
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
