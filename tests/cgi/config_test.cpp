/* The settings reader: one parse of the whole file against the table of
 * keys, refusals that name the problem, the file found once per process,
 * and the README's Configuration table held to the table. */
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "test_support.h"
#include "tv_config.h"

#ifndef REGISTRY_SOURCE_DIR
#error "REGISTRY_SOURCE_DIR names the project's source directory"
#endif

namespace
{

using namespace testsupport;

const std::string kDigest(64, 'a');

/* Parses text; "" when accepted, else the problem. */
std::string parse(const std::string &text, tv_settings *out)
{
    char err[TV_CONFIG_ERROR_CAP] = "";
    const int rc = tv_config_parse(text.data(), text.size(), out, err, sizeof err);
    EXPECT_EQ(rc == 0, err[0] == '\0') << text;
    return rc == 0 ? "" : err;
}

TEST(SettingsParse, DefaultsWithoutKeys)
{
    tv_settings s;
    ASSERT_EQ(parse("{}", &s), "");
    EXPECT_STREQ(s.storage_root, "");
    EXPECT_EQ(s.access_log, 1);
    EXPECT_EQ(s.access_log_max_bytes, 5242880);
    EXPECT_EQ(s.retention_protect_latest, 1);
    EXPECT_EQ(s.quota_bytes, 0);
    EXPECT_EQ(s.gc_spare_seconds, 7200);
    EXPECT_EQ(s.token_auth, 1);
    EXPECT_EQ(s.token_lifetime_seconds, 300);
    EXPECT_STREQ(s.token_service, "registry");
    EXPECT_EQ(tv_config_access_control(&s), 0);
    tv_config_release(&s);
}

TEST(SettingsParse, ValuesOfEveryKind)
{
    tv_settings s;
    ASSERT_EQ(parse(R"({
        "_comment": "keys beginning with _ are notes",
        "registry_storage_root": "/srv/registry", "storage_root": "/srv/registry",
        "registry_access_log": 0, "registry_access_log_max_bytes": 1024,
        "registry_retention_keep_n": 5, "registry_retention_days": 30,
        "registry_retention_protect_latest": false, "registry_quota_bytes": 10737418240,
        "registry_gc_spare_seconds": 3,
        "registry_auth_user": "alice", "registry_auth_sha256": ")" +
                        std::string(64, 'A') + R"(",
        "registry_htpasswd": "/etc/registry/users",
        "registry_access": [
            {"repositories": ["team/*", "public/**"], "users": ["alice", "*"], "actions": ["push"]},
            {"repositories": "public/**", "users": "anonymous", "actions": "pull"},
            {"repositories": ["**"], "users": ["root"], "actions": ["*"]},
            {"repositories": ["x"], "users": ["bob"], "actions": []}
        ],
        "registry_admins": ["alice"],
        "registry_token_auth": false, "registry_token_lifetime_seconds": 600,
        "registry_token_service": "reg.example", "registry_token_realm": "https://reg.example/token"
    })",
                    &s),
              "");
    EXPECT_STREQ(s.storage_root, "/srv/registry");
    EXPECT_EQ(s.access_log, 0);
    EXPECT_EQ(s.access_log_max_bytes, 1024);
    EXPECT_EQ(s.retention_keep_n, 5);
    EXPECT_EQ(s.retention_days, 30);
    EXPECT_EQ(s.retention_protect_latest, 0);
    EXPECT_EQ(s.quota_bytes, 10737418240);
    EXPECT_EQ(s.gc_spare_seconds, 3);
    EXPECT_STREQ(s.auth_user, "alice");
    EXPECT_EQ(std::string(s.auth_sha256), std::string(64, 'A'));
    EXPECT_STREQ(s.htpasswd, "/etc/registry/users");
    ASSERT_EQ(s.rule_count, 4u);
    EXPECT_EQ(s.rules[0].repository_count, 2u);
    EXPECT_STREQ(s.rules[0].repositories[1], "public/**");
    EXPECT_STREQ(s.rules[0].users[1], "*");
    EXPECT_EQ(s.rules[0].actions, TV_ACTION_PULL | TV_ACTION_PUSH); // push implies pull
    EXPECT_EQ(s.rules[1].actions, TV_ACTION_PULL);
    EXPECT_STREQ(s.rules[1].users[0], TV_USER_ANONYMOUS);
    EXPECT_EQ(s.rules[2].actions, TV_ACTION_PULL | TV_ACTION_PUSH | TV_ACTION_DELETE);
    EXPECT_EQ(s.rules[3].actions, 0u);
    ASSERT_EQ(s.admin_count, 1u);
    EXPECT_STREQ(s.admins[0], "alice");
    EXPECT_EQ(s.token_auth, 0);
    EXPECT_EQ(s.token_lifetime_seconds, 600);
    EXPECT_STREQ(s.token_service, "reg.example");
    EXPECT_STREQ(s.token_realm, "https://reg.example/token");
    EXPECT_EQ(tv_config_access_control(&s), 1);
    tv_config_release(&s);
}

