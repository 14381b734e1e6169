/*
 * sha512_avx2.cpp - the SHA-512 compression function for x86-64
 * processors with AVX2 and BMI2.
 *
 * The same shape as sha256_avx2.cpp: scalar rounds with rorx (three
 * independent rotates per sigma, flags untouched), and the message
 * schedule in AVX2 for two blocks at a time, one per 128-bit lane, so a
 * register holds two words of each block. Two words never depend on each
 * other within one step (sigma1 reads W[t-2] and W[t-1]), so each step is
 * a straight line. W+K for both blocks goes to a stack buffer, computed
 * between the first block's rounds sixteen rounds ahead of its use; the
 * second block's rounds read their lane back.
 *
 * Compiled with per-function target attributes (GCC, Clang) or directly
 * (MSVC), so the binary still runs on older processors: sha512_update asks
 * sha512_avx2_available first. Other architectures get stand-ins, 32-bit
 * x86 too (its scalar rounds would be pairs of 32-bit operations).
 */
#include "digest_cpu.h"
#include "sha512_internal.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SHA512_HAVE_AVX2 1
#define SHA512_AVX2_TARGET __attribute__((target("avx2,bmi2")))
#define SHA512_AVX2_INLINE inline __attribute__((always_inline, target("avx2,bmi2")))
#include <bit>
#include <immintrin.h>
#elif defined(_MSC_VER) && defined(_M_X64) && !defined(__clang__)
#define SHA512_HAVE_AVX2 1
#define SHA512_AVX2_TARGET
#define SHA512_AVX2_INLINE __forceinline
#include <immintrin.h>
#include <intrin.h>
#else
#define SHA512_HAVE_AVX2 0
#endif

#if SHA512_HAVE_AVX2

namespace
{

#if defined(_MSC_VER) && !defined(__clang__)
/* MSVC emits rorx only through the intrinsic unless the whole build
 * targets AVX2. */
template <unsigned N> SHA512_AVX2_INLINE uint64_t rotr(uint64_t x)
{
    return _rorx_u64(x, N);
}
#else
template <int N> SHA512_AVX2_INLINE uint64_t rotr(uint64_t x)
{
    return std::rotr(x, N);
}
#endif

SHA512_AVX2_INLINE uint64_t big_sigma0(uint64_t x)
{
    return rotr<28>(x) ^ rotr<34>(x) ^ rotr<39>(x);
}
SHA512_AVX2_INLINE uint64_t big_sigma1(uint64_t x)
{
    return rotr<14>(x) ^ rotr<18>(x) ^ rotr<41>(x);
}

/* One round; the caller passes the variables rotated, as in the portable
 * backend, so only d and h change. W+K comes ready from the buffer. */
SHA512_AVX2_INLINE void round_step(uint64_t a, uint64_t b, uint64_t c, uint64_t &d, uint64_t e,
                                   uint64_t f, uint64_t g, uint64_t &h, uint64_t wk)
{
    const uint64_t t1 = h + wk + big_sigma1(e) + (((f ^ g) & e) ^ g);
    const uint64_t t2 = big_sigma0(a) + (((a ^ b) & (b ^ c)) ^ b);
    d += t1;
    h = t1 + t2;
}

SHA512_AVX2_INLINE void two_rounds(uint64_t &a, uint64_t &b, uint64_t &c, uint64_t &d, uint64_t &e,
                                   uint64_t &f, uint64_t &g, uint64_t &h, const uint64_t *wk)
{
    round_step(a, b, c, d, e, f, g, h, wk[0]);
    round_step(h, a, b, c, d, e, f, g, wk[1]);
}

/* Eight rounds from the buffer, where one block's pairs of words lie four
 * words apart. */
SHA512_AVX2_INLINE void eight_rounds(uint64_t &a, uint64_t &b, uint64_t &c, uint64_t &d,
                                     uint64_t &e, uint64_t &f, uint64_t &g, uint64_t &h,
                                     const uint64_t *wk)
{
    two_rounds(a, b, c, d, e, f, g, h, wk);
    two_rounds(g, h, a, b, c, d, e, f, wk + 4);
    two_rounds(e, f, g, h, a, b, c, d, wk + 8);
    two_rounds(c, d, e, f, g, h, a, b, wk + 12);
}

template <int N> SHA512_AVX2_INLINE __m256i rotr_lanes(__m256i x)
{
    return _mm256_or_si256(_mm256_srli_epi64(x, N), _mm256_slli_epi64(x, 64 - N));
}

/* W[t], W[t+1] in each lane from x0 = W[t-16..t-15], x1 = W[t-14..t-13],
 * x4 = W[t-8..t-7], x5 = W[t-6..t-5] and x7 = W[t-2..t-1]. A rotate by 8
 * is a byte shuffle: one operation instead of three. */
SHA512_AVX2_INLINE __m256i next_words(__m256i x0, __m256i x1, __m256i x4, __m256i x5, __m256i x7,
                                      __m256i rot8)
{
    const __m256i w15 = _mm256_alignr_epi8(x1, x0, 8); /* W[t-15], W[t-14] */
    const __m256i w7 = _mm256_alignr_epi8(x5, x4, 8);  /* W[t-7], W[t-6] */
    const __m256i s0 =
        _mm256_xor_si256(_mm256_xor_si256(rotr_lanes<1>(w15), _mm256_shuffle_epi8(w15, rot8)),
                         _mm256_srli_epi64(w15, 7));
    const __m256i s1 = _mm256_xor_si256(_mm256_xor_si256(rotr_lanes<19>(x7), rotr_lanes<61>(x7)),
                                        _mm256_srli_epi64(x7, 6));
    return _mm256_add_epi64(_mm256_add_epi64(x0, s0), _mm256_add_epi64(w7, s1));
}

/* Stores W+K for rounds t and t+1 of both blocks: the first block's two
 * words, then the second's. */
SHA512_AVX2_INLINE void store_wk(uint64_t *p, __m256i w, int t)
{
    const __m256i k = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(sha512_round_k + t)));
    _mm256_store_si256(reinterpret_cast<__m256i *>(p), _mm256_add_epi64(w, k));
}

