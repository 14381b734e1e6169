/* The bearer tokens: mint then verify, each refusal by kind, texts that
 * need escaping, the output limit, and tokens signed with the right key
 * whose claims have the wrong shape. */
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "auth_internal.h"
#include "auth_token.h"
#include "hmac_sha256.h"

namespace
{

constexpr int64_t kNow = 1765400000;
constexpr char kService[] = "registry.test";

struct Key {
    uint8_t bytes[REGISTRY_TOKEN_KEY_BYTES];
    explicit Key(uint8_t seed)
    {
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<uint8_t>(seed + 7 * i);
    }
};
const Key kKey(1);
const Key kOtherKey(2);

std::string b64url(const std::string &bytes)
{
    char out[REGISTRY_TOKEN_CAP * 2];
    size_t len = 0;
    EXPECT_EQ(auth::base64url_encode(bytes.data(), bytes.size(), out, sizeof out, &len), 0);
    return std::string(out, len);
}

/* header.payload.signature over any texts, signed with key. */
std::string sign(const std::string &header, const std::string &payload, const Key &key = kKey)
{
    const std::string input = b64url(header) + "." + b64url(payload);
    uint8_t mac[HMAC_SHA256_BYTES];
    hmac_sha256(key.bytes, sizeof key.bytes, input.data(), input.size(), mac);
    return input + "." + b64url(std::string(reinterpret_cast<const char *>(mac), sizeof mac));
}

const std::string kHs256 = R"({"alg":"HS256","typ":"JWT"})";

/* Claims JSON members in order; a change replaces a member's raw JSON
 * value, or drops the member when the value is empty. */
using Members = std::vector<std::pair<std::string, std::string>>;
std::string claims_json(const Members &changes = {})
{
    Members m = {
        {"iss", R"("registry-token")"},
        {"sub", R"("alice")"},
        {"aud", std::string("\"") + kService + "\""},
        {"iat", std::to_string(kNow - 10)},
        {"nbf", std::to_string(kNow - 10)},
        {"exp", std::to_string(kNow + 300)},
        {"jti", R"("0123")"},
        {"access", R"([{"type":"repository","name":"team/app","actions":["pull","push"]}])"},
    };
    for (const auto &[name, value] : changes) {
        bool found = false;
        for (auto &member : m)
            if (member.first == name) {
                member.second = value;
                found = true;
            }
        if (!found) m.emplace_back(name, value);
    }
    std::string out = "{";
    for (const auto &[name, value] : m) {
        if (value.empty()) continue;
        if (out.size() > 1) out += ",";
        out += "\"" + name + "\":" + value;
    }
    return out + "}";
}

registry_token_claims base_claims()
{
    registry_token_claims c{};
    snprintf(c.subject, sizeof c.subject, "alice");
    snprintf(c.service, sizeof c.service, "%s", kService);
    c.issued_at = c.not_before = kNow - 10;
    c.expires_at = kNow + 300;
    EXPECT_EQ(registry_scope_parse("repository:team/app:pull,push registry:catalog:*", &c), 0);
    return c;
}

std::string mint(const registry_token_claims &c, const Key &key = kKey)
{
    char out[REGISTRY_TOKEN_CAP];
    if (registry_token_mint(key.bytes, &c, out, sizeof out) != 0) return "<failed>";
    return out;
}

registry_token_status verify(const std::string &token, registry_token_claims *out = nullptr,
                             int64_t now = kNow, const char *service = kService)
{
    return registry_token_verify(kKey.bytes, token.c_str(), service, now, out);
}

void expect_same(const registry_token_claims &a, const registry_token_claims &b)
{
    EXPECT_STREQ(a.subject, b.subject);
    EXPECT_STREQ(a.service, b.service);
    EXPECT_EQ(a.issued_at, b.issued_at);
    EXPECT_EQ(a.not_before, b.not_before);
    EXPECT_EQ(a.expires_at, b.expires_at);
    ASSERT_EQ(a.grant_count, b.grant_count);
    for (size_t i = 0; i < a.grant_count; ++i) {
        EXPECT_EQ(a.grants[i].catalog, b.grants[i].catalog) << i;
        EXPECT_STREQ(a.grants[i].repository, b.grants[i].repository) << i;
        EXPECT_EQ(a.grants[i].actions, b.grants[i].actions) << i;
    }
}

TEST(Token, MintThenVerifyGivesTheSameClaims)
{
    registry_token_claims anonymous{};
    snprintf(anonymous.service, sizeof anonymous.service, "%s", kService);
    anonymous.issued_at = anonymous.not_before = kNow;
    anonymous.expires_at = kNow + 1;

    registry_token_claims quoting = base_claims();
    snprintf(quoting.subject, sizeof quoting.subject, "%s", "al\"ice\\ \xc3\xa9\t</script>");

    registry_token_claims odd_actions = base_claims();
    odd_actions.grants[0].actions = 0; // nothing granted, still listed
    odd_actions.grants[1].actions = REGISTRY_ACTION_PULL;

    registry_token_claims full = base_claims();
    for (int i = 0; full.grant_count < REGISTRY_TOKEN_GRANTS_MAX; ++i) {
        const std::string scope = "repository:r" + std::to_string(i) + ":delete";
        ASSERT_EQ(registry_scope_parse(scope.c_str(), &full), 0);
    }

    for (const registry_token_claims *c : {&anonymous, &quoting, &odd_actions, &full}) {
        const std::string token = mint(*c);
        SCOPED_TRACE(token);
        registry_token_claims got;
        ASSERT_EQ(verify(token, &got), REGISTRY_TOKEN_VALID);
        expect_same(got, *c);
    }

    // Each mint is a new token (its jti), for the same claims.
    const registry_token_claims c = base_claims();
    EXPECT_NE(mint(c), mint(c));
    registry_token_claims got;
    ASSERT_EQ(verify(mint(c), &got), REGISTRY_TOKEN_VALID);
    EXPECT_EQ(registry_token_actions(&got, "team/app"),
              REGISTRY_ACTION_PULL | REGISTRY_ACTION_PUSH);
    EXPECT_EQ(registry_token_actions(&got, "team/ap"), 0u);
    EXPECT_EQ(registry_token_actions(&got, ""), 0u); // the catalog is not a repository
    EXPECT_TRUE(got.grants[1].catalog);
    EXPECT_EQ(got.grants[1].actions, REGISTRY_ACTION_ALL);
}

TEST(Token, WritesTheClaimsClientsAndPeopleRead)
{
    const std::string token = mint(base_claims());
    const size_t dot1 = token.find('.'), dot2 = token.rfind('.');
    EXPECT_EQ(token.substr(0, dot1), b64url(kHs256));
    const std::string part = token.substr(dot1 + 1, dot2 - dot1 - 1);
    uint8_t json[REGISTRY_TOKEN_CAP];
    size_t len = 0;
    ASSERT_EQ(auth::base64url_decode(part.data(), part.size(), json, sizeof json, &len), 0);
    const std::string text(reinterpret_cast<const char *>(json), len);
    const std::string jti = text.substr(text.find(R"("jti":")") + 7, 32);
    EXPECT_EQ(
        text,
        R"({"iss":"registry-token","sub":"alice","aud":"registry.test","iat":)" +
            std::to_string(kNow - 10) + R"(,"nbf":)" + std::to_string(kNow - 10) + R"(,"exp":)" +
            std::to_string(kNow + 300) + R"(,"jti":")" + jti +
            R"(","access":[{"type":"repository","name":"team/app","actions":["pull","push"]},)"
            R"({"type":"registry","name":"catalog","actions":["*"]}]})");
    EXPECT_EQ(jti.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(Token, MintRefusesWhatDoesNotFit)
{
    const registry_token_claims c = base_claims();
    const std::string token = mint(c);
    std::vector<char> out(token.size() + 1);
    // Sizes are exact: the jti has a fixed length, so every token of these claims is as long.
    EXPECT_EQ(registry_token_mint(kKey.bytes, &c, out.data(), out.size()), 0);
    EXPECT_EQ(registry_token_mint(kKey.bytes, &c, out.data(), out.size() - 1), -1);
    EXPECT_EQ(registry_token_mint(kKey.bytes, &c, out.data(), 10), -1);
    EXPECT_EQ(registry_token_mint(kKey.bytes, &c, out.data(), 0), -1);

    // The largest claims the caps allow are built whole (cap permitting)
    // but do not fit a token.
    registry_token_claims big{};
    memset(big.subject, 'x', sizeof big.subject - 1);
    memset(big.service, 'y', sizeof big.service - 1);
    for (size_t i = 0; i < REGISTRY_TOKEN_GRANTS_MAX; ++i) {
        std::string name(REGISTRY_TOKEN_NAME_CAP - 1, 'n');
        name[0] = static_cast<char>('a' + i);
        ASSERT_EQ(registry_scope_parse(("repository:" + name + ":*").c_str(), &big), 0);
    }
    std::vector<char> huge(8 * REGISTRY_TOKEN_CAP);
    EXPECT_EQ(registry_token_mint(kKey.bytes, &big, huge.data(), huge.size()), 0);
    EXPECT_GT(strlen(huge.data()), size_t{REGISTRY_TOKEN_CAP});
    EXPECT_EQ(verify(huge.data()), REGISTRY_TOKEN_MALFORMED);
    EXPECT_EQ(registry_token_mint(kKey.bytes, &big, out.data(), out.size()), -1);

    // Texts that are not UTF-8, or not terminated within their caps, cannot be written.
    registry_token_claims bad = c;
    snprintf(bad.subject, sizeof bad.subject, "\xff");
    EXPECT_EQ(registry_token_mint(kKey.bytes, &bad, huge.data(), huge.size()), -1);
    bad = c;
    memset(bad.service, 's', sizeof bad.service);
    EXPECT_EQ(registry_token_mint(kKey.bytes, &bad, huge.data(), huge.size()), -1);
    bad = c;
    bad.grant_count = REGISTRY_TOKEN_GRANTS_MAX + 1;
    EXPECT_EQ(registry_token_mint(kKey.bytes, &bad, huge.data(), huge.size()), -1);
    EXPECT_EQ(registry_token_mint(kKey.bytes, nullptr, huge.data(), huge.size()), -1);
}

TEST(Token, RefusalsByKind)
{
    const std::string good = mint(base_claims());
    const std::string claims = claims_json();
    const size_t dot2 = good.rfind('.');
    const std::string unsigned_part = good.substr(0, dot2);
    std::string flipped = good;
    flipped[good.find('.') + 5] = flipped[good.find('.') + 5] == 'A' ? 'B' : 'A';

    struct Case {
        const char *name;
        std::string token;
        registry_token_status want;
    };
    const Case cases[] = {
        {"crafted like ours", sign(kHs256, claims), REGISTRY_TOKEN_VALID},
        {"alg none, empty signature", b64url(R"({"alg":"none"})") + "." + b64url(claims) + ".",
         REGISTRY_TOKEN_BAD_ALG},
        {"alg none, signed", sign(R"({"alg":"none","typ":"JWT"})", claims), REGISTRY_TOKEN_BAD_ALG},
        {"alg HS512", sign(R"({"alg":"HS512","typ":"JWT"})", claims), REGISTRY_TOKEN_BAD_ALG},
        {"alg RS256", sign(R"({"alg":"RS256","typ":"JWT"})", claims), REGISTRY_TOKEN_BAD_ALG},
        {"alg in lower case", sign(R"({"alg":"hs256"})", claims), REGISTRY_TOKEN_BAD_ALG},
        {"alg not a text", sign(R"({"alg":256})", claims), REGISTRY_TOKEN_BAD_ALG},
        {"alg missing", sign(R"({"typ":"JWT"})", claims), REGISTRY_TOKEN_BAD_ALG},
        {"header only alg", sign(R"({"alg":"HS256"})", claims), REGISTRY_TOKEN_VALID},
        {"header not JSON", sign("alg=HS256", claims), REGISTRY_TOKEN_MALFORMED},
        {"header an array", sign(R"(["HS256"])", claims), REGISTRY_TOKEN_MALFORMED},
        {"header empty", sign("", claims), REGISTRY_TOKEN_MALFORMED},
        {"other key", mint(base_claims(), kOtherKey), REGISTRY_TOKEN_BAD_SIGNATURE},
        {"payload byte flipped", flipped, REGISTRY_TOKEN_BAD_SIGNATURE},
        {"signature empty", unsigned_part + ".", REGISTRY_TOKEN_BAD_SIGNATURE},
        {"signature cut to 30 bytes", unsigned_part + "." + good.substr(dot2 + 1, 40),
         REGISTRY_TOKEN_BAD_SIGNATURE},
        {"signature 3 bytes longer", good + "AAAA", REGISTRY_TOKEN_BAD_SIGNATURE},
        {"signature missing", unsigned_part, REGISTRY_TOKEN_MALFORMED},
        {"one part", good.substr(0, good.find('.')), REGISTRY_TOKEN_MALFORMED},
        {"empty", "", REGISTRY_TOKEN_MALFORMED},
        {"dots only", "..", REGISTRY_TOKEN_MALFORMED},
        {"extra dot at the end", good + ".", REGISTRY_TOKEN_MALFORMED},
        {"extra part", good + ".AAAA", REGISTRY_TOKEN_MALFORMED},
        {"padding after the signature", good + "=", REGISTRY_TOKEN_MALFORMED},
        {"padding after the header", b64url(kHs256) + "=" + good.substr(good.find('.')),
         REGISTRY_TOKEN_MALFORMED},
        {"standard alphabet", good.substr(0, dot2 + 1) + "+" + good.substr(dot2 + 2),
         REGISTRY_TOKEN_MALFORMED},
        {"space", good.substr(0, 10) + " " + good.substr(11), REGISTRY_TOKEN_MALFORMED},
        {"line break", good + "\r\n", REGISTRY_TOKEN_MALFORMED},
        {"Bearer prefix left on", "Bearer " + good, REGISTRY_TOKEN_MALFORMED},
        {"non-ASCII", good.substr(0, 10) + "\xc3\xa9" + good.substr(12), REGISTRY_TOKEN_MALFORMED},
        {"huge", std::string(REGISTRY_TOKEN_CAP * 4, 'A') + ".AAAA.AAAA", REGISTRY_TOKEN_MALFORMED},
        {"just over the cap", std::string(REGISTRY_TOKEN_CAP - 10, 'A') + ".AAAA.AAAA",
         REGISTRY_TOKEN_MALFORMED},
        {"at the cap, no JSON", std::string(REGISTRY_TOKEN_CAP - 12, 'A') + ".AAAA.AAAA",
         REGISTRY_TOKEN_MALFORMED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        registry_token_claims out;
        memset(&out, 0x5a, sizeof out);
        EXPECT_EQ(verify(c.token, &out), c.want);
        if (c.want != REGISTRY_TOKEN_VALID) {
            EXPECT_EQ(out.grant_count, size_t{0x5a5a5a5a5a5a5a5a}); // untouched
        }
    }
    EXPECT_EQ(registry_token_verify(kKey.bytes, nullptr, kService, kNow, nullptr),
              REGISTRY_TOKEN_MALFORMED);
    EXPECT_EQ(registry_token_verify(kKey.bytes, good.c_str(), nullptr, kNow, nullptr),
              REGISTRY_TOKEN_MALFORMED);
}

TEST(Token, LifetimeAndAudience)
{
    registry_token_claims c = base_claims();
    c.issued_at = c.not_before = kNow;
    c.expires_at = kNow + 60;
    const std::string token = mint(c);
    struct Case {
        const char *name;
        int64_t now;
        const char *service;
        registry_token_status want;
    };
    const Case cases[] = {
        {"issued now", kNow, kService, REGISTRY_TOKEN_VALID},
        {"last second", kNow + 59, kService, REGISTRY_TOKEN_VALID},
        {"exp reached", kNow + 60, kService, REGISTRY_TOKEN_EXPIRED},
        {"long expired", kNow + 86400, kService, REGISTRY_TOKEN_EXPIRED},
        {"clock 30 s behind", kNow - 30, kService, REGISTRY_TOKEN_VALID},
        {"clock 31 s behind", kNow - 31, kService, REGISTRY_TOKEN_NOT_YET_VALID},
        {"other service", kNow, "other.test", REGISTRY_TOKEN_WRONG_SERVICE},
        {"service prefix", kNow, "registry.tes", REGISTRY_TOKEN_WRONG_SERVICE},
        {"empty service", kNow, "", REGISTRY_TOKEN_WRONG_SERVICE},
        {"expired beats service", kNow + 60, "other.test", REGISTRY_TOKEN_EXPIRED},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(verify(token, nullptr, k.now, k.service), k.want);
    }

    // nbf and iat each count; the extremes of int64 do not overflow.
    struct Times {
        const char *name;
        Members changes;
        registry_token_status want;
    };
    const std::string future = std::to_string(kNow + 31);
    const Times times[] = {
        {"nbf in the future", {{"nbf", future}}, REGISTRY_TOKEN_NOT_YET_VALID},
        {"iat in the future", {{"iat", future}}, REGISTRY_TOKEN_NOT_YET_VALID},
        {"nbf at the leeway", {{"nbf", std::to_string(kNow + 30)}}, REGISTRY_TOKEN_VALID},
        {"nbf far past", {{"nbf", "-9223372036854775808"}}, REGISTRY_TOKEN_VALID},
        {"nbf far future", {{"nbf", "9223372036854775807"}}, REGISTRY_TOKEN_NOT_YET_VALID},
        {"exp far past", {{"exp", "-9223372036854775808"}}, REGISTRY_TOKEN_EXPIRED},
        {"exp at the end of time", {{"exp", "9223372036854775807"}}, REGISTRY_TOKEN_VALID},
    };
    for (const auto &t : times) {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(verify(sign(kHs256, claims_json(t.changes))), t.want);
    }
}

TEST(Token, SignedClaimsOfTheWrongShapeAreMalformed)
{
    auto access = [](const std::string &entries) { return Members{{"access", entries}}; };
    auto entries = [](size_t n) {
        std::string s = "[";
        for (size_t i = 0; i < n; ++i)
            s += (i ? "," : "") + std::string(R"({"type":"repository","name":"r)") +
                 std::to_string(i) + R"(","actions":["pull"]})";
        return s + "]";
    };
    struct Case {
        const char *name;
        std::string payload;
        registry_token_status want;
    };
    const Case cases[] = {
        {"not JSON", "exp=1", REGISTRY_TOKEN_MALFORMED},
        {"an array", "[]", REGISTRY_TOKEN_MALFORMED},
        {"trailing bytes", claims_json() + "x", REGISTRY_TOKEN_MALFORMED},
        {"exp a text", claims_json({{"exp", R"("9999999999")"}}), REGISTRY_TOKEN_MALFORMED},
        {"exp a fraction", claims_json({{"exp", "9999999999.5"}}), REGISTRY_TOKEN_MALFORMED},
        {"exp past int64", claims_json({{"exp", "9223372036854775808"}}), REGISTRY_TOKEN_MALFORMED},
        {"exp missing", claims_json({{"exp", ""}}), REGISTRY_TOKEN_MALFORMED},
        {"nbf null", claims_json({{"nbf", "null"}}), REGISTRY_TOKEN_MALFORMED},
        {"iat true", claims_json({{"iat", "true"}}), REGISTRY_TOKEN_MALFORMED},
        {"sub a number", claims_json({{"sub", "7"}}), REGISTRY_TOKEN_MALFORMED},
        {"sub missing", claims_json({{"sub", ""}}), REGISTRY_TOKEN_MALFORMED},
        {"sub of 127 bytes", claims_json({{"sub", "\"" + std::string(127, 's') + "\""}}),
         REGISTRY_TOKEN_VALID},
        {"sub of 128 bytes", claims_json({{"sub", "\"" + std::string(128, 's') + "\""}}),
         REGISTRY_TOKEN_MALFORMED},
        {"sub with a NUL", claims_json({{"sub", R"("al\u0000ice")"}}), REGISTRY_TOKEN_MALFORMED},
        {"aud an array", claims_json({{"aud", R"(["registry.test"])"}}), REGISTRY_TOKEN_MALFORMED},
        {"iss missing", claims_json({{"iss", ""}}), REGISTRY_TOKEN_MALFORMED},
        {"jti a number", claims_json({{"jti", "1"}}), REGISTRY_TOKEN_MALFORMED},
        {"access missing", claims_json({{"access", ""}}), REGISTRY_TOKEN_MALFORMED},
        {"access an object", claims_json(access("{}")), REGISTRY_TOKEN_MALFORMED},
        {"access empty", claims_json(access("[]")), REGISTRY_TOKEN_VALID},
        {"entry not an object", claims_json(access(R"(["repository:x:pull"])")),
         REGISTRY_TOKEN_MALFORMED},
        {"entry without type", claims_json(access(R"([{"name":"x","actions":[]}])")),
         REGISTRY_TOKEN_MALFORMED},
        {"name a number", claims_json(access(R"([{"type":"repository","name":1,"actions":[]}])")),
         REGISTRY_TOKEN_MALFORMED},
        {"name empty", claims_json(access(R"([{"type":"repository","name":"","actions":[]}])")),
         REGISTRY_TOKEN_MALFORMED},
        {"name of 256 bytes",
         claims_json(access(R"([{"type":"repository","name":")" + std::string(256, 'n') +
                            R"(","actions":[]}])")),
         REGISTRY_TOKEN_MALFORMED},
        {"actions a text",
         claims_json(access(R"([{"type":"repository","name":"x","actions":"pull"}])")),
         REGISTRY_TOKEN_MALFORMED},
        {"action a number",
         claims_json(access(R"([{"type":"repository","name":"x","actions":[1]}])")),
         REGISTRY_TOKEN_MALFORMED},
        {"unknown type and action skipped",
         claims_json(access(R"([{"type":"plugin","name":"x","actions":["pull"]},)"
                            R"({"type":"repository","name":"x","actions":["fly","pull"]}])")),
         REGISTRY_TOKEN_VALID},
        {"16 grants", claims_json(access(entries(16))), REGISTRY_TOKEN_VALID},
        {"17 grants", claims_json(access(entries(17))), REGISTRY_TOKEN_MALFORMED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verify(sign(kHs256, c.payload)), c.want);
    }

