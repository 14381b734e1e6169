/*
 * tv_config.h - the service settings: the one reader of the settings file.
 *
 * The file (REGISTRY_CONFIG when set, else "config.json" in the working
 * directory) is read once per process, whole, as JSON, into one
 * tv_settings. Every key the registry knows is in one table
 * (tv_config_keys); a key outside it, a value of the wrong type or range,
 * two root keys that disagree, a file that is no JSON object or is larger
 * than TV_CONFIG_MAX_BYTES make the settings invalid. Invalid settings are
 * never half-applied: callers that need them refuse the request
 * (tv_config_error says why), so a broken file can never switch access
 * control off.
 *
 * Keys beginning with '_' are comments and are passed over.
 */
#ifndef REGISTRY_TV_CONFIG_H
#define REGISTRY_TV_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TV_CONFIG_FILE "config.json"
#define TV_CONFIG_ENV "REGISTRY_CONFIG"
#define TV_CONFIG_ROOT_ENV "REGISTRY_STORAGE_ROOT"
#define TV_CONFIG_DEFAULT_ROOT "./registry_storage"

#define TV_CONFIG_MAX_BYTES (1024 * 1024) /* a larger file is refused */
#define TV_CONFIG_PATH_CAP 1024           /* a path setting: 1,023 bytes and a NUL */
#define TV_CONFIG_USER_CAP 128            /* a user name: 127 bytes and a NUL */
#define TV_CONFIG_SHA256_CAP 65           /* 64 hex digits and a NUL */
#define TV_CONFIG_TEXT_CAP 128            /* the token service */
#define TV_CONFIG_URL_CAP 512             /* the token realm */
#define TV_CONFIG_ERROR_CAP 1400          /* the file's path and the problem */

/* How long a collection spares a blob after a push last named it: the time
 * a push has from its first finished blob to its manifest. Two hours take a
 * 10 GiB image over a 12 Mbit/s uplink; garbage that young only waits for
 * the next collection. Under a minute is for tests. */
#define TV_CONFIG_GC_SPARE_DEFAULT 7200
#define TV_CONFIG_GC_SPARE_MIN 1
#define TV_CONFIG_GC_SPARE_MAX 604800 /* a week */

/* What a rule may grant on a repository; push implies pull. */
#define TV_ACTION_PULL 1u
#define TV_ACTION_PUSH 2u
#define TV_ACTION_DELETE 4u

/* User selectors with a meaning of their own in rules and admin lists. */
#define TV_USER_ANY "*"               /* every signed-in user */
#define TV_USER_ANONYMOUS "anonymous" /* a request without credentials */

/* One entry of "registry_access": who may do what where. Texts live as
 * long as the settings they came from. */
typedef struct tv_access_rule {
    const char *const *repositories; /* patterns: exact names, one-level and any-depth wildcards */
    size_t repository_count;
    const char *const *users; /* names, TV_USER_ANY, TV_USER_ANONYMOUS */
    size_t user_count;
    unsigned actions; /* TV_ACTION_* */
} tv_access_rule;

typedef struct tv_settings {
    /* The storage root as configured; "" when neither root key is set.
     * tv_config_storage_root applies the environment and the default. */
    char storage_root[TV_CONFIG_PATH_CAP];
    int access_log;               /* 1 on (default), 0 off */
    int64_t access_log_max_bytes; /* 0: no cap */
    int64_t retention_keep_n;
    int64_t retention_days;
    int retention_protect_latest; /* 1 (default) or 0 */
    int64_t quota_bytes;          /* 0: none */
    int64_t gc_spare_seconds;     /* TV_CONFIG_GC_SPARE_* */
    /* Age in seconds of the usage snapshot a quota check trusts. */
    int64_t quota_refresh_seconds;

    /* One user with the SHA-256 of the password (both or neither). */
    char auth_user[TV_CONFIG_USER_CAP];
    char auth_sha256[TV_CONFIG_SHA256_CAP];
    /* A users file in the htpasswd format; "" when not set. */
    char htpasswd[TV_CONFIG_PATH_CAP];
    /* Rules in the order written; the first that names the repository
     * and the caller decides. NULL / 0 when not set. */
    const tv_access_rule *rules;
    size_t rule_count;
    int rules_set; /* "registry_access" present (even when empty) */
    /* Users with the admin right (catalog of everything, status page). */
    const char *const *admins;
    size_t admin_count;
    int admins_set;

    int token_auth; /* 1 (default): the challenge asks for a bearer token */
    int64_t token_lifetime_seconds;
    char token_service[TV_CONFIG_TEXT_CAP];
    char token_realm[TV_CONFIG_URL_CAP]; /* "" : made from the request's host */

    int64_t file_bytes;            /* size of the file read; -1 when there was none */
    struct tv_config_store *store; /* what the lists point into; owned */
} tv_settings;

/* The settings file: REGISTRY_CONFIG when set and not empty, else
 * config.json in the working directory. */
const char *tv_config_path(void);

/* This process's settings, read on the first call. Never NULL: when the
 * file is invalid, the defaults (with access control off) are returned and
 * tv_config_error is not NULL, so a caller that may not run on defaults
 * must check tv_config_error first. A missing config.json in the working
 * directory gives the defaults and is no error; a missing file that
 * REGISTRY_CONFIG names is one (the operator said where the settings are). */
const tv_settings *tv_config(void);
/* NULL when the settings are valid, else "settings file PATH: PROBLEM". */
const char *tv_config_error(void);
/* Forgets what was read: the next tv_config reads the file again (tests;
 * the registry-admin command after editing). */
void tv_config_reload(void);
/* Counts the reads of the file in this process: what is cached from the
 * settings is stale when it changes. */
unsigned tv_config_generation(void);

/* Parses text (len bytes, need not be NUL-terminated) into out. 0, or -1
 * with the problem (without the path) in err and out at the defaults.
 * Release out with tv_config_release (after a failure too: harmless). */
int tv_config_parse(const char *text, size_t len, tv_settings *out, char *err, size_t err_cap);
void tv_config_release(tv_settings *settings);

/* The storage root: REGISTRY_STORAGE_ROOT when set and not empty, else
 * the configured root, else TV_CONFIG_DEFAULT_ROOT. */
const char *tv_config_storage_root(void);

/* 1 when any access-control setting is present: the single user, a users
 * file or rules. Without one, every request may do everything. */
int tv_config_access_control(const tv_settings *settings);

/* The table of keys: name, value type, default and meaning, in the order
 * the README documents them. */
typedef struct tv_config_key {
    const char *name;
    const char *type;
    const char *fallback;
    const char *meaning;
} tv_config_key;
const tv_config_key *tv_config_keys(size_t *out_count);

#ifdef __cplusplus
}
#endif

#endif
