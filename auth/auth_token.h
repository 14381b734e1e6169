/*
 * auth_token.h - the registry's bearer tokens: scopes, signed tokens and
 * the key that signs them.
 *
 * A client asks the token program for scopes ("repository:team/app:pull,push",
 * "registry:catalog:*"); the program checks its credentials once and mints a
 * token, a compact JWS (header {"alg":"HS256","typ":"JWT"}) whose claims name
 * the subject, the service it is for, its lifetime and the grants. Every
 * other program then checks a request's token with one HMAC-SHA256 under the
 * key kept at ROOT/_auth/token.key, which the first request makes.
 */
#ifndef REGISTRY_AUTH_TOKEN_H
#define REGISTRY_AUTH_TOKEN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define REGISTRY_TOKEN_KEY_BYTES 32
#define REGISTRY_TOKEN_CAP 4096 /* a token text and its NUL */
#define REGISTRY_TOKEN_GRANTS_MAX                                                                  \
    16 /* grants in one token: bounds one request's scopes, not the store */
#define REGISTRY_TOKEN_NAME_CAP 256      /* a repository name: 255 bytes and a NUL */
#define REGISTRY_TOKEN_TEXT_CAP 128      /* subject, service */
#define REGISTRY_TOKEN_LEEWAY_SECONDS 30 /* clock difference tolerated on nbf and iat */

#define REGISTRY_ACTION_PULL 1u
#define REGISTRY_ACTION_PUSH 2u
#define REGISTRY_ACTION_DELETE 4u
#define REGISTRY_ACTION_ALL (REGISTRY_ACTION_PULL | REGISTRY_ACTION_PUSH | REGISTRY_ACTION_DELETE)

/* One resource and what may be done to it: a repository by name, or the
 * catalog (catalog 1, repository ""), whose "*" is REGISTRY_ACTION_ALL. */
typedef struct registry_token_grant {
    int catalog; /* registry:catalog:* */
    char repository[REGISTRY_TOKEN_NAME_CAP];
    unsigned actions; /* REGISTRY_ACTION_* bits; 0 when none were granted */
} registry_token_grant;

typedef struct registry_token_claims {
    char subject[REGISTRY_TOKEN_TEXT_CAP]; /* "" for anonymous */
    char service[REGISTRY_TOKEN_TEXT_CAP];
    int64_t issued_at, not_before, expires_at; /* Unix seconds */
    size_t grant_count;                        /* grants[0..grant_count) are in use */
    registry_token_grant grants[REGISTRY_TOKEN_GRANTS_MAX];
} registry_token_claims;

/* Parses one scope parameter ("repository:team/app:pull,push",
 * "repository:x:*", "registry:catalog:*"; several separated by spaces are
 * taken one by one) and merges it into claims: the same resource twice
 * merges its actions. The name runs from the first to the last colon, so a
 * registry host's port stays in it. Unknown resource types and actions are
 * ignored, not errors; "*" on a repository means pull, push and delete.
 * 0, or -1 for a malformed scope (a part missing or empty, a name over 255
 * bytes, a byte outside printable ASCII, a quote or backslash: nothing that
 * could break out of a header or JSON text) or one grant more than the cap;
 * claims are then unchanged. Repository names are not validated here beyond
 * length; the caller validates. */
int registry_scope_parse(const char *scope, registry_token_claims *claims);

/* Writes the compact JWS of claims signed with key: header
 * {"alg":"HS256","typ":"JWT"}, claims iss, sub, aud (the service), iat,
 * nbf, exp, a random jti, and "access":[{"type":"repository","name":...,
 * "actions":["pull",...]}, {"type":"registry","name":"catalog","actions":["*"]}].
 * 0, or -1 when it does not fit cap (or a text is not UTF-8, or the random
 * source fails). */
int registry_token_mint(const uint8_t key[REGISTRY_TOKEN_KEY_BYTES],
                        const registry_token_claims *claims, char *out, size_t cap);

typedef enum registry_token_status {
    REGISTRY_TOKEN_VALID = 0,
    REGISTRY_TOKEN_MALFORMED,
    REGISTRY_TOKEN_BAD_ALG,
    REGISTRY_TOKEN_BAD_SIGNATURE,
    REGISTRY_TOKEN_EXPIRED,
    REGISTRY_TOKEN_NOT_YET_VALID,
    REGISTRY_TOKEN_WRONG_SERVICE
} registry_token_status;

/* Verifies token against key at time now for service, in this order:
 * shape (three Base64url parts without padding, at most
 * REGISTRY_TOKEN_CAP - 1 bytes, a JSON object for a header) else
 * MALFORMED; alg exactly "HS256" else BAD_ALG (alg none, other algs, a
 * missing alg); the signature, compared in constant time before any claim
 * is read, else BAD_SIGNATURE; the claims' shape (types, texts that fit,
 * at most REGISTRY_TOKEN_GRANTS_MAX access entries) else MALFORMED;
 * exp <= now: EXPIRED; nbf or iat more than REGISTRY_TOKEN_LEEWAY_SECONDS
 * after now: NOT_YET_VALID; aud != service: WRONG_SERVICE. On VALID fills
 * out (which may be NULL), otherwise leaves it untouched. Any input is
 * safe, including NULL. */
registry_token_status registry_token_verify(const uint8_t key[REGISTRY_TOKEN_KEY_BYTES],
                                            const char *token, const char *service, int64_t now,
                                            registry_token_claims *out);

/* The actions claims grant on repository (0 when none). The catalog's
 * grant is the one with catalog set. */
unsigned registry_token_actions(const registry_token_claims *claims, const char *repository);

/* The signing key kept at ROOT/_auth/token.key: read it, or make it once
 * (random bytes in a private temporary file in ROOT/_auth, renamed to
 * token.key without replacing, so concurrent first requests all end up
 * with one key: a loser reads the winner's file). The file is readable by
 * its owner only. 0, or -1 when the key cannot be read or made, or the
 * file does not hold exactly REGISTRY_TOKEN_KEY_BYTES bytes. */
int registry_token_key(const char *storage_root, uint8_t out[REGISTRY_TOKEN_KEY_BYTES]);
/* The key when it exists, never made: 0; 1 when there is none (or none
 * to be seen: no token can be checked, a verifier refuses it without
 * writing); -1 when the file is there but cannot be read whole. */
int registry_token_key_read(const char *storage_root, uint8_t out[REGISTRY_TOKEN_KEY_BYTES]);

#ifdef __cplusplus
}
#endif

#endif