/* Sixteen big-endian bytes of each block, one per lane, as two words. */
SHA512_AVX2_INLINE __m256i load_words(const uint8_t *first, const uint8_t *second, __m256i bswap)
{
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(first));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(second));
    return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), bswap);
}

} // namespace

extern "C" int sha512_avx2_available(void)
{
    return (digest_cpu_features() & DIGEST_CPU_AVX2_BMI2) != 0 ? 1 : 0;
}

extern "C" SHA512_AVX2_TARGET void sha512_compress_avx2(uint64_t state[8], const uint8_t *blocks,
                                                        size_t count)
{
    /* Rounds 2g and 2g+1 of the first block read wk[4g..4g+1], of the
     * second wk[4g+2..4g+3]. */
    alignas(32) uint64_t wk[160];
    const __m256i bswap = _mm256_set_epi64x(0x08090a0b0c0d0e0fLL, 0x0001020304050607LL,
                                            0x08090a0b0c0d0e0fLL, 0x0001020304050607LL);
    const __m256i rot8 = _mm256_set_epi64x(0x080f0e0d0c0b0a09LL, 0x0007060504030201LL,
                                           0x080f0e0d0c0b0a09LL, 0x0007060504030201LL);
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];

    while (count > 0) {
        /* A lone last block fills both lanes; the second lane goes unused. */
        const uint8_t *second = count > 1 ? blocks + 128 : blocks;
        __m256i x0 = load_words(blocks, second, bswap);
        __m256i x1 = load_words(blocks + 16, second + 16, bswap);
        __m256i x2 = load_words(blocks + 32, second + 32, bswap);
        __m256i x3 = load_words(blocks + 48, second + 48, bswap);
        __m256i x4 = load_words(blocks + 64, second + 64, bswap);
        __m256i x5 = load_words(blocks + 80, second + 80, bswap);
        __m256i x6 = load_words(blocks + 96, second + 96, bswap);
        __m256i x7 = load_words(blocks + 112, second + 112, bswap);
        store_wk(wk, x0, 0);
        store_wk(wk + 4, x1, 2);
        store_wk(wk + 8, x2, 4);
        store_wk(wk + 12, x3, 6);
        store_wk(wk + 16, x4, 8);
        store_wk(wk + 20, x5, 10);
        store_wk(wk + 24, x6, 12);
        store_wk(wk + 28, x7, 14);

        /* First block, rounds 0-63, each pair followed by the words for
         * sixteen rounds later. */
        for (int r = 0; r < 64; r += 16) {
            uint64_t *p = wk + 2 * r;
            two_rounds(a, b, c, d, e, f, g, h, p);
            x0 = next_words(x0, x1, x4, x5, x7, rot8);
            store_wk(p + 32, x0, r + 16);
            two_rounds(g, h, a, b, c, d, e, f, p + 4);
            x1 = next_words(x1, x2, x5, x6, x0, rot8);
            store_wk(p + 36, x1, r + 18);
            two_rounds(e, f, g, h, a, b, c, d, p + 8);
            x2 = next_words(x2, x3, x6, x7, x1, rot8);
            store_wk(p + 40, x2, r + 20);
            two_rounds(c, d, e, f, g, h, a, b, p + 12);
            x3 = next_words(x3, x4, x7, x0, x2, rot8);
            store_wk(p + 44, x3, r + 22);
            two_rounds(a, b, c, d, e, f, g, h, p + 16);
            x4 = next_words(x4, x5, x0, x1, x3, rot8);
            store_wk(p + 48, x4, r + 24);
            two_rounds(g, h, a, b, c, d, e, f, p + 20);
            x5 = next_words(x5, x6, x1, x2, x4, rot8);
            store_wk(p + 52, x5, r + 26);
            two_rounds(e, f, g, h, a, b, c, d, p + 24);
            x6 = next_words(x6, x7, x2, x3, x5, rot8);
            store_wk(p + 56, x6, r + 28);
            two_rounds(c, d, e, f, g, h, a, b, p + 28);
            x7 = next_words(x7, x0, x3, x4, x6, rot8);
            store_wk(p + 60, x7, r + 30);
        }
        eight_rounds(a, b, c, d, e, f, g, h, wk + 128);
        eight_rounds(a, b, c, d, e, f, g, h, wk + 144);
        a = state[0] += a, b = state[1] += b, c = state[2] += c, d = state[3] += d;
        e = state[4] += e, f = state[5] += f, g = state[6] += g, h = state[7] += h;
        if (count == 1) break;

        /* Second block: its whole schedule is in the buffer already. */
        for (int r = 0; r < 80; r += 8)
            eight_rounds(a, b, c, d, e, f, g, h, wk + 2 * r + 2);
        a = state[0] += a, b = state[1] += b, c = state[2] += c, d = state[3] += d;
        e = state[4] += e, f = state[5] += f, g = state[6] += g, h = state[7] += h;
        count -= 2;
        blocks += 256;
    }
}

#else /* no x86 AVX2 in this build */

extern "C" int sha512_avx2_available(void)
{
    return 0;
}

extern "C" void sha512_compress_avx2(uint64_t state[8], const uint8_t *blocks, size_t count)
{
    sha512_compress_portable(state, blocks, count);
}

#endif
