/*
 * sha512_portable.cpp - the FIPS 180-4 SHA-512 compression function in
 * plain C++: the fallback, what REGISTRY_SHA512_PORTABLE forces, and the
 * reference the AVX2 backend is tested against. Rounds are unrolled by
 * sixteen so the working variables are renamed rather than shifted and the
 * message schedule, a rolling 16-word window, is addressed by constants.
 */
#include "sha512_internal.h"

#include <bit>
#include <cstdlib> /* _byteswap_uint64 */
#include <cstring>

namespace
{

#if defined(__GNUC__) || defined(__clang__)
#define SHA512_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define SHA512_INLINE __forceinline
#else
#define SHA512_INLINE inline
#endif

/* One load and one byte swap (bswap, rev) where the compiler offers the
 * swap; GCC left the byte-by-byte form as eight loads and shifts. */
SHA512_INLINE uint64_t load_be64(const uint8_t *p)
{
#if defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER)
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t v;
        std::memcpy(&v, p, sizeof v);
#if defined(_MSC_VER) && !defined(__clang__)
        return _byteswap_uint64(v);
#else
        return __builtin_bswap64(v);
#endif
    }
#endif
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

/* Nested rotates: the same three terms, with rotate counts that add up
 * (28, 28+6, 28+6+5). Without a non-destructive rotate (x86 before BMI2)
 * this saves a copy per term, measured a few per cent faster. */
SHA512_INLINE uint64_t big_sigma0(uint64_t x)
{
    return std::rotr(x ^ std::rotr(x ^ std::rotr(x, 5), 6), 28);
}
SHA512_INLINE uint64_t big_sigma1(uint64_t x)
{
    return std::rotr(x ^ std::rotr(x ^ std::rotr(x, 23), 4), 14);
}
SHA512_INLINE uint64_t small_sigma0(uint64_t x)
{
    return std::rotr(x, 1) ^ std::rotr(x, 8) ^ (x >> 7);
}
SHA512_INLINE uint64_t small_sigma1(uint64_t x)
{
    return std::rotr(x, 19) ^ std::rotr(x, 61) ^ (x >> 6);
}
SHA512_INLINE uint64_t choose(uint64_t e, uint64_t f, uint64_t g)
{
    return ((f ^ g) & e) ^ g;
}
SHA512_INLINE uint64_t majority(uint64_t a, uint64_t b, uint64_t c)
{
    return ((a ^ b) & (b ^ c)) ^ b;
}

/* One round with the variables passed rotated: only d and h change. */
SHA512_INLINE void round_step(uint64_t a, uint64_t b, uint64_t c, uint64_t &d, uint64_t e,
                              uint64_t f, uint64_t g, uint64_t &h, uint64_t k_plus_w)
{
    const uint64_t t1 = h + big_sigma1(e) + choose(e, f, g) + k_plus_w;
    const uint64_t t2 = big_sigma0(a) + majority(a, b, c);
    d += t1;
    h = t1 + t2;
}

/* W[t] for window slot J: from round 16 on expanded in place over
 * W[t-16]. J is a constant, so the window is addressed directly. */
template <int J, bool Expand> SHA512_INLINE uint64_t word(uint64_t w[16])
{
    if constexpr (Expand)
        w[J] += small_sigma1(w[(J + 14) & 15]) + w[(J + 9) & 15] + small_sigma0(w[(J + 1) & 15]);
    return w[J];
}

/* Eight rounds reading window slots J..J+7 and constants k[0..7]. */
template <int J, bool Expand>
SHA512_INLINE void eight_rounds(uint64_t &a, uint64_t &b, uint64_t &c, uint64_t &d, uint64_t &e,
                                uint64_t &f, uint64_t &g, uint64_t &h, uint64_t w[16],
                                const uint64_t *k)
{
    round_step(a, b, c, d, e, f, g, h, k[0] + word<J, Expand>(w));
    round_step(h, a, b, c, d, e, f, g, k[1] + word<J + 1, Expand>(w));
    round_step(g, h, a, b, c, d, e, f, k[2] + word<J + 2, Expand>(w));
    round_step(f, g, h, a, b, c, d, e, k[3] + word<J + 3, Expand>(w));
    round_step(e, f, g, h, a, b, c, d, k[4] + word<J + 4, Expand>(w));
    round_step(d, e, f, g, h, a, b, c, k[5] + word<J + 5, Expand>(w));
    round_step(c, d, e, f, g, h, a, b, k[6] + word<J + 6, Expand>(w));
    round_step(b, c, d, e, f, g, h, a, k[7] + word<J + 7, Expand>(w));
}

} // namespace

extern "C" void sha512_compress_portable(uint64_t state[8], const uint8_t *blocks, size_t count)
{
    for (; count > 0; --count, blocks += 128) {
        uint64_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = load_be64(blocks + 8 * i);
        uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        eight_rounds<0, false>(a, b, c, d, e, f, g, h, w, sha512_round_k);
        eight_rounds<8, false>(a, b, c, d, e, f, g, h, w, sha512_round_k + 8);
        for (int t = 16; t < 80; t += 16) {
            eight_rounds<0, true>(a, b, c, d, e, f, g, h, w, sha512_round_k + t);
            eight_rounds<8, true>(a, b, c, d, e, f, g, h, w, sha512_round_k + t + 8);
        }
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
