/* REGISTRY_CONFIG names the configuration file for every reader of it
 * (settings, storage root, authentication, access log), as an installed
 * registry needs: programs in one directory, configuration in another. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cgi_test_util.h"
#include "oci_common.h"
#include "tv_audit.h"
#include "tv_config.h"
#include "v2_auth.h"

namespace
{

using namespace testsupport;

/* The working directory holds a config.json of its own, so a reader that
 * ignored the setting would see different values. */
class ConfigPath : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    ScopedEnv env_root{"REGISTRY_STORAGE_ROOT", nullptr};
    ScopedEnv env_config{"REGISTRY_CONFIG", nullptr};
    std::string etc_config = (tmp.path() / "etc" / "config.json").string();
    std::string etc_root = (tmp.path() / "var" / "store").string();

    void SetUp() override
    {
        write_text(tmp.path() / "config.json",
                   "{\"registry_storage_root\":\"cwd-root\",\"registry_quota_bytes\": 11}");
        // A Windows path's backslashes escaped, as JSON wants them.
        std::string escaped;
        for (char c : etc_root)
            escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        write_text(etc_config, "{\"registry_storage_root\":\"" + escaped +
                                   "\",\"registry_quota_bytes\": 22,"
                                   "\"registry_access_log_max_bytes\": 4096,"
                                   "\"registry_auth_user\":\"alice\",\"registry_auth_sha256\":\"" +
                                   std::string(64, 'a') + "\"}");
    }
};

TEST_F(ConfigPath, PathFollowsTheEnvironment)
{
    struct Case {
        const char *env;
        std::string want;
    };
    const Case cases[] = {
        {nullptr, "config.json"},
        {"", "config.json"}, // empty counts as unset
        {"/etc/x/config.json", "/etc/x/config.json"},
    };
    for (const Case &c : cases) {
        ScopedEnv env("REGISTRY_CONFIG", c.env);
        EXPECT_EQ(tv_config_path(), c.want) << (c.env ? c.env : "(unset)");
    }
}

TEST_F(ConfigPath, EveryReaderUsesTheNamedFile)
{
    tv_config_reload();
    char root[1024];
    oci_storage_root(root, sizeof root);
    EXPECT_STREQ(root, "cwd-root");
    EXPECT_EQ(oci_quota_bytes(), 11);
    EXPECT_EQ(registry_auth_enabled(), 0);

    ScopedEnv env("REGISTRY_CONFIG", etc_config.c_str());
    tv_config_reload();
    oci_storage_root(root, sizeof root);
    EXPECT_EQ(std::string(root), etc_root);
    EXPECT_EQ(oci_quota_bytes(), 22);
    EXPECT_EQ(registry_auth_enabled(), 1);
    // The access log keeps its state per process: look in a child.
#ifdef _WIN32
    const std::string want_log = etc_root + "\\registry_access.log";
#else
    const std::string want_log = etc_root + "/registry_access.log";
#endif
    cgitest::run_in_child([&] {
        if (std::string(tv_audit_log_path()) != want_log || tv_audit_cap_bytes() != 4096) {
            std::fprintf(stderr, "log %s, cap %lld\n", tv_audit_log_path(),
                         static_cast<long long>(tv_audit_cap_bytes()));
            std::exit(1);
        }
    });
}

TEST_F(ConfigPath, AMissingNamedFileIsAnErrorNotTheWorkingDirectorysFile)
{
    ScopedEnv env("REGISTRY_CONFIG", (tmp.path() / "absent.json").string().c_str());
    tv_config_reload();
    ASSERT_NE(tv_config_error(), nullptr);
    EXPECT_NE(std::string(tv_config_error()).find("absent.json"), std::string::npos);
    EXPECT_EQ(oci_quota_bytes(), 0); // not the 11 of the working directory's file
    tv_config_reload();
}

} // namespace