TEST(SettingsParse, EveryKindOfProblemIsRefusedWithItsReason)
{
    struct Case {
        std::string text;
        std::string says;
    };
    const std::string big(TV_CONFIG_PATH_CAP, 'r');
    const Case cases[] = {
        {"", "not JSON"},
        {"{\"registry_quota_bytes\": 5", "not JSON"},
        {"[1, 2]", "not a JSON object"},
        {"\"registry_auth_user\"", "not a JSON object"},
        {R"({"registry_qouta_bytes": 5})", "unknown key \"registry_qouta_bytes\""},
        {R"({"registry_quota_bytes": "5"})", "\"registry_quota_bytes\" must be a whole number"},
        {R"({"registry_quota_bytes": 5.9})", "must be a whole number"},
        {R"({"registry_quota_bytes": -3})", "must not be negative"},
        {R"({"registry_quota_bytes": 1, "registry_quota_bytes": 2})", "given twice"},
        {R"({"registry_access_log": "off"})", "must be true, false or a whole number"},
        {R"({"registry_token_auth": 1})", "must be true or false"},
        {R"({"storage_root": "/a", "registry_storage_root": "/b"})", "name different roots"},
        {R"({"registry_storage_root": ""})", "must not be empty"},
        {"{\"registry_storage_root\": \"" + big + "\"}", "longer than 1023 bytes"},
        {R"({"registry_storage_root": "a\u0000b"})", "NUL"},
        {R"({"registry_auth_user": "alice"})", "go together"},
        {R"({"registry_auth_sha256": ")" + kDigest + R"("})", "go together"},
        {R"({"registry_auth_user": "alice", "registry_auth_sha256": ")" + std::string(63, 'a') +
             R"("})",
         "64 hex digits"},
        {R"({"registry_auth_user": "alice", "registry_auth_sha256": ")" + std::string(64, 'g') +
             R"("})",
         "64 hex digits"},
        {R"({"registry_auth_user": "a:b", "registry_auth_sha256": ")" + kDigest + R"("})",
         "no valid user name"},
        {R"({"registry_access": {}})", "must be a list of rules"},
        {R"({"registry_access": [5]})", "rule 1 must be an object"},
        {R"({"registry_access": [{"repositories": ["a"], "users": ["u"]}]})", "needs"},
        {R"({"registry_access": [{"repositories": ["a"], "users": ["u"], "actions": ["pull"], "note": 1}]})",
         "unknown or repeated key \"note\""},
        {R"({"registry_access": [{"repositories": ["Team/App"], "users": ["u"], "actions": ["pull"]}]})",
         "\"Team/App\" is not valid"},
        {R"({"registry_access": [{"repositories": ["/a"], "users": ["u"], "actions": ["pull"]}]})",
         "not valid"},
        {R"({"registry_access": [{"repositories": ["a"], "users": ["u:x"], "actions": ["pull"]}]})",
         "not valid"},
        {R"({"registry_access": [{"repositories": ["a"], "users": [""], "actions": ["pull"]}]})",
         "not valid"},
        {R"({"registry_access": [{"repositories": ["a"], "users": ["u"], "actions": ["write"]}]})",
         "actions are"},
        {R"({"registry_access": [{"repositories": [1], "users": ["u"], "actions": ["pull"]}]})",
         "must be strings"},
        {R"({"registry_admins": 5})", "must be a string or a list"},
        {R"({"registry_gc_spare_seconds": 0})",
         "\"registry_gc_spare_seconds\" must be between 1 and 604800"},
        {R"({"registry_gc_spare_seconds": 604801})", "between 1 and 604800"},
        {R"({"registry_gc_spare_seconds": -7200})", "must not be negative"},
        {R"({"registry_gc_spare_seconds": "2h"})", "must be a whole number"},
        {R"({"registry_token_lifetime_seconds": 59})", "between 60 and 86400"},
        {R"({"registry_token_lifetime_seconds": 86401})", "between 60 and 86400"},
        {R"({"registry_token_service": "a\"b"})", "quote"},
        {R"({"registry_token_realm": "ftp://x/token"})", "http:// or https:// URL"},
        {"{\"registry_token_realm\": \"http://x/\\r\\nSet-Cookie: a\"}", "URL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 100));
        tv_settings s;
        const std::string err = parse(c.text, &s);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        // Nothing half-applied: a refused file leaves access control off in
        // the defaults, and the caller refuses requests instead.
        EXPECT_EQ(tv_config_access_control(&s), 0);
        tv_config_release(&s);
    }
}

