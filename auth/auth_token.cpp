/*
 * auth_token.cpp - minting and verifying the bearer tokens: compact JWS,
 * HS256 only.
 *
 * Verification is the per-request cost of every program, so it works in
 * fixed buffers on the stack (yyjson reads into a pool there) and hashes
 * the token once. Nothing in the claims is looked at before the signature
 * matched; only the header is read first, for its alg.
 */
#include "auth_token.h"

#include "auth_internal.h"
#include "hmac_sha256.h"
#include "platform.h"

#include <yyjson.h>

#include <string.h>

#include <string_view>

namespace
{

/* {"alg":"HS256","typ":"JWT"}, encoded once. */
constexpr std::string_view kHeader = "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9";
constexpr char kIssuer[] = "registry-token";
constexpr size_t kJtiBytes = 16;
constexpr size_t kSignatureText = auth::base64url_encoded_len(HMAC_SHA256_BYTES);
/* A decoded part is shorter than the token's text. */
constexpr size_t kPartCap = REGISTRY_TOKEN_CAP;
/* yyjson's own bound for reading kPartCap bytes without INSITU
 * (yyjson_read_max_memory_usage: 13 bytes per input byte and 256). */
constexpr size_t kReadPool = 13 * kPartCap + 256;
/* Building the claims: values and the writer's worst-case estimate of
 * every text escaped, for the largest claims the caps allow. */
constexpr size_t kWritePool = 64 * 1024;

const char *const kActionNames[] = {"pull", "push", "delete"};
constexpr unsigned kActionBits[] = {REGISTRY_ACTION_PULL, REGISTRY_ACTION_PUSH,
                                    REGISTRY_ACTION_DELETE};

void sign(const uint8_t key[REGISTRY_TOKEN_KEY_BYTES], std::string_view text,
          uint8_t out[HMAC_SHA256_BYTES])
{
    hmac_sha256(key, REGISTRY_TOKEN_KEY_BYTES, text.data(), text.size(), out);
}

/* ---- minting ------------------------------------------------------------ */

/* A NUL-terminated text within cap bytes, as yyjson wants it; else null. */
yyjson_mut_val *text_value(yyjson_mut_doc *doc, const char *s, size_t cap)
{
    const size_t n = strnlen(s, cap);
    return n < cap ? yyjson_mut_strn(doc, s, n) : nullptr;
}

yyjson_mut_val *actions_value(yyjson_mut_doc *doc, const registry_token_grant &g)
{
    yyjson_mut_val *arr = yyjson_mut_arr(doc);
    if (!arr) return nullptr;
    if (g.catalog && (g.actions & REGISTRY_ACTION_ALL) == REGISTRY_ACTION_ALL)
        return yyjson_mut_arr_add_str(doc, arr, "*") ? arr : nullptr;
    for (size_t i = 0; i < 3; ++i)
        if ((g.actions & kActionBits[i]) && !yyjson_mut_arr_add_str(doc, arr, kActionNames[i]))
            return nullptr;
    return arr;
}

yyjson_mut_val *access_value(yyjson_mut_doc *doc, const registry_token_claims &c)
{
    yyjson_mut_val *arr = yyjson_mut_arr(doc);
    for (size_t i = 0; arr && i < c.grant_count; ++i) {
        const registry_token_grant &g = c.grants[i];
        yyjson_mut_val *obj = yyjson_mut_arr_add_obj(doc, arr);
        yyjson_mut_val *name = g.catalog ? yyjson_mut_str(doc, "catalog")
                                         : text_value(doc, g.repository, REGISTRY_TOKEN_NAME_CAP);
        yyjson_mut_val *actions = actions_value(doc, g);
        if (!obj || !name || !actions ||
            !yyjson_mut_obj_add_str(doc, obj, "type", g.catalog ? "registry" : "repository") ||
            !yyjson_mut_obj_add_val(doc, obj, "name", name) ||
            !yyjson_mut_obj_add_val(doc, obj, "actions", actions))
            return nullptr;
    }
    return arr;
}

/* The claims as JSON text in the pool's memory, or null. */
const char *claims_json(const registry_token_claims &c, const char *jti, yyjson_alc *alc,
                        size_t *len)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(alc);
    if (!doc) return nullptr;
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_val *sub = text_value(doc, c.subject, REGISTRY_TOKEN_TEXT_CAP);
    yyjson_mut_val *aud = text_value(doc, c.service, REGISTRY_TOKEN_TEXT_CAP);
    yyjson_mut_val *access = access_value(doc, c);
    if (!root || !sub || !aud || !access || !yyjson_mut_obj_add_str(doc, root, "iss", kIssuer) ||
        !yyjson_mut_obj_add_val(doc, root, "sub", sub) ||
        !yyjson_mut_obj_add_val(doc, root, "aud", aud) ||
        !yyjson_mut_obj_add_int(doc, root, "iat", c.issued_at) ||
        !yyjson_mut_obj_add_int(doc, root, "nbf", c.not_before) ||
        !yyjson_mut_obj_add_int(doc, root, "exp", c.expires_at) ||
        !yyjson_mut_obj_add_str(doc, root, "jti", jti) ||
        !yyjson_mut_obj_add_val(doc, root, "access", access))
        return nullptr;
    yyjson_mut_doc_set_root(doc, root);
    /* Fails on a text that is not UTF-8: such a token could not be read. */
    return yyjson_mut_write_opts(doc, 0, alc, len, nullptr);
}

