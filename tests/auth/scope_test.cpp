/* Scope parameters into grants: actions, "*", the catalog, merging,
 * resources we do not serve, and the malformed ones, which leave the
 * claims as they were. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth_token.h"

namespace
{

/* The grants as "name=actions;..." ("catalog" for the catalog), or
 * "<bad>" when a scope was refused. */
std::string parse(const std::vector<std::string> &scopes)
{
    registry_token_claims c{};
    for (const auto &s : scopes)
        if (registry_scope_parse(s.c_str(), &c) != 0) return "<bad>";
    std::string out;
    for (size_t i = 0; i < c.grant_count; ++i) {
        const registry_token_grant &g = c.grants[i];
        out += g.catalog ? "catalog" : g.repository;
        out += "=";
        if (g.actions & REGISTRY_ACTION_PULL) out += "r";
        if (g.actions & REGISTRY_ACTION_PUSH) out += "w";
        if (g.actions & REGISTRY_ACTION_DELETE) out += "d";
        out += ";";
    }
    return out;
}

TEST(Scope, GrantsTable)
{
    const std::string n255(255, 'n');
    struct Case {
        std::vector<std::string> scopes;
        std::string want;
    };
    const Case cases[] = {
        {{"repository:team/app:pull"}, "team/app=r;"},
        {{"repository:team/app:pull,push"}, "team/app=rw;"},
        {{"repository:team/app:push,pull,delete"}, "team/app=rwd;"},
        {{"repository:x:*"}, "x=rwd;"},
        {{"registry:catalog:*"}, "catalog=rwd;"},
        {{"repository:a:pull", "repository:a:push"}, "a=rw;"},
        {{"repository:a:pull", "repository:b:pull", "repository:a:delete"}, "a=rd;b=r;"},
        {{"repository:a:pull repository:b:push"}, "a=r;b=w;"},
        {{"  repository:a:pull  "}, "a=r;"},
        {{"registry:catalog:* registry:catalog:*"}, "catalog=rwd;"},
        // A repository called "catalog" is not the catalog.
        {{"repository:catalog:pull", "registry:catalog:*"}, "catalog=r;catalog=rwd;"},
        // The name runs to the last colon: a host's port stays in it.
        {{"repository:host:5000/app:pull"}, "host:5000/app=r;"},
        {{"repository:" + n255 + ":pull"}, n255 + "=r;"},
        // Unknown resources and actions grant nothing, and are no error.
        {{"plugin:x:pull"}, ""},
        {{"repository(plugin):x:pull"}, ""},
        {{"registry:other:*"}, ""},
        {{"repository:a:pull,fly"}, "a=r;"},
        {{"repository:a:fly"}, "a=;"},
        {{"repository:a:PULL"}, "a=;"},
        // Malformed.
        {{""}, "<bad>"},
        {{"   "}, "<bad>"},
        {{"repository"}, "<bad>"},
        {{"repository:a"}, "<bad>"},
        {{"repository::pull"}, "<bad>"},
        {{":a:pull"}, "<bad>"},
        {{"repository:a:"}, "<bad>"},
        {{"repository:a:pull,"}, "<bad>"},
        {{"repository:a:,pull"}, "<bad>"},
        {{"repository:a:pull,,push"}, "<bad>"},
        {{"repository:" + n255 + "n:pull"}, "<bad>"},
        {{"repository:a:pull", "repository::pull"}, "<bad>"},
        // Nothing that could end a header line or a quoted text.
        {{"repository:a:pull\r\nX-Injected: 1"}, "<bad>"},
        {{"repository:a\n:pull"}, "<bad>"},
        {{"repository:a\":pull"}, "<bad>"},
        {{"repository:a:pull\",realm=\"x"}, "<bad>"},
        {{"repository:a\\:pull"}, "<bad>"},
        {{"repository:a\t:pull"}, "<bad>"},
        {{"repository:a\x7f:pull"}, "<bad>"},
        {{"repository:caf\xc3\xa9:pull"}, "<bad>"},
    };
    for (const auto &c : cases) {
        std::string trace;
        for (const auto &s : c.scopes)
            trace += "[" + s + "]";
        SCOPED_TRACE(trace);
        EXPECT_EQ(parse(c.scopes), c.want);
    }
    registry_token_claims c{};
    EXPECT_EQ(registry_scope_parse(nullptr, &c), -1);
    EXPECT_EQ(registry_scope_parse("repository:a:pull", nullptr), -1);
}

TEST(Scope, GrantsStopAtTheCapAndARefusalChangesNothing)
{
    registry_token_claims c{};
    for (int i = 0; i < REGISTRY_TOKEN_GRANTS_MAX; ++i)
        ASSERT_EQ(registry_scope_parse(("repository:r" + std::to_string(i) + ":pull").c_str(), &c),
                  0);
    ASSERT_EQ(c.grant_count, size_t{REGISTRY_TOKEN_GRANTS_MAX});
    // Merging into a held grant still works; one more grant does not.
    EXPECT_EQ(registry_scope_parse("repository:r3:push", &c), 0);
    EXPECT_EQ(registry_scope_parse("repository:extra:pull", &c), -1);
    EXPECT_EQ(registry_scope_parse("registry:catalog:*", &c), -1);
    // Nor does a scope whose first part would fit: all or nothing.
    EXPECT_EQ(registry_scope_parse("repository:r0:delete repository:extra:pull", &c), -1);
    EXPECT_EQ(c.grant_count, size_t{REGISTRY_TOKEN_GRANTS_MAX});
    EXPECT_EQ(registry_token_actions(&c, "r0"), REGISTRY_ACTION_PULL);
    EXPECT_EQ(registry_token_actions(&c, "r3"), REGISTRY_ACTION_PULL | REGISTRY_ACTION_PUSH);
    EXPECT_EQ(registry_token_actions(&c, "extra"), 0u);

    registry_token_claims d{};
    ASSERT_EQ(registry_scope_parse("repository:a:pull", &d), 0);
    EXPECT_EQ(registry_scope_parse("repository:a:push repository:b\":pull", &d), -1);
    EXPECT_EQ(d.grant_count, 1u);
    EXPECT_EQ(registry_token_actions(&d, "a"), REGISTRY_ACTION_PULL);
    EXPECT_EQ(registry_token_actions(nullptr, "a"), 0u);
    EXPECT_EQ(registry_token_actions(&d, nullptr), 0u);
}

} // namespace