class SettingsFile : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    ScopedEnv env_config{"REGISTRY_CONFIG", nullptr};
    ScopedEnv env_root{"REGISTRY_STORAGE_ROOT", nullptr};
    void SetUp() override { tv_config_reload(); }
    void TearDown() override { tv_config_reload(); }
    void config(const std::string &text)
    {
        write_text(tmp.path() / "config.json", text);
        tv_config_reload();
    }
};

TEST_F(SettingsFile, AMissingFileInTheWorkingDirectoryMeansDefaults)
{
    EXPECT_EQ(tv_config_error(), nullptr);
    EXPECT_STREQ(tv_config_storage_root(), "./registry_storage");
    EXPECT_EQ(tv_config()->file_bytes, -1);
}

TEST_F(SettingsFile, AMissingFileThatRegistryConfigNamesIsAnError)
{
    ScopedEnv named{"REGISTRY_CONFIG", (tmp.path() / "etc" / "config.json").string().c_str()};
    tv_config_reload();
    ASSERT_NE(tv_config_error(), nullptr);
    EXPECT_NE(std::string(tv_config_error()).find("etc"), std::string::npos);
    EXPECT_NE(std::string(tv_config_error()).find("cannot be read"), std::string::npos);
}

TEST_F(SettingsFile, KeysAfterTheFirstKilobytesAreSeen)
{
    // A file grown past the old readers' 4 KiB window once switched
    // authentication off; the whole file is read now.
    config("{\"_note\": \"" + std::string(9000, 'x') + "\", \"registry_auth_user\": \"alice\", " +
           "\"registry_auth_sha256\": \"" + kDigest + "\"}");
    ASSERT_EQ(tv_config_error(), nullptr);
    EXPECT_STREQ(tv_config()->auth_user, "alice");
    EXPECT_EQ(tv_config_access_control(tv_config()), 1);
}

TEST_F(SettingsFile, ErrorsNameTheFileAndTheProblem)
{
    config("{\"registry_auth_user\": \"alice\", \"registry_auth_sha256\": 5}");
    ASSERT_NE(tv_config_error(), nullptr);
    const std::string err = tv_config_error();
    EXPECT_EQ(err.rfind("settings file config.json: ", 0), 0u) << err;
    EXPECT_NE(err.find("registry_auth_sha256"), std::string::npos) << err;
    EXPECT_EQ(tv_config_access_control(tv_config()), 0);
}

TEST_F(SettingsFile, AFileOverTheLimitIsRefusedUnread)
{
    config("{\"_pad\": \"" + std::string(TV_CONFIG_MAX_BYTES, 'x') + "\"}");
    ASSERT_NE(tv_config_error(), nullptr);
    EXPECT_NE(std::string(tv_config_error()).find("larger than"), std::string::npos);
}

TEST_F(SettingsFile, TheRootComesFromTheEnvironmentThenTheFileThenTheDefault)
{
    config(R"({"storage_root": "/srv/a"})");
    EXPECT_STREQ(tv_config_storage_root(), "/srv/a");
    ScopedEnv empty{"REGISTRY_STORAGE_ROOT", ""};
    EXPECT_STREQ(tv_config_storage_root(), "/srv/a");
    ScopedEnv env{"REGISTRY_STORAGE_ROOT", "/env/root"};
    EXPECT_STREQ(tv_config_storage_root(), "/env/root");
}

TEST_F(SettingsFile, ReadOncePerProcess)
{
    config(R"({"registry_quota_bytes": 7})");
    EXPECT_EQ(tv_config()->quota_bytes, 7);
    write_text(tmp.path() / "config.json", R"({"registry_quota_bytes": 8})");
    EXPECT_EQ(tv_config()->quota_bytes, 7);
    tv_config_reload();
    EXPECT_EQ(tv_config()->quota_bytes, 8);
}

/* The README's Configuration table: every key of the code documented in
 * the same order, no documented key unknown to the code. */
TEST(SettingsDocs, TheReadmeTableListsEveryKey)
{
    std::ifstream in(std::string(REGISTRY_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(in) << "README.md";
    std::string line;
    bool in_section = false;
    std::vector<std::string> documented;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) in_section = line == "## Configuration";
        if (!in_section || line.rfind("| `", 0) != 0) continue;
        const size_t end = line.find('`', 3);
        documented.push_back(line.substr(3, end - 3));
    }
    size_t count = 0;
    const tv_config_key *keys = tv_config_keys(&count);
    std::vector<std::string> code;
    for (size_t i = 0; i < count; ++i)
        code.push_back(keys[i].name);
    EXPECT_EQ(documented, code);
}

} // namespace
