/*
 * auth_check.cpp - the Basic credential check and its 401 answer, and the
 * test whether a request path needs it.
 *
 * Every failure, whatever its cause, gives the same 401 response, so a
 * client learns nothing about which part of its credentials was wrong.
 */
#include "v2_auth.h"

#include "auth_internal.h"
#include "sha256.h"
#include "tv_audit.h"
#include "tv_cgi.h"

#include <stdio.h>
#include <string.h>

namespace
{

constexpr char kChallenge[] = "WWW-Authenticate: Basic realm=\"Vornhalt Registry\"";
constexpr char kApiVersion[] = "Docker-Distribution-API-Version: registry/2.0";
constexpr char kScheme[] = "BASIC"; /* compared with bit 0x20 cleared */
constexpr size_t kSchemeLen = sizeof kScheme - 1;

/* The complete 401 response. Like every answer, none for HEAD carries a
 * body, and the log counts the body sent. */
int refuse()
{
    cgi_header_status(401, "Unauthorized");
    cgi_header_extra(kChallenge);
    cgi_header_extra(kApiVersion);
    cgi_header_json();
    cgi_headers_end();
    if (!cgi_is_head()) {
        const size_t n = cgi_error_body(stdout, "UNAUTHORIZED", "authentication required");
        tv_audit_note_bytes(static_cast<int64_t>(n));
    }
    fflush(stdout);
    return 0;
}

/* The Base64 text after "Basic" and one space or tab, or NULL when the
 * header names another scheme. The scheme is public: no need to compare
 * it in constant time. */
const char *basic_payload(const char *header)
{
    while (*header == ' ')
        ++header;
    for (size_t i = 0; i < kSchemeLen; ++i) {
        if ((header[i] & ~0x20) != kScheme[i]) return nullptr; /* also stops at NUL */
    }
    const char sep = header[kSchemeLen];
    return sep == ' ' || sep == '\t' ? header + kSchemeLen + 1 : nullptr;
}

} // namespace

int registry_auth_path_guarded(const char *path)
{
    if (!path) return 0;
    while (*path == '/')
        ++path;
    return path[0] == 'v' && path[1] == '2' && (path[2] == '\0' || path[2] == '/') ? 1 : 0;
}

int registry_auth_check(void)
{
    auth::settings cfg;
    if (!auth::read_settings(&cfg)) return 1; /* authentication off */

    const char *payload = basic_payload(cgi_env("HTTP_AUTHORIZATION", nullptr));
    if (!payload) return refuse();

    uint8_t cred[auth::kCredentialsMax];
    size_t len = 0;
    if (auth::base64_decode(payload, cred, sizeof cred, &len) != 0 || len == 0) return refuse();

    const auto *colon = static_cast<const uint8_t *>(memchr(cred, ':', len));
    if (!colon) return refuse();
    const size_t user_len = static_cast<size_t>(colon - cred);
    if (user_len >= auth::kUserCap) return refuse();

    /* Both comparisons run before deciding, so a wrong user costs the same
     * time as a wrong password. */
    const int user_ok = auth::user_equal(cred, user_len, cfg.user);
    sha256_ctx ctx;
    uint8_t digest[32];
    sha256_init(&ctx);
    sha256_update(&ctx, colon + 1, len - user_len - 1);
    sha256_final(&ctx, digest);
    const int digest_ok = auth::digest_equal(digest, cfg.digest);
    if (!((user_ok == 1) & (digest_ok == 1))) return refuse();

    tv_audit_note_actor(cfg.user);
    return 1;
}
