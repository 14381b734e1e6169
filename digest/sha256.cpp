/*
 * sha256.cpp - the SHA-256 context (init, update, final), file hashing and
 * the choice of compression backend.
 *
 * Divisions: backend choice; context functions; file hashing.
 */
#if defined(_MSC_VER) && !defined(_CRT_SECURE_NO_WARNINGS)
#define _CRT_SECURE_NO_WARNINGS /* fopen and getenv are used as the C library defines them */
#endif

#include "sha256.h"
#include "sha256_internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kBlockBytes = 64;
constexpr size_t kLengthOffset = 56;     /* where the 8-byte bit length starts in the last block */
constexpr size_t kFileChunkBytes = 65536; /* read size of sha256_file; bounds its memory use */

/* FIPS 180-4 section 5.3.3. */
constexpr uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

/* ---- backend choice ------------------------------------------------------ */

/* 0 until first use. Every thread that races here computes the same value,
 * so a relaxed store is enough. */
std::atomic<int> s_backend{0};

int choose_backend()
{
    const char *force = std::getenv(SHA256_PORTABLE_ENV);
    bool portable = force && force[0] != '\0' && std::strcmp(force, "0") != 0;
    if (portable) return SHA256_BACKEND_PORTABLE;
    if (sha256_shani_available()) return SHA256_BACKEND_SHANI;
    if (sha256_avx2_available()) return SHA256_BACKEND_AVX2;
    return SHA256_BACKEND_PORTABLE;
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

void compress(uint32_t state[8], const uint8_t *blocks, size_t count)
{
    switch (current_backend()) {
    case SHA256_BACKEND_SHANI: sha256_compress_shani(state, blocks, count); break;
    case SHA256_BACKEND_AVX2: sha256_compress_avx2(state, blocks, count); break;
    default: sha256_compress_portable(state, blocks, count); break;
    }
}

void store_be64(uint8_t *p, uint64_t v)
{
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

} // namespace

extern "C" {

int sha256_backend(void) { return current_backend(); }

void sha256_backend_reselect(void) { s_backend.store(choose_backend(), std::memory_order_relaxed); }

int sha256_backend_force(int backend)
{
    bool runs = backend == SHA256_BACKEND_PORTABLE || (backend == SHA256_BACKEND_SHANI && sha256_shani_available()) ||
                (backend == SHA256_BACKEND_AVX2 && sha256_avx2_available());
    if (!runs) return 0;
    s_backend.store(backend, std::memory_order_relaxed);
    return 1;
}

/* ---- context functions --------------------------------------------------- */

void sha256_init(sha256_ctx *ctx)
{
    std::memcpy(ctx->state, kInitialState, sizeof ctx->state);
    ctx->bit_count = 0;
    ctx->buffer_len = 0;
}

/* Tops up the partial block first; whole blocks after it are compressed
 * straight from the caller's memory (one backend call for all of them) and
 * only the tail is copied. The digest is the same as copying byte by byte. */
void sha256_update(sha256_ctx *ctx, const void *data, size_t len)
{
    if (len == 0) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    ctx->bit_count += static_cast<uint64_t>(len) * 8;

    if (ctx->buffer_len > 0) {
        size_t take = kBlockBytes - static_cast<size_t>(ctx->buffer_len);
        if (take > len) take = len;
        std::memcpy(ctx->buffer + ctx->buffer_len, p, take);
        ctx->buffer_len += take;
        p += take;
        len -= take;
        if (ctx->buffer_len < kBlockBytes) return;
        compress(ctx->state, ctx->buffer, 1);
        ctx->buffer_len = 0;
    }
    size_t whole = len / kBlockBytes;
    if (whole > 0) {
        compress(ctx->state, p, whole);
        p += whole * kBlockBytes;
        len -= whole * kBlockBytes;
    }
    if (len > 0) {
        std::memcpy(ctx->buffer, p, len);
        ctx->buffer_len = len;
    }
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32])
{
    uint64_t bits = ctx->bit_count; /* taken before padding, which adds no length */
    size_t n = static_cast<size_t>(ctx->buffer_len);
    ctx->buffer[n++] = 0x80;
    if (n > kLengthOffset) { /* no room for the length: pad out this block */
        std::memset(ctx->buffer + n, 0, kBlockBytes - n);
        compress(ctx->state, ctx->buffer, 1);
        n = 0;
    }
    std::memset(ctx->buffer + n, 0, kLengthOffset - n);
    store_be64(ctx->buffer + kLengthOffset, bits);
    compress(ctx->state, ctx->buffer, 1);

    for (int i = 0; i < 8; ++i) {
        uint32_t w = ctx->state[i];
        out[4 * i] = static_cast<uint8_t>(w >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(w >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(w >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(w);
    }
    /* The context may have held a password (Basic authentication); it is
     * spent anyway, so leave nothing of the message behind. */
    std::memset(ctx, 0, sizeof *ctx);
}

/* ---- file hashing -------------------------------------------------------- */

int sha256_file(const char *path, uint8_t out[32])
{
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
    if (!f) return -1;

    /* Fixed chunk on the stack: memory use does not grow with the file. */
    uint8_t chunk[kFileChunkBytes];
    sha256_ctx ctx;
    sha256_init(&ctx);
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) sha256_update(&ctx, chunk, got);
    bool failed = std::ferror(f.get()) != 0;
    f.reset();
    if (failed) return -1;
    sha256_final(&ctx, out);
    return 0;
}

} // extern "C"
