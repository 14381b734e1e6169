/* The gates as a process meets them: a team of three with a users file and
 * rules, an anonymous public area, Basic credentials and bearer tokens;
 * 401 with the challenge, 403 with the action and repository, 500 for
 * anything unreadable, and the access log's actor. Each request runs in a
 * forked child (the gates keep per-process state). */
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "auth_passwords.h"
#include "auth_token.h"
#include "cgi_test_util.h"
#include "platform.h"
#include "tv_audit.h"
#include "tv_cgi.h"
#include "tv_config.h"
#include "v2_auth.h"

namespace
{

using namespace cgitest;

std::string basic(const std::string &user, const std::string &password)
{
    return "Basic " + base64(user + ":" + password);
}

const char kTeamRules[] = R"(
    "registry_htpasswd": "users",
    "registry_access": [
        {"repositories": ["public/**"], "users": ["alice"], "actions": ["*"]},
        {"repositories": ["public/**"], "users": ["anonymous", "*"], "actions": ["pull"]},
        {"repositories": ["team/**"], "users": ["alice", "bob"], "actions": ["push", "delete"]},
        {"repositories": ["team/**"], "users": ["carol"], "actions": ["pull"]}
    ],
    "registry_admins": ["alice"])";

/* A store, a users file of three (bcrypt at the lowest cost, for speed) and
 * the team's rules; requests from HTTP_HOST 127.0.0.1:8080. */
class Gates : public CgiRequestWithStore
{
  protected:
    ScopedEnv env_auth{"HTTP_AUTHORIZATION", nullptr};
    ScopedEnv env_host{"HTTP_HOST", "127.0.0.1:8080"};
    ScopedEnv env_path{"PATH_INFO", "/v2/team/app/manifests/1.0"};
    ScopedEnv env_config{"REGISTRY_CONFIG", nullptr};

    void SetUp() override
    {
        CgiRequestWithStore::SetUp();
        std::string users = "# the team\n";
        for (const char *u : {"alice", "bob", "carol"}) {
            char hash[REGISTRY_BCRYPT_HASH_CAP];
            const std::string pw = std::string(u) + "-pw";
            ASSERT_EQ(registry_bcrypt_hash(pw.data(), pw.size(), 4, hash), 0);
            users += std::string(u) + ":" + hash + "\n";
        }
        write_text(tmp.path() / "users", users);
        config(std::string("{") + kTeamRules + "}");
    }
    void config(const std::string &text) { write_text(tmp.path() / "config.json", text); }

    /* Runs gate in a child with header; "RC|output". */
    template <class Gate> std::string ask(const std::string &header, Gate gate)
    {
        ScopedEnv h("HTTP_AUTHORIZATION", header.empty() ? nullptr : header.c_str());
        fs::remove(root() / "registry_access.log");
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            const int rc = gate();
            fflush(stdout);
            write_text(result_file(), std::to_string(rc));
            if (rc) tv_audit_note_status(200); /* the log line, no output */
        });
        return result() + "|" + output();
    }

    /* A token for user signed with the store's key. */
    std::string token(const std::string &user, const std::vector<std::string> &scopes,
                      int64_t lifetime = 300, const char *service = "registry")
    {
        registry_token_claims c{};
        tv_strlcpy(c.subject, user.c_str(), sizeof c.subject);
        tv_strlcpy(c.service, service, sizeof c.service);
        c.issued_at = c.not_before = plat_time();
        c.expires_at = c.issued_at + lifetime;
        for (const std::string &s : scopes)
            EXPECT_EQ(registry_scope_parse(s.c_str(), &c), 0) << s;
        uint8_t key[REGISTRY_TOKEN_KEY_BYTES];
        EXPECT_EQ(registry_token_key(root().string().c_str(), key), 0);
        char out[REGISTRY_TOKEN_CAP];
        EXPECT_EQ(registry_token_mint(key, &c, out, sizeof out), 0);
        return std::string("Bearer ") + out;
    }
};

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

const char kPullChallenge[] =
    "WWW-Authenticate: Bearer realm=\"http://127.0.0.1:8080/token\",service=\"registry\","
    "scope=\"repository:team/app:pull\"\r\n";

