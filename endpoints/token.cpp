/*
 * token.cpp - GET /token?service=&scope=...: bearer tokens for the API.
 *
 * The password is checked here once (a bcrypt may cost tens of
 * milliseconds) and the token then carries what the caller may do: for
 * each scope asked, the intersection of the actions asked and those the
 * rules give the caller, so a client cannot widen its rights by asking.
 * Every API request then costs one HMAC instead of a password check.
 * Without credentials the token is anonymous and grants what the rules
 * give anonymous callers (perhaps nothing).
 */
#include "oci_common.h"
#include "platform.h"
#include "tv_audit.h"
#include "v2_auth.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

namespace
{

constexpr size_t kAnswerCap = REGISTRY_TOKEN_CAP * 2 + 256;

/* The scopes asked for, each cut to what the caller may do. */
void grant(const tv_settings *cfg, const registry_caller &caller, registry_token_claims *claims)
{
    for (int i = 0;; ++i) {
        const char *scope = cgi_query_nth("scope", i);
        if (!scope) break;
        if (!*scope) continue;
        if (registry_scope_parse(scope, claims) != 0)
            oci_send_error(400, "UNSUPPORTED", "malformed or too many scopes");
    }
    for (size_t i = 0; i < claims->grant_count; ++i) {
        registry_token_grant &g = claims->grants[i];
        if (g.catalog) {
            /* The listing itself shows only what the caller may pull. */
            g.actions = caller.user[0] || !tv_config_access_control(cfg) ? g.actions : 0;
            continue;
        }
        g.actions = oci_valid_repo_name(g.repository)
                        ? g.actions & registry_rights(cfg, caller.user, g.repository)
                        : 0;
    }
}

void rfc3339(int64_t t, char *out, size_t cap)
{
    struct tm tm;
    if (plat_gmtime(t, &tm) != 0 ||
        tv_snprintf(out, cap, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec) <= 0)
        tv_strlcpy(out, "1970-01-01T00:00:00Z", cap);
}

} // namespace

int main(void)
{
    const char *method = cgi_method();
    if (strcmp(method, "OPTIONS") == 0) {
        oci_response_begin(204);
        cgi_header_extra("Allow: GET, OPTIONS");
        cgi_headers_end();
        return 0;
    }
    if (strcmp(method, "GET") != 0)
        oci_send_error_with(405, "UNSUPPORTED", "method not allowed", "Allow: GET, OPTIONS");

    const tv_settings *cfg = tv_config();
    registry_caller caller;
    if (!registry_auth_password_caller(&caller)) return 0;
    const char *service = cgi_query("service");
    if (*service && strcmp(service, cfg->token_service) != 0)
        oci_send_error(400, "UNSUPPORTED", "unknown service");

    registry_token_claims claims;
    memset(&claims, 0, sizeof claims);
    tv_strlcpy(claims.subject, caller.user, sizeof claims.subject);
    tv_strlcpy(claims.service, cfg->token_service, sizeof claims.service);
    claims.issued_at = claims.not_before = plat_time();
    claims.expires_at = claims.issued_at + cfg->token_lifetime_seconds;
    grant(cfg, caller, &claims);

    /* The key lives under the storage root, which the first request of a
     * new installation may be the one to lay out. */
    oci_api_storage();
    uint8_t key[REGISTRY_TOKEN_KEY_BYTES];
    if (registry_token_key(tv_config_storage_root(), key) != 0)
        oci_send_error(500, "UNKNOWN",
                       "the token key under the storage root cannot be read or made");
    static char token[REGISTRY_TOKEN_CAP];
    const int minted = registry_token_mint(key, &claims, token, sizeof token);
    memset(key, 0, sizeof key);
    if (minted != 0) oci_send_error(500, "UNKNOWN", "token too large");

    char issued[32];
    rfc3339(claims.issued_at, issued, sizeof issued);
    static char answer[kAnswerCap];
    tv_snprintf(
        answer, sizeof answer,
        "{\"token\":\"%s\",\"access_token\":\"%s\",\"expires_in\":%lld,\"issued_at\":\"%s\"}",
        token, token, static_cast<long long>(cfg->token_lifetime_seconds), issued);
    oci_response_begin(200);
    cgi_header_extra("Cache-Control: no-store");
    cgi_header_json();
    cgi_headers_end();
    if (!cgi_is_head()) {
        fputs(answer, stdout);
        fputc('\n', stdout);
        tv_audit_note_bytes(static_cast<int64_t>(strlen(answer) + 1));
    }
    return 0;
}
