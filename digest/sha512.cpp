/*
 * sha512.cpp - the SHA-512 context (init, update, final), file hashing and
 * the choice of compression backend.
 */
#if defined(_MSC_VER) && !defined(_CRT_SECURE_NO_WARNINGS)
#define _CRT_SECURE_NO_WARNINGS /* fopen and getenv are used as the C library defines them */
#endif

#include "sha512.h"
#include "sha512_internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

constexpr size_t kLengthOffset = 112; /* where the 16-byte bit length starts in the last block */
constexpr size_t kFileChunkBytes = 65536; /* read size of sha512_file */

/* FIPS 180-4 section 5.3.5. */
constexpr uint64_t kInitialState[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

/* 0 until first use; racing threads compute the same value. */
std::atomic<int> s_backend{0};

int choose_backend()
{
    const char *force = std::getenv(SHA512_PORTABLE_ENV);
    if (force && force[0] != '\0' && std::strcmp(force, "0") != 0) return SHA512_BACKEND_PORTABLE;
    if (sha512_avx2_available()) return SHA512_BACKEND_AVX2;
    return SHA512_BACKEND_PORTABLE;
}

int current_backend()
{
    int b = s_backend.load(std::memory_order_relaxed);
    if (b == 0) {
        b = choose_backend();
        s_backend.store(b, std::memory_order_relaxed);
    }
    return b;
}

void compress(uint64_t state[8], const uint8_t *blocks, size_t count)
{
    if (current_backend() == SHA512_BACKEND_AVX2)
        sha512_compress_avx2(state, blocks, count);
    else
        sha512_compress_portable(state, blocks, count);
}

void store_be64(uint8_t *p, uint64_t v)
{
    for (int i = 7; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

} // namespace

extern "C" {

int sha512_backend(void)
{
    return current_backend();
}

void sha512_backend_reselect(void)
{
    s_backend.store(choose_backend(), std::memory_order_relaxed);
}

int sha512_backend_force(int backend)
{
    const bool runs = backend == SHA512_BACKEND_PORTABLE ||
                      (backend == SHA512_BACKEND_AVX2 && sha512_avx2_available());
    if (!runs) return 0;
    s_backend.store(backend, std::memory_order_relaxed);
    return 1;
}

void sha512_init(sha512_ctx *ctx)
{
    std::memcpy(ctx->state, kInitialState, sizeof ctx->state);
    ctx->bit_count = 0;
    ctx->buffer_len = 0;
}

/* Whole blocks are compressed straight from the caller's memory; only a
 * partial block is copied. */
void sha512_update(sha512_ctx *ctx, const void *data, size_t len)
{
    if (len == 0) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    ctx->bit_count += static_cast<uint64_t>(len) * 8;

    if (ctx->buffer_len > 0) {
        size_t take = SHA512_BLOCK_BYTES - static_cast<size_t>(ctx->buffer_len);
        if (take > len) take = len;
        std::memcpy(ctx->buffer + ctx->buffer_len, p, take);
        ctx->buffer_len += take;
        p += take;
        len -= take;
        if (ctx->buffer_len < SHA512_BLOCK_BYTES) return;
        compress(ctx->state, ctx->buffer, 1);
        ctx->buffer_len = 0;
    }
    const size_t whole = len / SHA512_BLOCK_BYTES;
    if (whole > 0) {
        compress(ctx->state, p, whole);
        p += whole * SHA512_BLOCK_BYTES;
        len -= whole * SHA512_BLOCK_BYTES;
    }
    if (len > 0) {
        std::memcpy(ctx->buffer, p, len);
        ctx->buffer_len = len;
    }
}

void sha512_final(sha512_ctx *ctx, uint8_t out[SHA512_DIGEST_BYTES])
{
    const uint64_t bits = ctx->bit_count;
    size_t n = static_cast<size_t>(ctx->buffer_len);
    ctx->buffer[n++] = 0x80;
    if (n > kLengthOffset) {
        std::memset(ctx->buffer + n, 0, SHA512_BLOCK_BYTES - n);
        compress(ctx->state, ctx->buffer, 1);
        n = 0;
    }
    /* The high 64 bits of the length are 0. */
    std::memset(ctx->buffer + n, 0, SHA512_BLOCK_BYTES - 8 - n);
    store_be64(ctx->buffer + SHA512_BLOCK_BYTES - 8, bits);
    compress(ctx->state, ctx->buffer, 1);

    for (int i = 0; i < 8; ++i)
        store_be64(out + 8 * i, ctx->state[i]);
    std::memset(ctx, 0, sizeof *ctx);
}

int sha512_file(const char *path, uint8_t out[SHA512_DIGEST_BYTES])
{
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
    if (!f) return -1;
    uint8_t chunk[kFileChunkBytes];
    sha512_ctx ctx;
    sha512_init(&ctx);
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0)
        sha512_update(&ctx, chunk, got);
    const bool failed = std::ferror(f.get()) != 0;
    f.reset();
    if (failed) return -1;
    sha512_final(&ctx, out);
    return 0;
}

} // extern "C"