/* ---- verifying ---------------------------------------------------------- */

/* Frees nothing: the documents live in a pool on the caller's stack. */
yyjson_doc *read_json(const uint8_t *bytes, size_t len, char *pool, size_t pool_size)
{
    yyjson_alc alc;
    if (!yyjson_alc_pool_init(&alc, pool, pool_size)) return nullptr;
    return yyjson_read_opts(reinterpret_cast<char *>(const_cast<uint8_t *>(bytes)), len, 0, &alc,
                            nullptr);
}

/* A string member without NUL inside that fits cap with its NUL, copied to
 * out (when given). */
bool get_text(yyjson_val *obj, const char *key, char *out, size_t cap,
              std::string_view *view = nullptr)
{
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (!yyjson_is_str(v)) return false;
    const std::string_view s(yyjson_get_str(v), yyjson_get_len(v));
    if (s.size() >= cap || s.find('\0') != std::string_view::npos) return false;
    if (out) {
        memcpy(out, s.data(), s.size());
        out[s.size()] = '\0';
    }
    if (view) *view = s;
    return true;
}

bool get_time(yyjson_val *obj, const char *key, int64_t *out)
{
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_sint(v)) {
        *out = yyjson_get_sint(v);
        return true;
    }
    if (!yyjson_is_uint(v) || yyjson_get_uint(v) > static_cast<uint64_t>(INT64_MAX)) return false;
    *out = static_cast<int64_t>(yyjson_get_uint(v));
    return true;
}

/* One "access" entry merged into c; entries of resources we do not serve
 * are skipped, but must have the shape of the others. */
bool read_grant(yyjson_val *entry, registry_token_claims *c)
{
    yyjson_val *type = yyjson_obj_get(entry, "type");
    yyjson_val *actions = yyjson_obj_get(entry, "actions");
    std::string_view name;
    if (!yyjson_is_str(type) || !yyjson_is_arr(actions) ||
        !get_text(entry, "name", nullptr, REGISTRY_TOKEN_NAME_CAP, &name))
        return false;
    unsigned bits = 0;
    size_t i, n;
    yyjson_val *a;
    yyjson_arr_foreach(actions, i, n, a)
    {
        if (!yyjson_is_str(a)) return false;
        bits |= auth::token_action_bits(std::string_view(yyjson_get_str(a), yyjson_get_len(a)));
    }
    const std::string_view kind(yyjson_get_str(type), yyjson_get_len(type));
    if (kind == "repository")
        return !name.empty() && auth::token_grant_merge(c, false, name, bits) == 0;
    if (kind == "registry" && name == "catalog")
        return auth::token_grant_merge(c, true, "", bits) == 0;
    return true;
}

/* The claims' shape into c; false for anything we would not have minted. */
bool read_claims(yyjson_val *root, registry_token_claims *c)
{
    yyjson_val *access = yyjson_obj_get(root, "access");
    if (!yyjson_is_obj(root) || !yyjson_is_str(yyjson_obj_get(root, "iss")) ||
        !yyjson_is_str(yyjson_obj_get(root, "jti")) ||
        !get_text(root, "sub", c->subject, sizeof c->subject) ||
        !get_text(root, "aud", c->service, sizeof c->service) ||
        !get_time(root, "iat", &c->issued_at) || !get_time(root, "nbf", &c->not_before) ||
        !get_time(root, "exp", &c->expires_at) || !yyjson_is_arr(access) ||
        yyjson_arr_size(access) > REGISTRY_TOKEN_GRANTS_MAX)
        return false;
    size_t i, n;
    yyjson_val *entry;
    yyjson_arr_foreach(access, i, n, entry)
    {
        if (!read_grant(entry, c)) return false;
    }
    return true;
}

/* a later than b by more than leeway, without overflow at the extremes. */
bool later_by_more(int64_t a, int64_t b, uint64_t leeway)
{
    return a > b && static_cast<uint64_t>(a) - static_cast<uint64_t>(b) > leeway;
}

} // namespace