TEST_F(Gates, RightsPerRepositoryWithBasicCredentials)
{
    struct Case {
        std::string header;
        const char *repo;
        unsigned actions;
        std::string want; // "1", or the status line's code and a part of the answer
    };
    const unsigned pull = TV_ACTION_PULL, push = TV_ACTION_PUSH, del = TV_ACTION_DELETE;
    const Case cases[] = {
        {"", "public/tool", pull, "1"},
        {"", "public/tool", push, "401"},
        {"", "team/app", pull, "401"},
        {basic("bob", "bob-pw"), "team/app", push, "1"},
        {basic("bob", "bob-pw"), "team/app", del, "1"},
        {basic("bob", "bob-pw"), "public/tool", push,
         "403 access denied: bob may not push to public/tool"},
        {basic("carol", "carol-pw"), "team/app", pull, "1"},
        {basic("carol", "carol-pw"), "team/app", push,
         "403 access denied: carol may not push to team/app"},
        {basic("carol", "carol-pw"), "team/app", del,
         "403 access denied: carol may not delete from team/app"},
        {basic("alice", "alice-pw"), "public/tool", del, "1"},
        {basic("carol", "bob-pw"), "team/app", pull, "401"}, // another user's password
        {basic("dave", "dave-pw"), "public/tool", pull, "401"},
        {basic("bob", ""), "team/app", pull, "401"},
        {"Basic !!!", "team/app", pull, "401"},
        {"Digest x", "team/app", pull, "401"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.header + " " + c.repo);
        const std::string got =
            ask(c.header, [&] { return registry_auth_require(c.repo, c.actions, nullptr); });
        if (c.want == "1") {
            EXPECT_EQ(got, "1|");
            continue;
        }
        EXPECT_EQ(got.substr(0, 2), "0|");
        EXPECT_TRUE(has(got, "Status: " + c.want.substr(0, 3))) << got;
        if (c.want.size() > 4) {
            EXPECT_TRUE(has(got, c.want.substr(4))) << got;
        }
        if (c.want == "401") {
            EXPECT_TRUE(has(got, "WWW-Authenticate: Bearer realm=")) << got;
        }
    }
}

TEST_F(Gates, TheChallengeNamesRealmServiceAndScope)
{
    const std::string got =
        ask("", [] { return registry_auth_require("team/app", TV_ACTION_PULL, nullptr); });
    EXPECT_TRUE(has(got, kPullChallenge)) << got;
    const std::string push =
        ask("", [] { return registry_auth_require("team/app", TV_ACTION_PUSH, nullptr); });
    EXPECT_TRUE(has(push, "scope=\"repository:team/app:pull,push\"")) << push;

    // The Host header is the client's text: nothing of it that could end
    // the quoted string or the header line gets into the realm.
    ScopedEnv host("HTTP_HOST", "evil\"\r\nSet-Cookie: x");
    ScopedEnv name("SERVER_NAME", "registry.local");
    ScopedEnv port("SERVER_PORT", "8443");
    ScopedEnv https("HTTPS", "on");
    const std::string injected =
        ask("", [] { return registry_auth_require("team/app", TV_ACTION_PULL, nullptr); });
    EXPECT_TRUE(has(injected, "realm=\"https://registry.local:8443/token\"")) << injected;
    EXPECT_FALSE(has(injected, "Set-Cookie")) << injected;

    config(std::string("{") + kTeamRules + ", \"registry_token_auth\": false}");
    const std::string basic_mode =
        ask("", [] { return registry_auth_require("team/app", TV_ACTION_PULL, nullptr); });
    EXPECT_TRUE(has(basic_mode, "WWW-Authenticate: Basic realm=\"Vornhalt Registry\"\r\n"))
        << basic_mode;
}

TEST_F(Gates, BearerTokensGrantWhatTheyCarry)
{
    struct Case {
        std::string header;
        unsigned actions;
        std::string want;
    };
    const unsigned pull = TV_ACTION_PULL, push = TV_ACTION_PUSH;
    const std::string bob_pull = token("bob", {"repository:team/app:pull"});
    const std::string bob_push = token("bob", {"repository:team/app:pull,push"});
    const std::string carol_forged = token("carol", {"repository:team/app:pull,push"});
    const std::string expired = token("bob", {"repository:team/app:pull"}, -10);
    const std::string other_service = token("bob", {"repository:team/app:pull"}, 300, "other");
    const std::string anonymous = token("", {"repository:team/app:pull"});
    const Case cases[] = {
        {bob_pull, pull, "1"},
        {bob_push, push, "1"},
        {token("bob", {"repository:team/other:pull"}), pull, "401 insufficient_scope"},
        // bob may push: a new token with the scope will do.
        {bob_pull, push, "401 insufficient_scope"},
        // A token carries what it was signed with, checked against nothing
        // else: this one was minted here by hand, as the token program
        // would never do for carol; what counts is its signature.
        {carol_forged, push, "1"},
        {expired, pull, "401 invalid_token"},
        {other_service, pull, "401 invalid_token"},
        {"Bearer " + bob_pull.substr(7, bob_pull.size() - 9), pull, "401 invalid_token"},
        {"Bearer eyJhbGciOiJub25lIn0.eyJzdWIiOiJib2IifQ.", pull, "401 invalid_token"},
        {"Bearer " + std::string(5000, 'a'), pull, "401 invalid_token"},
        {anonymous, pull, "1"}, // signed, so it holds; the token program grants by the rules
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.header.substr(0, 60) + " " + c.want);
        const std::string got =
            ask(c.header, [&] { return registry_auth_require("team/app", c.actions, nullptr); });
        if (c.want == "1") {
            EXPECT_EQ(got, "1|");
            continue;
        }
        EXPECT_TRUE(has(got, "Status: 401")) << got;
        EXPECT_TRUE(has(got, "error=\"" + c.want.substr(4) + "\"")) << got;
    }
    // carol's token without push, for a push: her rules do not allow it, so
    // no token would help: 403.
    const std::string carol = token("carol", {"repository:team/app:pull"});
    const std::string got =
        ask(carol, [] { return registry_auth_require("team/app", TV_ACTION_PUSH, nullptr); });
    EXPECT_TRUE(has(got, "Status: 403")) << got;
    EXPECT_TRUE(has(got, "carol may not push to team/app")) << got;
}

