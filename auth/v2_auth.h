/*
 * v2_auth.h - who sent a request and what they may do.
 *
 * Callers are identified by Basic credentials (the single user of the
 * older settings, or a users file in the htpasswd format) or by a bearer
 * token from the token program; without an Authorization header they are
 * anonymous. What a caller may do on a repository comes from the rules of
 * the settings (auth_rights.cpp). Without any access-control setting every
 * request may do everything.
 *
 * The gates write their refusal themselves: 401 with the challenge for a
 * caller who could do better with (other) credentials, 403 DENIED for a
 * signed-in caller without the right, 500 when the settings, the users
 * file or the token key cannot be read. They never let a request through
 * because something could not be read.
 */
#ifndef REGISTRY_V2_AUTH_H
#define REGISTRY_V2_AUTH_H

#include <stddef.h>

#include "auth_token.h"
#include "tv_config.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REGISTRY_AUTH_WHY_CAP 512

typedef enum registry_caller_kind {
    REGISTRY_CALLER_ANONYMOUS = 0,
    REGISTRY_CALLER_BASIC, /* user and password checked */
    REGISTRY_CALLER_BEARER /* a token verified; its grants in token */
} registry_caller_kind;

typedef struct registry_caller {
    registry_caller_kind kind;
    char user[TV_CONFIG_USER_CAP]; /* "" for anonymous */
    registry_token_claims token;
} registry_caller;

typedef enum registry_auth_status {
    REGISTRY_AUTH_OK = 0,
    REGISTRY_AUTH_BAD_CREDENTIALS, /* Basic credentials wrong or malformed: 401 */
    REGISTRY_AUTH_BAD_TOKEN,       /* a bearer token that does not verify: 401 */
    REGISTRY_AUTH_UNAVAILABLE      /* settings, users file or key unreadable: 500 */
} registry_auth_status;

/* Reads HTTP_AUTHORIZATION into out. why (REGISTRY_AUTH_WHY_CAP bytes)
 * says what failed, for logs and 500 answers; never sent for a 401. */
registry_auth_status registry_auth_identify(registry_caller *out, char *why, size_t why_cap);

/* TV_ACTION_* bits the rules give user ("" or NULL: anonymous) on
 * repository. First matching rule decides; see auth_rights.cpp. */
unsigned registry_rights(const tv_settings *cfg, const char *user, const char *repository);
/* 1 when user has the admin right (the whole catalog, the status page). */
int registry_is_admin(const tv_settings *cfg, const char *user);
/* '*' within one level, '**' across levels; 1 on a match. */
int registry_pattern_match(const char *pattern, const char *name);

/* 1 when access control is on (any user, users file or rule set). */
int registry_auth_enabled(void);

/* 1 when path lies under the API root "/v2" (leading '/' ignored). */
int registry_auth_path_guarded(const char *path);

/* Gates. Each returns 1 when the request may go on (the caller, when asked
 * for, in out), or 0 once the refusal has been written; the caller writes
 * nothing more.
 *   registry_auth_check:   any signed-in caller (GET /v2/).
 *   registry_auth_enter:   see below.
 *   registry_auth_require: actions (TV_ACTION_*) on repository.
 *   registry_auth_catalog: a signed-in caller whose token, if any, grants
 *                          the catalog; the listing is then filtered by
 *                          registry_auth_may_list.
 *   registry_auth_admin:   the admin right, with a Basic challenge (for
 *                          browsers: the status page). */
int registry_auth_check(void);
/* The first gate of every API program: the settings are valid and the
 * credentials, if any, are good; an anonymous caller passes only when some
 * rule gives anonymous callers anything. */
int registry_auth_enter(void);
int registry_auth_require(const char *repository, unsigned actions, registry_caller *out);
int registry_auth_catalog(registry_caller *out);
int registry_auth_admin(void);
/* The token program's gate: valid settings and good Basic credentials or
 * none (anonymous); wrong ones and bearer tokens get 401 with the Basic
 * challenge. Without access control the caller is anonymous. */
int registry_auth_password_caller(registry_caller *out);
/* 1 when caller may see repository in the catalog (admin, or pull). */
int registry_auth_may_list(const registry_caller *caller, const char *repository);
/* The actions caller may use on repository now: for a token its grants,
 * else the rules. */
unsigned registry_auth_actions(const registry_caller *caller, const char *repository);

#ifdef __cplusplus
}
#endif

#endif
