/*
 * auth_internal.h - the pieces of the credential check that its tests
 * reach directly. Not part of the C interface.
 */
#ifndef REGISTRY_AUTH_INTERNAL_H
#define REGISTRY_AUTH_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

namespace auth
{

constexpr size_t kUserCap = 128;  /* configured user: 127 bytes and a NUL */
constexpr size_t kDigestCap = 65; /* 64 hex digits and a NUL */
constexpr size_t kDigestHexLen = 64;
constexpr size_t kCredentialsMax = 511; /* decoded "user:password" */

/* The two settings; on exactly when both are usable. */
struct settings {
    char user[kUserCap];
    char digest[kDigestCap];
};
/* Reads config.json; 1 when authentication is on, else 0. */
int read_settings(settings *out);

/* Decodes Base64 (standard and URL-safe alphabets, mixed too; blanks and
 * '=' skipped anywhere) into out. 0 with *out_len set, or -1 for a byte
 * outside the alphabets, a single leftover symbol, or more than cap bytes. */
int base64_decode(const char *in, uint8_t *out, size_t cap, size_t *out_len);

/* Whole-length comparisons whose time does not depend on where the first
 * difference lies. 1 when equal. */
int user_equal(const uint8_t *given, size_t given_len, const char *configured);
/* digest: 32 bytes; hex: the configured 64 digits, either case. -1 when a
 * configured character is not a hex digit. */
int digest_equal(const uint8_t *digest, const char *hex);

} // namespace auth

#endif