TEST_F(Gates, WhatCannotBeReadAnswers500NeverOpen)
{
    auto every_gate = [&](const std::string &header, const std::string &says) {
        const std::vector<std::function<int()>> gates = {
            [] { return registry_auth_check(); },
            [] { return registry_auth_enter(); },
            [] { return registry_auth_require("public/tool", TV_ACTION_PULL, nullptr); },
            [] { return registry_auth_catalog(nullptr); },
            [] { return registry_auth_admin(); },
        };
        for (size_t i = 0; i < gates.size(); ++i) {
            SCOPED_TRACE(i);
            const std::string got = ask(header, gates[i]);
            EXPECT_EQ(got.substr(0, 2), "0|") << got;
            EXPECT_TRUE(has(got, "Status: 500")) << got;
            EXPECT_TRUE(has(got, says)) << got;
        }
    };
    // Authentication keys past the old readers' 4 KiB window, and a typo
    // after them: the file is invalid, and nothing passes.
    config("{\"_note\": \"" + std::string(5000, 'x') + "\"," + kTeamRules +
           ", \"registry_qouta_bytes\": 5}");
    every_gate("", "unknown key \\\"registry_qouta_bytes\\\"");
    config("{\"registry_auth_user\": \"alice\"}");
    every_gate(basic("alice", "x"), "go together");

    config(std::string("{") + kTeamRules + "}");
    fs::remove(tmp.path() / "users");
    const std::string got =
        ask(basic("bob", "bob-pw"), [] { return registry_auth_require("team/app", 1, nullptr); });
    EXPECT_TRUE(has(got, "Status: 500")) << got;
    EXPECT_TRUE(has(got, "users file users cannot be read")) << got;
}

TEST_F(Gates, TheFirstGateLetsAnonymousCallersInOnlyWhereARuleDoes)
{
    EXPECT_EQ(ask("", [] { return registry_auth_enter(); }), "1|");
    EXPECT_TRUE(has(ask("", [] { return registry_auth_check(); }), "Status: 401"))
        << "a login asks for credentials even where anonymous pulls are allowed";
    config(R"({"registry_htpasswd": "users"})");
    EXPECT_TRUE(has(ask("", [] { return registry_auth_enter(); }), "Status: 401"));
    EXPECT_EQ(ask(basic("carol", "carol-pw"), [] { return registry_auth_enter(); }), "1|");
}

TEST_F(Gates, CatalogAndAdmin)
{
    EXPECT_TRUE(has(ask("", [] { return registry_auth_catalog(nullptr); }),
                    "scope=\"registry:catalog:*\""));
    EXPECT_EQ(ask(basic("carol", "carol-pw"), [] { return registry_auth_catalog(nullptr); }), "1|");
    EXPECT_TRUE(has(ask(token("carol", {"repository:team/app:pull"}),
                        [] { return registry_auth_catalog(nullptr); }),
                    "error=\"insufficient_scope\""));
    EXPECT_EQ(
        ask(token("carol", {"registry:catalog:*"}), [] { return registry_auth_catalog(nullptr); }),
        "1|");

    // The status page: a Basic challenge a browser answers, the admin right.
    const std::string anon = ask("", [] { return registry_auth_admin(); });
    EXPECT_TRUE(has(anon, "WWW-Authenticate: Basic realm=")) << anon;
    EXPECT_TRUE(has(ask(basic("bob", "bob-pw"), [] { return registry_auth_admin(); }),
                    "access denied: bob has no admin right"));
    EXPECT_EQ(ask(basic("alice", "alice-pw"), [] { return registry_auth_admin(); }), "1|");
}

TEST_F(Gates, TheAccessLogNamesTheCallerAndTheRefusal)
{
    ask(basic("carol", "carol-pw"),
        [] { return registry_auth_require("team/app", TV_ACTION_PUSH, nullptr); });
    const std::string line = read_text(root() / "registry_access.log");
    EXPECT_TRUE(has(line, " 403 carol ")) << line;
    ask(basic("carol", "wrong"),
        [] { return registry_auth_require("team/app", TV_ACTION_PULL, nullptr); });
    EXPECT_TRUE(has(read_text(root() / "registry_access.log"), " 401 anonymous "));
}

} // namespace
