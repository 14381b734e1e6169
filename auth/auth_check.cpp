/*
 * auth_check.cpp - the gates every endpoint program passes: who is the
 * caller, may they do what they ask, and the answer when not.
 *
 * Every wrong credential, whatever its cause, gives the same 401, so a
 * client learns nothing about which part was wrong. Whatever cannot be
 * read (settings, users file, token key) gives 500: never a request let
 * through because the rules that would refuse it were not seen.
 */
#include "v2_auth.h"

#include "auth_internal.h"
#include "auth_passwords.h"
#include "platform.h"
#include "sha256.h"
#include "tv_audit.h"
#include "tv_cgi.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <string_view>

namespace
{

constexpr char kBasicChallenge[] = "WWW-Authenticate: Basic realm=\"Vornhalt Registry\"";
constexpr char kApiVersion[] = "Docker-Distribution-API-Version: registry/2.0";
constexpr size_t kLineCap = 1400;
constexpr size_t kScopeCap = 400;

/* The scheme word at the start of header (any case), then one space or
 * tab: the text after it, or NULL. The scheme is public: no need to
 * compare it in constant time. */
const char *scheme_payload(const char *header, std::string_view scheme)
{
    if (!header) return nullptr;
    while (*header == ' ')
        ++header;
    for (size_t i = 0; i < scheme.size(); ++i) {
        if ((header[i] & ~0x20) != (scheme[i] & ~0x20)) return nullptr; /* also stops at NUL */
    }
    const char sep = header[scheme.size()];
    return sep == ' ' || sep == '\t' ? header + scheme.size() + 1 : nullptr;
}

void say(char *why, size_t cap, const char *text)
{
    if (why && cap) tv_strlcpy(why, text, cap);
}

/* The single user of the older settings: both comparisons run before
 * deciding, so a wrong user costs the same time as a wrong password. */
bool legacy_match(const tv_settings *cfg, const uint8_t *user, size_t user_len, const uint8_t *pw,
                  size_t pw_len)
{
    const int user_ok = auth::user_equal(user, user_len, cfg->auth_user);
    sha256_ctx ctx;
    uint8_t digest[32];
    sha256_init(&ctx);
    sha256_update(&ctx, pw, pw_len);
    sha256_final(&ctx, digest);
    const int digest_ok = auth::digest_equal(digest, cfg->auth_sha256);
    return (user_ok == 1) & (digest_ok == 1);
}

registry_auth_status identify_basic(const tv_settings *cfg, const char *payload,
                                    registry_caller *out, char *why, size_t cap)
{
    uint8_t cred[auth::kCredentialsMax];
    size_t len = 0;
    if (auth::base64_decode(payload, cred, sizeof cred, &len) != 0 || len == 0)
        return REGISTRY_AUTH_BAD_CREDENTIALS;
    const auto *colon = static_cast<const uint8_t *>(memchr(cred, ':', len));
    if (!colon) return REGISTRY_AUTH_BAD_CREDENTIALS;
    const size_t user_len = static_cast<size_t>(colon - cred);
    if (user_len == 0 || user_len >= sizeof out->user) return REGISTRY_AUTH_BAD_CREDENTIALS;
    const uint8_t *pw = colon + 1;
    const size_t pw_len = len - user_len - 1;

    bool ok = false;
    const bool legacy_user = cfg->auth_user[0] && strlen(cfg->auth_user) == user_len &&
                             memcmp(cfg->auth_user, cred, user_len) == 0;
    if (cfg->auth_user[0] && (legacy_user || !cfg->htpasswd[0])) {
        ok = legacy_match(cfg, cred, user_len, pw, pw_len);
    } else if (cfg->htpasswd[0]) {
        const int rc = registry_users_check(cfg->htpasswd, reinterpret_cast<const char *>(cred),
                                            user_len, pw, pw_len);
        if (rc == REGISTRY_USERS_UNREADABLE) {
            char text[REGISTRY_AUTH_WHY_CAP];
            tv_snprintf(text, sizeof text, "users file %s cannot be read", cfg->htpasswd);
            say(why, cap, text);
            return REGISTRY_AUTH_UNAVAILABLE;
        }
        ok = rc == REGISTRY_USERS_OK;
    }
    if (!ok) return REGISTRY_AUTH_BAD_CREDENTIALS;
    memcpy(out->user, cred, user_len);
    out->user[user_len] = '\0';
    out->kind = REGISTRY_CALLER_BASIC;
    return REGISTRY_AUTH_OK;
}

registry_auth_status identify_bearer(const tv_settings *cfg, const char *token,
                                     registry_caller *out, char *why, size_t cap)
{
    uint8_t key[REGISTRY_TOKEN_KEY_BYTES];
    const int have = registry_token_key_read(tv_config_storage_root(), key);
    if (have == 1) return REGISTRY_AUTH_BAD_TOKEN; /* none signed yet */
    if (have != 0) {
        say(why, cap, "the token key under the storage root cannot be read");
        return REGISTRY_AUTH_UNAVAILABLE;
    }
    while (*token == ' ' || *token == '\t')
        ++token;
    const registry_token_status st =
        registry_token_verify(key, token, cfg->token_service, plat_time(), &out->token);
    memset(key, 0, sizeof key);
    if (st != REGISTRY_TOKEN_VALID) return REGISTRY_AUTH_BAD_TOKEN;
    tv_strlcpy(out->user, out->token.subject, sizeof out->user);
    out->kind = REGISTRY_CALLER_BEARER;
    return REGISTRY_AUTH_OK;
}

/* Only the characters of a host name and port: nothing of the client's
 * text can break out of the quoted realm or the header line. */
bool host_text(const char *s)
{
    return *s && strspn(s, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") ==
                     strlen(s);
}

/* The scheme and host the client reached us by, for the token realm: the
 * Host header, else the server's name and port. */
void default_realm(char *out, size_t cap)
{
    const char *https = cgi_env("HTTPS", "");
    const bool tls = strcmp(https, "on") == 0 || strcmp(https, "1") == 0;
    char host[256];
    tv_strlcpy(host, cgi_env("HTTP_HOST", ""), sizeof host);
    if (!host_text(host) || strlen(cgi_env("HTTP_HOST", "")) >= sizeof host) {
        const char *port = cgi_env("SERVER_PORT", "");
        tv_snprintf(host, sizeof host, "%s%s%s", cgi_env("SERVER_NAME", "127.0.0.1"),
                    *port ? ":" : "", port);
        if (!host_text(host)) tv_strlcpy(host, "127.0.0.1", sizeof host);
    }
    tv_snprintf(out, cap, "%s://%s/token", tls ? "https" : "http", host);
}

void action_list(unsigned actions, char *out, size_t cap)
{
    /* A push needs the pull that reads what is there (a blob's HEAD). */
    if (actions & TV_ACTION_PUSH) actions |= TV_ACTION_PULL;
    tv_snprintf(out, cap, "%s%s%s%s%s", actions & TV_ACTION_PULL ? "pull" : "",
                (actions & TV_ACTION_PULL) && (actions & ~TV_ACTION_PULL) ? "," : "",
                actions & TV_ACTION_PUSH ? "push" : "",
                (actions & TV_ACTION_PUSH) && (actions & TV_ACTION_DELETE) ? "," : "",
                actions & TV_ACTION_DELETE ? "delete" : "");
}

void end_with_body(const char *code, const char *message)
{
    cgi_header_json();
    cgi_headers_end();
    if (!cgi_is_head()) {
        const size_t n = cgi_error_body(stdout, code, message);
        tv_audit_note_bytes(static_cast<int64_t>(n));
    }
    fflush(stdout);
}

/* 401 with the challenge. scope: "" for none; error: "" or the bearer
 * error ("invalid_token", "insufficient_scope"). basic: the Basic
 * challenge whatever the settings say (the status page's browsers). */
int challenge(const char *scope, const char *error, bool basic)
{
    const tv_settings *cfg = tv_config();
    cgi_header_status(401, "Unauthorized");
    if (basic || !cfg->token_auth) {
        cgi_header_extra(kBasicChallenge);
    } else {
        char realm[TV_CONFIG_URL_CAP];
        if (cfg->token_realm[0])
            tv_strlcpy(realm, cfg->token_realm, sizeof realm);
        else
            default_realm(realm, sizeof realm);
        char line[kLineCap];
        int n =
            tv_snprintf(line, sizeof line, "WWW-Authenticate: Bearer realm=\"%s\",service=\"%s\"",
                        realm, cfg->token_service);
        if (*scope && n > 0)
            n +=
                tv_snprintf(line + n, sizeof line - static_cast<size_t>(n), ",scope=\"%s\"", scope);
        if (*error && n > 0)
            tv_snprintf(line + n, sizeof line - static_cast<size_t>(n), ",error=\"%s\"", error);
        cgi_header_extra(line);
    }
    cgi_header_extra(kApiVersion);
    end_with_body("UNAUTHORIZED", "authentication required");
    return 0;
}

int denied(const char *message)
{
    cgi_header_status(403, "Forbidden");
    cgi_header_extra(kApiVersion);
    end_with_body("DENIED", message);
    return 0;
}

int unavailable(const char *why)
{
    /* The operator's log gets the whole reason; the client too, as it
     * names only the operator's own file. */
    fprintf(stderr, "registry: %s\n", why);
    cgi_header_status(500, "Internal Server Error");
    cgi_header_extra(kApiVersion);
    end_with_body("UNKNOWN", why);
    return 0;
}

/* The start of every gate: 0 with the answer written when the settings or
 * the caller's credentials stop the request here. *on: access control. */
int enter(registry_caller *caller, bool *on, const char *scope, bool basic)
{
    memset(caller, 0, sizeof *caller);
    if (const char *err = tv_config_error()) return unavailable(err);
    *on = tv_config_access_control(tv_config()) != 0;
    if (!*on) return 1;
    char why[REGISTRY_AUTH_WHY_CAP] = "";
    switch (registry_auth_identify(caller, why, sizeof why)) {
    case REGISTRY_AUTH_OK:
        if (caller->user[0]) tv_audit_note_actor(caller->user);
        return 1;
    case REGISTRY_AUTH_BAD_CREDENTIALS:
        return challenge(scope, "", basic);
    case REGISTRY_AUTH_BAD_TOKEN:
        return challenge(scope, "invalid_token", basic);
    case REGISTRY_AUTH_UNAVAILABLE:
        return unavailable(why);
    }
    return unavailable("unknown authentication state");
}

const char *action_name(unsigned missing)
{
    if (missing & TV_ACTION_PUSH) return "push to";
    if (missing & TV_ACTION_DELETE) return "delete from";
    return "pull from";
}

} // namespace

/* One identification per process: a program's gates ask more than once,
 * and a password check may cost a bcrypt. Keyed by the header and the
 * settings' generation, which a test may change between calls. */
namespace
{
struct identity_cache {
    bool valid = false;
    unsigned generation = 0;
    std::string header;
    registry_auth_status status = REGISTRY_AUTH_OK;
    registry_caller caller{};
    char why[REGISTRY_AUTH_WHY_CAP] = "";
} s_identity;
} // namespace

static registry_auth_status identify_now(registry_caller *out, char *why, size_t why_cap);

registry_auth_status registry_auth_identify(registry_caller *out, char *why, size_t why_cap)
{
    const char *header = cgi_env("HTTP_AUTHORIZATION", "");
    if (!s_identity.valid || s_identity.header != header ||
        s_identity.generation != tv_config_generation()) {
        s_identity.header = header;
        s_identity.generation = tv_config_generation();
        s_identity.status = identify_now(&s_identity.caller, s_identity.why, sizeof s_identity.why);
        s_identity.valid = true;
    }
    *out = s_identity.caller;
    say(why, why_cap, s_identity.why);
    return s_identity.status;
}

static registry_auth_status identify_now(registry_caller *out, char *why, size_t why_cap)
{
    memset(out, 0, sizeof *out);
    say(why, why_cap, "");
    const tv_settings *cfg = tv_config();
    if (const char *err = tv_config_error()) {
        say(why, why_cap, err);
        return REGISTRY_AUTH_UNAVAILABLE;
    }
    const char *header = cgi_env("HTTP_AUTHORIZATION", nullptr);
    if (!header || !*header) return REGISTRY_AUTH_OK; /* anonymous */
    if (const char *basic = scheme_payload(header, "Basic"))
        return identify_basic(cfg, basic, out, why, why_cap);
    if (const char *bearer = scheme_payload(header, "Bearer"))
        return identify_bearer(cfg, bearer, out, why, why_cap);
    return REGISTRY_AUTH_BAD_CREDENTIALS;
}

int registry_auth_enabled(void)
{
    return tv_config_error() == nullptr && tv_config_access_control(tv_config()) ? 1 : 0;
}

int registry_auth_path_guarded(const char *path)
{
    if (!path) return 0;
    while (*path == '/')
        ++path;
    return path[0] == 'v' && path[1] == '2' && (path[2] == '\0' || path[2] == '/') ? 1 : 0;
}

unsigned registry_auth_actions(const registry_caller *caller, const char *repository)
{
    if (caller->kind == REGISTRY_CALLER_BEARER)
        return registry_token_actions(&caller->token, repository);
    return registry_rights(tv_config(), caller->user, repository);
}

int registry_auth_enter(void)
{
    registry_caller caller;
    bool on = false;
    if (!enter(&caller, &on, "", false)) return 0;
    if (!on || caller.user[0]) return 1;
    /* Anonymous callers go on only where some rule lets them in; the
     * program's own gate then decides on the repository. */
    const tv_settings *cfg = tv_config();
    for (size_t i = 0; i < cfg->rule_count; ++i)
        for (size_t j = 0; j < cfg->rules[i].user_count; ++j)
            if (strcmp(cfg->rules[i].users[j], TV_USER_ANONYMOUS) == 0 && cfg->rules[i].actions)
                return 1;
    return challenge("", "", false);
}

int registry_auth_check(void)
{
    registry_caller caller;
    bool on = false;
    if (!enter(&caller, &on, "", false)) return 0;
    if (on && !caller.user[0]) return challenge("", "", false);
    return 1;
}

int registry_auth_require(const char *repository, unsigned actions, registry_caller *out)
{
    registry_caller local;
    registry_caller *caller = out ? out : &local;
    char scope[kScopeCap], list[64];
    action_list(actions, list, sizeof list);
    tv_snprintf(scope, sizeof scope, "repository:%s:%s", repository, list);
    bool on = false;
    if (!enter(caller, &on, scope, false)) return 0;
    if (!on) return 1;
    const unsigned allowed = registry_auth_actions(caller, repository);
    const unsigned missing = actions & ~allowed;
    if (!missing) return 1;

    const unsigned by_rules = registry_rights(tv_config(), caller->user, repository);
    if (caller->kind == REGISTRY_CALLER_BEARER && (actions & ~by_rules) == 0)
        return challenge(scope, "insufficient_scope", false); /* a new token will do */
    if (!caller->user[0]) return challenge(scope, "", false); /* signing in may help */
    char message[kLineCap];
    tv_snprintf(message, sizeof message, "access denied: %s may not %s %s", caller->user,
                action_name(missing & ~by_rules ? missing & ~by_rules : missing), repository);
    return denied(message);
}

int registry_auth_catalog(registry_caller *out)
{
    registry_caller local;
    registry_caller *caller = out ? out : &local;
    bool on = false;
    if (!enter(caller, &on, "registry:catalog:*", false)) return 0;
    if (!on) return 1;
    if (!caller->user[0]) return challenge("registry:catalog:*", "", false);
    if (caller->kind == REGISTRY_CALLER_BEARER) {
        bool granted = false;
        for (size_t i = 0; i < caller->token.grant_count; ++i)
            granted =
                granted || (caller->token.grants[i].catalog && caller->token.grants[i].actions);
        if (!granted) return challenge("registry:catalog:*", "insufficient_scope", false);
    }
    return 1;
}

int registry_auth_may_list(const registry_caller *caller, const char *repository)
{
    const tv_settings *cfg = tv_config();
    if (!tv_config_access_control(cfg) || registry_is_admin(cfg, caller->user)) return 1;
    return (registry_rights(cfg, caller->user, repository) & TV_ACTION_PULL) ? 1 : 0;
}

int registry_auth_password_caller(registry_caller *out)
{
    bool on = false;
    if (!enter(out, &on, "", true)) return 0;
    /* A token buys no new token: the password must be shown again. */
    if (out->kind == REGISTRY_CALLER_BEARER) return challenge("", "", true);
    return 1;
}

int registry_auth_admin(void)
{
    registry_caller caller;
    bool on = false;
    if (!enter(&caller, &on, "", true)) return 0;
    if (!on) return 1;
    if (!caller.user[0]) return challenge("", "", true);
    if (!registry_is_admin(tv_config(), caller.user)) {
        char message[kLineCap];
        tv_snprintf(message, sizeof message, "access denied: %s has no admin right", caller.user);
        return denied(message);
    }
    return 1;
}
