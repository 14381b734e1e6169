/*
 * hmac_sha256.h - HMAC-SHA256 (RFC 2104 over FIPS 180-4), the keyed hash
 * that signs and checks the registry's bearer tokens.
 */
#ifndef REGISTRY_HMAC_SHA256_H
#define REGISTRY_HMAC_SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HMAC_SHA256_BYTES 32 /* the tag */

/* The tag of len bytes of data under key_len bytes of key. A key longer
 * than SHA-256's 64-byte block is hashed first, as the construction says;
 * data (or key) may be NULL when its length is 0. */
void hmac_sha256(const void *key, size_t key_len, const void *data, size_t len,
                 uint8_t out[HMAC_SHA256_BYTES]);

#ifdef __cplusplus
}
#endif

#endif
