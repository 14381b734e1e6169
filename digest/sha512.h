/*
 * sha512.h - SHA-512 digests (FIPS 180-4).
 *
 * The second content address the protocol allows ("sha512:" and 128 hex
 * digits) for blobs and manifests. Same calling order as sha256.h:
 * sha512_init, any number of sha512_update, one sha512_final.
 */
#ifndef REGISTRY_SHA512_H
#define REGISTRY_SHA512_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SHA512_DIGEST_BYTES 64
#define SHA512_BLOCK_BYTES 128

/* Running context, owned by the caller. Invariant between calls:
 * buffer_len is 0..127 and buffer[0..buffer_len) holds the bytes of the
 * current, not yet complete, block. Messages stay below 2^64 bits, so one
 * 64-bit count is the whole 128-bit length field's value. */
typedef struct sha512_ctx {
    uint64_t state[8];
    uint64_t bit_count;
    uint8_t buffer[SHA512_BLOCK_BYTES];
    uint64_t buffer_len;
} sha512_ctx;

void sha512_init(sha512_ctx *ctx);
/* Absorbs len bytes; a length of 0 does nothing (data may then be NULL). */
void sha512_update(sha512_ctx *ctx, const void *data, size_t len);
/* Pads, writes the 64-byte digest and wipes the context. */
void sha512_final(sha512_ctx *ctx, uint8_t out[SHA512_DIGEST_BYTES]);
/* Digest of a whole file, read in 65,536-byte chunks. 0, or -1 when the
 * file cannot be opened or read (out untouched). */
int sha512_file(const char *path, uint8_t out[SHA512_DIGEST_BYTES]);

#ifdef __cplusplus
}
#endif

#endif
