/*
 * hmac_sha256.cpp - HMAC-SHA256 over the incremental SHA-256 functions:
 * H((K ^ opad) || H((K ^ ipad) || data)).
 */
#include "hmac_sha256.h"

#include "sha256.h"

#include <string.h>

namespace
{

constexpr size_t kBlock = 64;
constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5c;

/* Key material should not outlive the call on the stack; the volatile
 * writes keep the compiler from dropping them as dead stores. */
void wipe(uint8_t *p, size_t n)
{
    volatile uint8_t *v = p;
    for (size_t i = 0; i < n; ++i)
        v[i] = 0;
}

/* Starts ctx on the key block XORed with pad. */
void start_keyed(sha256_ctx *ctx, const uint8_t key[kBlock], uint8_t pad)
{
    uint8_t block[kBlock];
    for (size_t i = 0; i < kBlock; ++i)
        block[i] = static_cast<uint8_t>(key[i] ^ pad);
    sha256_init(ctx);
    sha256_update(ctx, block, kBlock);
    wipe(block, kBlock);
}

} // namespace

extern "C" void hmac_sha256(const void *key, size_t key_len, const void *data, size_t len,
                            uint8_t out[HMAC_SHA256_BYTES])
{
    /* The key zero-padded to one block, or its digest when it is longer. */
    uint8_t k[kBlock] = {};
    sha256_ctx ctx;
    if (key_len > kBlock) {
        sha256_init(&ctx);
        sha256_update(&ctx, key, key_len);
        sha256_final(&ctx, k);
    } else if (key_len > 0) {
        memcpy(k, key, key_len);
    }

    uint8_t inner[HMAC_SHA256_BYTES];
    start_keyed(&ctx, k, kInnerPad);
    sha256_update(&ctx, data, len);
    sha256_final(&ctx, inner);

    start_keyed(&ctx, k, kOuterPad);
    sha256_update(&ctx, inner, sizeof inner);
    sha256_final(&ctx, out);

    wipe(k, kBlock);
}