    // Unknown entries take no grant; repeated names merge as in scopes.
    registry_token_claims got;
    ASSERT_EQ(
        verify(sign(kHs256, claims_json(access(
                                R"([{"type":"plugin","name":"x","actions":["pull"]},)"
                                R"({"type":"repository","name":"x","actions":["fly","pull"]},)"
                                R"({"type":"registry","name":"other","actions":["*"]},)"
                                R"({"type":"repository","name":"x","actions":["delete"]}])"))),
               &got),
        REGISTRY_TOKEN_VALID);
    ASSERT_EQ(got.grant_count, 1u);
    EXPECT_EQ(registry_token_actions(&got, "x"), REGISTRY_ACTION_PULL | REGISTRY_ACTION_DELETE);
}

TEST(Token, EveryOneByteChangeFails)
{
    // Every symbol of the alphabet at every position, so the signature's
    // last symbol also meets those differing only in its unused bits.
    std::string replacements = ".=+/ \xff";
    for (char c = 'A'; c <= 'Z'; ++c)
        replacements += {c, static_cast<char>(c - 'A' + 'a')};
    replacements += "0123456789-_";
    replacements += '\0';
    const std::string good = mint(base_claims());
    ASSERT_EQ(verify(good), REGISTRY_TOKEN_VALID);
    for (size_t i = 0; i < good.size(); ++i) {
        for (const char c : replacements) {
            if (good[i] == c) continue;
            std::string t = good;
            t[i] = c;
            t.resize(strlen(t.c_str()));
            ASSERT_NE(verify(t), REGISTRY_TOKEN_VALID) << "byte " << i << " set to " << c;
        }
    }
}

} // namespace
