/*
 * sha256.h - SHA-256 digests (FIPS 180-4).
 *
 * The hash behind every content address in the registry: blob uploads are
 * verified with sha256_file, manifests are named with the incremental
 * functions, and Basic authentication compares a password's digest.
 * Callers turn the 32-byte result into lower-case hex themselves.
 *
 * Calling order: sha256_init, any number of sha256_update, one sha256_final.
 * After sha256_final the context is spent; start again with sha256_init.
 */
#ifndef REGISTRY_SHA256_H
#define REGISTRY_SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Running context, owned by the caller (usually an automatic variable).
 * Invariant between calls: buffer_len is 0..63 and buffer[0..buffer_len)
 * holds the bytes of the current, not yet complete, block. */
typedef struct sha256_ctx {
    uint32_t state[8];   /* chaining value H0..H7 */
    uint64_t bit_count;  /* message bits absorbed so far */
    uint8_t buffer[64];  /* partial block */
    uint64_t buffer_len; /* bytes held in buffer */
} sha256_ctx;

void sha256_init(sha256_ctx *ctx);
/* Absorbs len bytes; a length of 0 does nothing (data may then be NULL). */
void sha256_update(sha256_ctx *ctx, const void *data, size_t len);
/* Pads, writes the 32-byte digest and wipes the context. */
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);
/* Digest of a whole file, read in 65,536-byte chunks. 0 on success; -1 when
 * the file cannot be opened or reading it fails, and out is then untouched. */
int sha256_file(const char *path, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif
