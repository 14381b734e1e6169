/*
 * sha256_portable.cpp - the FIPS 180-4 compression function in plain C++.
 *
 * The last fallback (no SHA extensions, no AVX2+BMI2), what
 * REGISTRY_SHA256_PORTABLE forces, and the reference
 * the accelerated backends are tested against. Written for speed on ordinary
 * 64-bit cores: all 64 rounds are unrolled so the eight working variables
 * stay in registers and are renamed rather than shifted, the 16-word
 * message schedule is a rolling window expanded just before each word is
 * used, and the round constants fold into immediates.
 */
#include "sha256_internal.h"

#include <bit>

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define SHA256_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define SHA256_INLINE __forceinline
#else
#define SHA256_INLINE inline
#endif

SHA256_INLINE uint32_t load_be32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

SHA256_INLINE uint32_t big_sigma0(uint32_t x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
SHA256_INLINE uint32_t big_sigma1(uint32_t x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
SHA256_INLINE uint32_t small_sigma0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
SHA256_INLINE uint32_t small_sigma1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }

/* Ch and Maj in their three-operation forms. */
SHA256_INLINE uint32_t choose(uint32_t e, uint32_t f, uint32_t g) { return ((f ^ g) & e) ^ g; }
SHA256_INLINE uint32_t majority(uint32_t a, uint32_t b, uint32_t c) { return ((a ^ b) & (b ^ c)) ^ b; }

/* One round. Instead of moving a..h down one place, the caller passes
 * them rotated; only d and h change: d becomes the new e, h the new a. */
SHA256_INLINE void round_step(uint32_t a, uint32_t b, uint32_t c, uint32_t &d, uint32_t e, uint32_t f,
                              uint32_t g, uint32_t &h, uint32_t k_plus_w)
{
    uint32_t t1 = h + big_sigma1(e) + choose(e, f, g) + k_plus_w;
    uint32_t t2 = big_sigma0(a) + majority(a, b, c);
    d += t1;
    h = t1 + t2;
}

/* W[R + J] from the 16-word window. From round 16 on each word is
 * expanded in place over W[t-16], which is no longer needed. */
template <int R, int J> SHA256_INLINE uint32_t word(uint32_t w[16])
{
    if constexpr (R > 0)
        w[J] += small_sigma1(w[(J + 14) & 15]) + w[(J + 9) & 15] + small_sigma0(w[(J + 1) & 15]);
    return w[J];
}

/* Sixteen rounds starting at round R; W words come from the window. */
template <int R>
SHA256_INLINE void sixteen_rounds(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, uint32_t &e, uint32_t &f,
                                  uint32_t &g, uint32_t &h, uint32_t w[16])
{
    constexpr const uint32_t *k = sha256_round_k + R;
    round_step(a, b, c, d, e, f, g, h, k[0] + word<R, 0>(w));
    round_step(h, a, b, c, d, e, f, g, k[1] + word<R, 1>(w));
    round_step(g, h, a, b, c, d, e, f, k[2] + word<R, 2>(w));
    round_step(f, g, h, a, b, c, d, e, k[3] + word<R, 3>(w));
    round_step(e, f, g, h, a, b, c, d, k[4] + word<R, 4>(w));
    round_step(d, e, f, g, h, a, b, c, k[5] + word<R, 5>(w));
    round_step(c, d, e, f, g, h, a, b, k[6] + word<R, 6>(w));
    round_step(b, c, d, e, f, g, h, a, k[7] + word<R, 7>(w));
    round_step(a, b, c, d, e, f, g, h, k[8] + word<R, 8>(w));
    round_step(h, a, b, c, d, e, f, g, k[9] + word<R, 9>(w));
    round_step(g, h, a, b, c, d, e, f, k[10] + word<R, 10>(w));
    round_step(f, g, h, a, b, c, d, e, k[11] + word<R, 11>(w));
    round_step(e, f, g, h, a, b, c, d, k[12] + word<R, 12>(w));
    round_step(d, e, f, g, h, a, b, c, k[13] + word<R, 13>(w));
    round_step(c, d, e, f, g, h, a, b, k[14] + word<R, 14>(w));
    round_step(b, c, d, e, f, g, h, a, k[15] + word<R, 15>(w));
}

} // namespace

extern "C" void sha256_compress_portable(uint32_t state[8], const uint8_t *blocks, size_t count)
{
    for (; count > 0; --count, blocks += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = load_be32(blocks + 4 * i);

        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        sixteen_rounds<0>(a, b, c, d, e, f, g, h, w);
        sixteen_rounds<16>(a, b, c, d, e, f, g, h, w);
        sixteen_rounds<32>(a, b, c, d, e, f, g, h, w);
        sixteen_rounds<48>(a, b, c, d, e, f, g, h, w);

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}
