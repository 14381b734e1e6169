/*
 * auth_passwords.h - password hashes (bcrypt) and the users file: one
 * "user:hash" line per user, in the format htpasswd writes, so teams bring
 * the files they already have.
 *
 * Files: auth_bcrypt.cpp (the hash), auth_users.cpp (the file).
 */
#ifndef REGISTRY_AUTH_PASSWORDS_H
#define REGISTRY_AUTH_PASSWORDS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define REGISTRY_BCRYPT_HASH_CAP 61 /* "$2y$10$" + 22 salt + 31 hash chars, and a NUL */
#define REGISTRY_BCRYPT_DEFAULT_COST 10
#define REGISTRY_BCRYPT_MIN_COST 4
#define REGISTRY_BCRYPT_MAX_COST 31
#define REGISTRY_BCRYPT_SALT_LEN 16
#define REGISTRY_USER_NAME_CAP 128 /* a user name: 127 bytes and a NUL */
/* One line of the users file, its line end included; a longer line is
 * skipped as broken. */
#define REGISTRY_USERS_LINE_CAP 1024

/* bcrypt of password (bytes; only the first 72 count, as every bcrypt does)
 * with cost (REGISTRY_BCRYPT_MIN_COST..MAX_COST: 2^cost rounds) and a fresh
 * random salt (plat_random_bytes), written as "$2y$..." into out. 0 or -1
 * (a cost out of range, no random bytes). */
int registry_bcrypt_hash(const void *password, size_t len, int cost,
                         char out[REGISTRY_BCRYPT_HASH_CAP]);
/* The same with a given salt (tests, oracles). */
int registry_bcrypt_hash_salt(const void *password, size_t len, int cost,
                              const unsigned char salt[REGISTRY_BCRYPT_SALT_LEN],
                              char out[REGISTRY_BCRYPT_HASH_CAP]);
/* 1 when password matches hash ($2a$, $2b$, $2y$ prefixes), 0 when not, -1
 * when hash is no bcrypt hash. The hashes are compared in constant time. A
 * password is its len bytes: a NUL inside counts as a byte (C-string
 * implementations stop there). */
int registry_bcrypt_check(const void *password, size_t len, const char *hash);
/* The cost of a well-formed bcrypt hash, or -1. */
int registry_bcrypt_cost(const char *hash);

/* One line of the users file, as registry_users_parse_line sees it. */
#define REGISTRY_USERS_LINE_BLANK 0  /* blank or a comment */
#define REGISTRY_USERS_LINE_ENTRY 1  /* user and hash usable */
#define REGISTRY_USERS_LINE_BROKEN 2 /* skipped; reason says why */
typedef struct registry_users_line {
    int kind;
    const char *user; /* ENTRY: inside the line, not NUL-terminated */
    size_t user_len;
    const char *hash; /* ENTRY: inside the line, not NUL-terminated */
    size_t hash_len;
    const char *reason; /* BROKEN: a static text for the warning */
} registry_users_line;
/* Parses one line (its LF or CRLF may be included) of len bytes. Returns
 * the kind, also stored in out. */
int registry_users_parse_line(const char *line, size_t len, registry_users_line *out);

/* Results of registry_users_check. */
#define REGISTRY_USERS_OK 0
#define REGISTRY_USERS_DENIED 1
#define REGISTRY_USERS_UNREADABLE (-1)

/* Checks user:password against the users file at path:
 *   REGISTRY_USERS_OK: user found and password matches;
 *   REGISTRY_USERS_DENIED: unknown user or wrong password, indistinguishable
 *     and taking the same time (an unknown user still costs one bcrypt of
 *     the cost of the file's first entry, against a dummy hash);
 *   REGISTRY_USERS_UNREADABLE: the file cannot be opened or read (the
 *     caller fails closed).
 * Lines: "user:hash"; blank lines and lines starting with '#' are ignored,
 * blanks around a line and a CR before its LF too. A broken line (no ':',
 * an empty user, a user name over 127 bytes, the reserved names
 * "anonymous" and "*", a hash form this build does not know, a line over
 * REGISTRY_USERS_LINE_CAP) is skipped with one warning line on stderr
 * naming the file and the line number; the other entries still work. When
 * a user has several lines the first one counts. The whole file is read on
 * every call, line by line: no limit on the number of users, and the same
 * warnings whoever asks. */
int registry_users_check(const char *path, const char *user, size_t user_len, const void *password,
                         size_t password_len);

#ifdef __cplusplus
}
#endif

#endif
