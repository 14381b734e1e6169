/* Rights per repository: the name patterns, the first rule that names the
 * repository and the caller, and the defaults without rules. */
#include <gtest/gtest.h>

#include <string>

#include "tv_config.h"
#include "v2_auth.h"

namespace
{

constexpr unsigned kPull = TV_ACTION_PULL;
constexpr unsigned kPush = TV_ACTION_PULL | TV_ACTION_PUSH;
constexpr unsigned kAll = TV_ACTION_PULL | TV_ACTION_PUSH | TV_ACTION_DELETE;

TEST(Patterns, OneLevelTwoLevelsAndExactNames)
{
    struct Case {
        const char *pattern;
        const char *name;
        int want;
    };
    const Case cases[] = {
        {"team/app", "team/app", 1},
        {"team/app", "team/app2", 0},
        {"team/app", "team", 0},
        {"team/*", "team/app", 1},
        {"team/*", "team/a/b", 0},
        {"team/*", "team", 0},
        {"team/*", "team/", 1},
        {"team/**", "team/a/b/c", 1},
        {"team/**", "team", 0},
        {"team/**", "teams/x", 0},
        {"**", "anything/at/all", 1},
        {"*", "top", 1},
        {"*", "a/b", 0},
        {"*/app", "team/app", 1},
        {"*/app", "x/y/app", 0},
        {"**/app", "x/y/app", 1},
        {"team/*-dev", "team/app-dev", 1},
        {"team/*-dev", "team/app-prod", 0},
        {"a*b*c", "abc", 1},
        {"a*b*c", "axxbyyc", 1},
        {"a*b*c", "axxbyy", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(registry_pattern_match(c.pattern, c.name), c.want) << c.pattern << " " << c.name;
    EXPECT_EQ(registry_pattern_match(nullptr, "x"), 0);
    EXPECT_EQ(registry_pattern_match("x", nullptr), 0);
}

/* Settings for a test: parsed, released at the end of the scope. */
struct Settings {
    tv_settings s;
    explicit Settings(const std::string &json)
    {
        char err[TV_CONFIG_ERROR_CAP];
        EXPECT_EQ(tv_config_parse(json.data(), json.size(), &s, err, sizeof err), 0) << err;
    }
    ~Settings() { tv_config_release(&s); }
};

TEST(Rights, TheFirstRuleNamingRepositoryAndCallerDecides)
{
    // A team of three, a public area, and a narrow rule before a wide one.
    const Settings cfg(R"({"registry_htpasswd": "users", "registry_access": [
        {"repositories": ["team/secret"], "users": ["bob"], "actions": []},
        {"repositories": ["public/**"], "users": ["alice"], "actions": ["*"]},
        {"repositories": ["public/**"], "users": ["anonymous", "*"], "actions": ["pull"]},
        {"repositories": ["team/**"], "users": ["alice", "bob"], "actions": ["push", "delete"]},
        {"repositories": ["team/**"], "users": ["carol"], "actions": ["pull"]}
    ]})");
    struct Case {
        const char *user;
        const char *repo;
        unsigned want;
    };
    const Case cases[] = {
        {"alice", "public/tool", kAll},
        {"bob", "public/tool", kPull}, // "*" in the third rule
        {"", "public/tool", kPull},    // anonymous
        {"", "public/a/b", kPull},
        {"", "team/app", 0}, // no rule names anonymous there
        {"alice", "team/app", kPush | TV_ACTION_DELETE},
        {"bob", "team/app/sub", kPush | TV_ACTION_DELETE},
        {"bob", "team/secret", 0}, // the narrow rule first: nothing
        {"alice", "team/secret", kPush | TV_ACTION_DELETE},
        {"carol", "team/app", kPull},
        {"carol", "other/app", 0},
        {"dave", "team/app", 0},
        {"anonymous", "team/app", 0}, // a name, not the selector: no match as a user
    };
    for (const Case &c : cases)
        EXPECT_EQ(registry_rights(&cfg.s, c.user, c.repo), c.want) << c.user << " " << c.repo;
}

TEST(Rights, DefaultsWithoutRules)
{
    const Settings open("{}");
    EXPECT_EQ(registry_rights(&open.s, "", "x"), kAll) << "no access control";
    EXPECT_EQ(registry_is_admin(&open.s, ""), 1);

    const Settings users(R"({"registry_htpasswd": "users"})");
    EXPECT_EQ(registry_rights(&users.s, "alice", "x"), kAll) << "signed in";
    EXPECT_EQ(registry_rights(&users.s, "", "x"), 0u) << "anonymous";
    EXPECT_EQ(registry_rights(&users.s, nullptr, "x"), 0u);
    EXPECT_EQ(registry_is_admin(&users.s, "alice"), 1);
    EXPECT_EQ(registry_is_admin(&users.s, ""), 0);

    const Settings none(R"({"registry_htpasswd": "users", "registry_access": []})");
    EXPECT_EQ(registry_rights(&none.s, "alice", "x"), 0u) << "an empty list grants nothing";
}

TEST(Rights, AdminsAreListedByName)
{
    const Settings cfg(R"({"registry_htpasswd": "users", "registry_admins": ["alice"]})");
    EXPECT_EQ(registry_is_admin(&cfg.s, "alice"), 1);
    EXPECT_EQ(registry_is_admin(&cfg.s, "bob"), 0);
    EXPECT_EQ(registry_is_admin(&cfg.s, ""), 0);
    const Settings any(R"({"registry_htpasswd": "users", "registry_admins": "*"})");
    EXPECT_EQ(registry_is_admin(&any.s, "bob"), 1);
    EXPECT_EQ(registry_is_admin(&any.s, ""), 0);
}

} // namespace
