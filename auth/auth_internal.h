/*
 * auth_internal.h - the pieces of the credential check that its tests
 * reach directly. Not part of the C interface.
 */
#ifndef REGISTRY_AUTH_INTERNAL_H
#define REGISTRY_AUTH_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

#include "auth_token.h"

namespace auth
{

constexpr size_t kUserCap = 128;  /* configured user: 127 bytes and a NUL */
constexpr size_t kDigestCap = 65; /* 64 hex digits and a NUL */
constexpr size_t kDigestHexLen = 64;
constexpr size_t kCredentialsMax = 511; /* decoded "user:password" */

/* Decodes Base64 (standard and URL-safe alphabets, mixed too; blanks and
 * '=' skipped anywhere) into out. 0 with *out_len set, or -1 for a byte
 * outside the alphabets, a single leftover symbol, or more than cap bytes. */
int base64_decode(const char *in, uint8_t *out, size_t cap, size_t *out_len);

/* Base64url without padding, the bearer tokens' form. */
constexpr size_t base64url_encoded_len(size_t n)
{
    return n / 3 * 4 + (n % 3 ? n % 3 + 1 : 0);
}
/* Encodes len bytes into out with its NUL. 0 with *out_len set (the
 * symbols written), or -1 when they and the NUL do not fit cap. */
int base64url_encode(const void *in, size_t len, char *out, size_t cap, size_t *out_len);
/* Decodes exactly len symbols of the URL-safe alphabet: no padding, no
 * blanks, and the unused low bits of a tail zero, so only what the encoder
 * writes is accepted. 0 with *out_len set, or -1 as base64_decode. */
int base64url_decode(const char *in, size_t len, uint8_t *out, size_t cap, size_t *out_len);

/* Whole-length comparisons whose time does not depend on where the first
 * difference lies. 1 when equal. */
int user_equal(const uint8_t *given, size_t given_len, const char *configured);
/* digest: 32 bytes; hex: the configured 64 digits, either case. -1 when a
 * configured character is not a hex digit. */
int digest_equal(const uint8_t *digest, const char *hex);
/* n bytes of a and b, compared the same way. 1 when equal. */
int bytes_equal(const uint8_t *a, const uint8_t *b, size_t n);

/* The REGISTRY_ACTION_* bit of one action name ("*": all of them); 0 for
 * a name we do not know, which grants nothing. */
unsigned token_action_bits(std::string_view name);
/* Adds actions to the grant of the catalog or of repository name in claims,
 * appending a grant when there is none yet. 0, or -1 when the name does not
 * fit or the grants are full. */
int token_grant_merge(registry_token_claims *claims, bool catalog, std::string_view name,
                      unsigned actions);

} // namespace auth

#endif