int registry_token_mint(const uint8_t key[REGISTRY_TOKEN_KEY_BYTES],
                        const registry_token_claims *claims, char *out, size_t cap)
{
    if (!key || !claims || !out || claims->grant_count > REGISTRY_TOKEN_GRANTS_MAX) return -1;
    uint8_t nonce[kJtiBytes];
    char jti[2 * kJtiBytes + 1];
    if (plat_random_bytes(nonce, sizeof nonce) != 0) return -1;
    for (size_t i = 0; i < kJtiBytes; ++i) {
        static const char hex[] = "0123456789abcdef";
        jti[2 * i] = hex[nonce[i] >> 4];
        jti[2 * i + 1] = hex[nonce[i] & 15];
    }
    jti[2 * kJtiBytes] = '\0';

    alignas(16) char pool[kWritePool];
    yyjson_alc alc;
    size_t json_len = 0;
    const char *json = yyjson_alc_pool_init(&alc, pool, sizeof pool)
                           ? claims_json(*claims, jti, &alc, &json_len)
                           : nullptr;
    if (!json) return -1;

    /* header.payload, signed, then .signature */
    if (kHeader.size() + 1 >= cap) return -1;
    memcpy(out, kHeader.data(), kHeader.size());
    size_t n = kHeader.size();
    out[n++] = '.';
    size_t written = 0;
    if (auth::base64url_encode(json, json_len, out + n, cap - n, &written) != 0) return -1;
    n += written;
    if (n + 1 + kSignatureText >= cap) return -1;
    uint8_t mac[HMAC_SHA256_BYTES];
    sign(key, std::string_view(out, n), mac);
    out[n++] = '.';
    return auth::base64url_encode(mac, sizeof mac, out + n, cap - n, &written);
}

registry_token_status registry_token_verify(const uint8_t key[REGISTRY_TOKEN_KEY_BYTES],
                                            const char *token, const char *service, int64_t now,
                                            registry_token_claims *out)
{
    if (!key || !token || !service) return REGISTRY_TOKEN_MALFORMED;
    const size_t len = strnlen(token, REGISTRY_TOKEN_CAP);
    if (len >= REGISTRY_TOKEN_CAP) return REGISTRY_TOKEN_MALFORMED;
    const std::string_view text(token, len);
    const size_t dot1 = text.find('.');
    const size_t dot2 = dot1 == std::string_view::npos ? dot1 : text.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos || text.find('.', dot2 + 1) != std::string_view::npos)
        return REGISTRY_TOKEN_MALFORMED;

    /* Shape first: all three parts decode. */
    uint8_t header[kPartCap], payload[kPartCap], mac[kPartCap];
    size_t header_len = 0, payload_len = 0, mac_len = 0;
    if (auth::base64url_decode(token, dot1, header, sizeof header, &header_len) != 0 ||
        auth::base64url_decode(token + dot1 + 1, dot2 - dot1 - 1, payload, sizeof payload,
                               &payload_len) != 0 ||
        auth::base64url_decode(token + dot2 + 1, len - dot2 - 1, mac, sizeof mac, &mac_len) != 0)
        return REGISTRY_TOKEN_MALFORMED;

    alignas(16) char pool[kReadPool];
    yyjson_doc *doc = read_json(header, header_len, pool, sizeof pool);
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) return REGISTRY_TOKEN_MALFORMED;
    if (!yyjson_equals_str(yyjson_obj_get(root, "alg"), "HS256")) return REGISTRY_TOKEN_BAD_ALG;

    uint8_t want[HMAC_SHA256_BYTES];
    sign(key, text.substr(0, dot2), want);
    if (mac_len != sizeof want || !auth::bytes_equal(mac, want, sizeof want))
        return REGISTRY_TOKEN_BAD_SIGNATURE;

    registry_token_claims c;
    memset(&c, 0, sizeof c);
    doc = read_json(payload, payload_len, pool, sizeof pool);
    if (!doc || !read_claims(yyjson_doc_get_root(doc), &c)) return REGISTRY_TOKEN_MALFORMED;
    if (c.expires_at <= now) return REGISTRY_TOKEN_EXPIRED;
    if (later_by_more(c.not_before, now, REGISTRY_TOKEN_LEEWAY_SECONDS) ||
        later_by_more(c.issued_at, now, REGISTRY_TOKEN_LEEWAY_SECONDS))
        return REGISTRY_TOKEN_NOT_YET_VALID;
    if (strcmp(c.service, service) != 0) return REGISTRY_TOKEN_WRONG_SERVICE;
    if (out) *out = c;
    return REGISTRY_TOKEN_VALID;
}
