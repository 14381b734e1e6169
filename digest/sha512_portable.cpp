/*
 * sha512_portable.cpp - the FIPS 180-4 SHA-512 compression function in
 * plain C++: the fallback, what REGISTRY_SHA512_PORTABLE forces, and the
 * reference the AVX2 backend is tested against. Rounds are unrolled by
 * eight so the working variables are renamed rather than shifted, and the
 * message schedule is a rolling 16-word window.
 */
#include "sha512_internal.h"

#include <bit>

namespace
{

#if defined(__GNUC__) || defined(__clang__)
#define SHA512_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define SHA512_INLINE __forceinline
#else
#define SHA512_INLINE inline
#endif

SHA512_INLINE uint64_t load_be64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

SHA512_INLINE uint64_t big_sigma0(uint64_t x)
{
    return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39);
}
SHA512_INLINE uint64_t big_sigma1(uint64_t x)
{
    return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41);
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

/* W[t] from the window; from round 16 on expanded in place over W[t-16]. */
SHA512_INLINE uint64_t word(uint64_t w[16], int t)
{
    const int j = t & 15;
    if (t >= 16)
        w[j] += small_sigma1(w[(j + 14) & 15]) + w[(j + 9) & 15] + small_sigma0(w[(j + 1) & 15]);
    return w[j];
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
        for (int t = 0; t < 80; t += 8) {
            round_step(a, b, c, d, e, f, g, h, sha512_round_k[t] + word(w, t));
            round_step(h, a, b, c, d, e, f, g, sha512_round_k[t + 1] + word(w, t + 1));
            round_step(g, h, a, b, c, d, e, f, sha512_round_k[t + 2] + word(w, t + 2));
            round_step(f, g, h, a, b, c, d, e, sha512_round_k[t + 3] + word(w, t + 3));
            round_step(e, f, g, h, a, b, c, d, sha512_round_k[t + 4] + word(w, t + 4));
            round_step(d, e, f, g, h, a, b, c, sha512_round_k[t + 5] + word(w, t + 5));
            round_step(c, d, e, f, g, h, a, b, sha512_round_k[t + 6] + word(w, t + 6));
            round_step(b, c, d, e, f, g, h, a, sha512_round_k[t + 7] + word(w, t + 7));
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
