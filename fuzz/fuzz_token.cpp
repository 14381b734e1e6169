/*
 * fuzz_token - the bearer tokens: registry_token_verify and
 * registry_scope_parse on any text, and the claims reader on any JSON.
 *
 * Input: the whole of it (cut at a NUL) is verified as a token text and
 * parsed as a scope parameter. When it has a line feed, the first line and
 * the rest are also taken as a header and a claims JSON, signed here with
 * the target's key and verified: the claims reader is only reached behind
 * a good signature, which mutations of a token text never keep.
 *
 * Holds for every input: verify returns one of its statuses and leaves out
 * untouched unless VALID; a VALID token's claims, minted again, verify to
 * the same claims, and the token with any one byte changed does not
 * verify; a refused scope leaves the claims as they were, an accepted one
 * gives at most the cap of grants with non-empty names found in the input,
 * and those claims mint and verify to themselves.
 */
#include "auth_internal.h"
#include "auth_token.h"
#include "fuzz_support.h"
#include "hmac_sha256.h"

#include <string>

namespace
{

constexpr int64_t kNow = 1765400000;
constexpr char kService[] = "fuzz.test";
/* The seeds in corpus/token are signed with this key: bytes 0, 1, ... 31. */
const uint8_t *key()
{
    static uint8_t k[REGISTRY_TOKEN_KEY_BYTES];
    static bool made = [] {
        for (size_t i = 0; i < sizeof k; ++i)
            k[i] = static_cast<uint8_t>(i);
        return true;
    }();
    (void)made;
    return k;
}

bool same_claims(const registry_token_claims &a, const registry_token_claims &b)
{
    if (strcmp(a.subject, b.subject) != 0 || strcmp(a.service, b.service) != 0 ||
        a.issued_at != b.issued_at || a.not_before != b.not_before ||
        a.expires_at != b.expires_at || a.grant_count != b.grant_count)
        return false;
    for (size_t i = 0; i < a.grant_count; ++i)
        if (a.grants[i].catalog != b.grants[i].catalog ||
            strcmp(a.grants[i].repository, b.grants[i].repository) != 0 ||
            a.grants[i].actions != b.grants[i].actions)
            return false;
    return true;
}

/* Minted claims verify to themselves (when they fit a token at all). */
void check_round_trip(const registry_token_claims &c)
{
    fuzz::buffer token(REGISTRY_TOKEN_CAP);
    if (registry_token_mint(key(), &c, token.get(), token.cap()) != 0) return;
    FUZZ_CHECK(token.terminated());
    registry_token_claims again;
    const registry_token_status st =
        registry_token_verify(key(), token.get(), c.service, kNow, &again);
    FUZZ_CHECK(st == REGISTRY_TOKEN_VALID);
    FUZZ_CHECK(same_claims(c, again));
}

registry_token_status verify(const std::string &text, registry_token_claims *out)
{
    memset(out, 0xa5, sizeof *out);
    registry_token_claims untouched;
    memset(&untouched, 0xa5, sizeof untouched);
    const fuzz::text t(text);
    const registry_token_status st = registry_token_verify(key(), t.c_str(), kService, kNow, out);
    FUZZ_CHECK(st >= REGISTRY_TOKEN_VALID && st <= REGISTRY_TOKEN_WRONG_SERVICE);
    if (st != REGISTRY_TOKEN_VALID) FUZZ_CHECK(memcmp(out, &untouched, sizeof *out) == 0);
    return st;
}

/* A VALID token: re-minted claims agree, and one changed byte (a few,
 * chosen by the token's own bytes) breaks it. */
void check_valid(const std::string &token, const registry_token_claims &c)
{
    FUZZ_CHECK(c.grant_count <= REGISTRY_TOKEN_GRANTS_MAX);
    check_round_trip(c);
    uint32_t x = 2166136261u;
    for (unsigned char b : token)
        x = (x ^ b) * 16777619u;
    for (int i = 0; i < 8; ++i) {
        x = x * 1103515245u + 12345u;
        std::string changed = token;
        const size_t at = (x >> 8) % changed.size();
        const char to = static_cast<char>(x >> 24);
        if (changed[at] == to) continue;
        changed[at] = to;
        registry_token_claims ignored;
        FUZZ_CHECK(verify(changed, &ignored) != REGISTRY_TOKEN_VALID);
    }
    // The signature's last symbol, changed in its lowest bit, which no
    // byte of the signature uses.
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string last = token;
    const char *at = strchr(alphabet, last.back());
    FUZZ_CHECK(at && *at);
    last.back() = alphabet[(at - alphabet) ^ 1];
    registry_token_claims ignored;
    FUZZ_CHECK(verify(last, &ignored) != REGISTRY_TOKEN_VALID);
}

void check_scope(const fuzz::text &in)
{
    registry_token_claims c{};
    snprintf(c.subject, sizeof c.subject, "fuzz");
    snprintf(c.service, sizeof c.service, "%s", kService);
    c.issued_at = c.not_before = kNow;
    c.expires_at = kNow + 60;
    registry_scope_parse("repository:held:pull", &c);
    const registry_token_claims before = c;
    if (registry_scope_parse(in.c_str(), &c) != 0) {
        FUZZ_CHECK(memcmp(&before, &c, sizeof c) == 0);
        return;
    }
    FUZZ_CHECK(c.grant_count >= 1 && c.grant_count <= REGISTRY_TOKEN_GRANTS_MAX);
    for (size_t i = 0; i < c.grant_count; ++i) {
        const registry_token_grant &g = c.grants[i];
        FUZZ_CHECK((g.actions & ~REGISTRY_ACTION_ALL) == 0);
        if (g.catalog) {
            FUZZ_CHECK(g.repository[0] == '\0');
            continue;
        }
        const size_t n = strnlen(g.repository, sizeof g.repository);
        FUZZ_CHECK(n > 0 && n < sizeof g.repository);
        FUZZ_CHECK(i == 0 || in.view().find(g.repository) != std::string_view::npos);
        FUZZ_CHECK(registry_token_actions(&c, g.repository) == g.actions);
    }
    check_round_trip(c);
}

std::string b64url(std::string_view bytes)
{
    std::string out(auth::base64url_encoded_len(bytes.size()) + 1, '\0');
    size_t len = 0;
    FUZZ_CHECK(auth::base64url_encode(bytes.data(), bytes.size(), out.data(), out.size(), &len) ==
               0);
    out.resize(len);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::text in(std::string_view(reinterpret_cast<const char *>(data), size));
    registry_token_claims c;
    if (verify(std::string(in.view()), &c) == REGISTRY_TOKEN_VALID)
        check_valid(std::string(in.view()), c);
    check_scope(in);

    const fuzz::split parts = fuzz::first_line(data, size);
    if (parts.had_line) {
        std::string token = b64url(parts.line) + "." + b64url(parts.rest);
        uint8_t mac[HMAC_SHA256_BYTES];
        hmac_sha256(key(), REGISTRY_TOKEN_KEY_BYTES, token.data(), token.size(), mac);
        token += "." + b64url(std::string_view(reinterpret_cast<const char *>(mac), sizeof mac));
        if (verify(token, &c) == REGISTRY_TOKEN_VALID) check_valid(token, c);
    }
    return 0;
}
