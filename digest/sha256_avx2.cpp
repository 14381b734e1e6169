/*
 * sha256_avx2.cpp - the compression function for x86 processors without
 * the SHA extensions but with AVX2 and BMI2, and the run-time check.
 *
 * The rounds stay scalar (BMI2's rorx rotates into a third register and
 * leaves the flags alone, so each sigma is three independent rotates).
 * The message schedule moves to AVX2: two blocks at a time, one per
 * 128-bit lane, so the integer units only run the rounds. W+K for both
 * blocks goes to a stack buffer; the schedule is computed four words at a
 * time between the first block's rounds, sixteen rounds ahead of its use,
 * and the second block's rounds just read their lane back.
 *
 * Compiled with per-function target attributes (GCC, Clang) or directly
 * (MSVC), so the binary still runs on older processors: sha256_update asks
 * sha256_avx2_available first. Other architectures get stand-ins.
 */
#include "digest_cpu.h"
#include "sha256_internal.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define SHA256_HAVE_AVX2 1
#define SHA256_AVX2_TARGET __attribute__((target("avx2,bmi2")))
#define SHA256_AVX2_INLINE inline __attribute__((always_inline, target("avx2,bmi2")))
#include <bit>
#include <immintrin.h>
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86)) && !defined(__clang__)
#define SHA256_HAVE_AVX2 1
#define SHA256_AVX2_TARGET
#define SHA256_AVX2_INLINE __forceinline
#include <immintrin.h>
#include <intrin.h>
#else
#define SHA256_HAVE_AVX2 0
#endif

#if SHA256_HAVE_AVX2

namespace {

#if defined(_MSC_VER) && !defined(__clang__)
/* MSVC emits rorx only through the intrinsic (whose count must be a
 * constant) unless the whole build targets AVX2. */
template <unsigned N> SHA256_AVX2_INLINE uint32_t rotr(uint32_t x) { return _rorx_u32(x, N); }
#else
template <int N> SHA256_AVX2_INLINE uint32_t rotr(uint32_t x) { return std::rotr(x, N); }
#endif

SHA256_AVX2_INLINE uint32_t big_sigma0(uint32_t x) { return rotr<2>(x) ^ rotr<13>(x) ^ rotr<22>(x); }
SHA256_AVX2_INLINE uint32_t big_sigma1(uint32_t x) { return rotr<6>(x) ^ rotr<11>(x) ^ rotr<25>(x); }

/* One round; the caller passes the variables rotated, as in the portable
 * backend, so only d and h change. W+K comes ready from the buffer. */
SHA256_AVX2_INLINE void round_step(uint32_t a, uint32_t b, uint32_t c, uint32_t &d, uint32_t e, uint32_t f,
                                   uint32_t g, uint32_t &h, uint32_t wk)
{
    uint32_t t1 = h + wk + big_sigma1(e) + (((f ^ g) & e) ^ g);
    uint32_t t2 = big_sigma0(a) + (((a ^ b) & (b ^ c)) ^ b);
    d += t1;
    h = t1 + t2;
}

SHA256_AVX2_INLINE void four_rounds(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, uint32_t &e, uint32_t &f,
                                    uint32_t &g, uint32_t &h, const uint32_t *wk)
{
    round_step(a, b, c, d, e, f, g, h, wk[0]);
    round_step(h, a, b, c, d, e, f, g, wk[1]);
    round_step(g, h, a, b, c, d, e, f, wk[2]);
    round_step(f, g, h, a, b, c, d, e, wk[3]);
}

template <int N> SHA256_AVX2_INLINE __m256i rotr_lanes(__m256i x)
{
    return _mm256_or_si256(_mm256_srli_epi32(x, N), _mm256_slli_epi32(x, 32 - N));
}

/* Small sigma1 of dwords 0 and 2 of each lane, which the caller has
 * duplicated into dwords 1 and 3: a 64-bit shift of a doubled word is a
 * 32-bit rotate in its low half, two operations fewer than shift-and-or. */
SHA256_AVX2_INLINE __m256i small_sigma1_even(__m256i doubled)
{
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(doubled, 17), _mm256_srli_epi64(doubled, 19)),
                            _mm256_srli_epi32(doubled, 10));
}

/* W[t..t+3] in each lane from W[t-16..t-1] held as x0..x3. The last two
 * words depend on the first two, so sigma1 goes in two halves. */
SHA256_AVX2_INLINE __m256i next_words(__m256i x0, __m256i x1, __m256i x2, __m256i x3)
{
    const __m256i w15 = _mm256_alignr_epi8(x1, x0, 4); /* W[t-15..t-12] */
    const __m256i w7 = _mm256_alignr_epi8(x3, x2, 4);  /* W[t-7..t-4] */
    const __m256i s0 = _mm256_xor_si256(_mm256_xor_si256(rotr_lanes<7>(w15), rotr_lanes<18>(w15)),
                                        _mm256_srli_epi32(w15, 3));
    const __m256i zero = _mm256_setzero_si256();
    __m256i sum = _mm256_add_epi32(_mm256_add_epi32(x0, s0), w7);
    __m256i s1 = small_sigma1_even(_mm256_shuffle_epi32(x3, 0xFA));                     /* of W[t-2], W[t-1] */
    sum = _mm256_add_epi32(sum, _mm256_blend_epi32(zero, _mm256_shuffle_epi32(s1, 0x08), 0x33)); /* W[t], W[t+1] */
    s1 = small_sigma1_even(_mm256_shuffle_epi32(sum, 0x50));                                  /* of W[t], W[t+1] */
    return _mm256_add_epi32(sum, _mm256_blend_epi32(zero, _mm256_shuffle_epi32(s1, 0x80), 0xCC));
}

/* Stores W+K for rounds t..t+3 of both blocks: the first block's four
 * words, then the second's. */
SHA256_AVX2_INLINE void store_wk(uint32_t *p, __m256i w, int t)
{
    const __m256i k = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(sha256_round_k + t)));
    _mm256_store_si256(reinterpret_cast<__m256i *>(p), _mm256_add_epi32(w, k));
}

/* Sixteen big-endian bytes of each block, one per lane, as words. */
SHA256_AVX2_INLINE __m256i load_words(const uint8_t *first, const uint8_t *second, __m256i bswap)
{
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(first));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(second));
    return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), bswap);
}

} // namespace

extern "C" int sha256_avx2_available(void)
{
    return (digest_cpu_features() & DIGEST_CPU_AVX2_BMI2) != 0 ? 1 : 0;
}

extern "C" SHA256_AVX2_TARGET void sha256_compress_avx2(uint32_t state[8], const uint8_t *blocks, size_t count)
{
    /* Round 4g+j of the first block reads wk[8g+j], of the second wk[8g+4+j]. */
    alignas(32) uint32_t wk[128];
    const __m256i bswap = _mm256_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL, 0x0c0d0e0f08090a0bLL,
                                            0x0405060700010203LL);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

    while (count > 0) {
        /* A lone last block fills both lanes; the second lane goes unused. */
        const uint8_t *second = count > 1 ? blocks + 64 : blocks;
        __m256i x0 = load_words(blocks, second, bswap);
        __m256i x1 = load_words(blocks + 16, second + 16, bswap);
        __m256i x2 = load_words(blocks + 32, second + 32, bswap);
        __m256i x3 = load_words(blocks + 48, second + 48, bswap);
        store_wk(wk, x0, 0);
        store_wk(wk + 8, x1, 4);
        store_wk(wk + 16, x2, 8);
        store_wk(wk + 24, x3, 12);

        /* First block, rounds 0-47, each group of four followed by the
         * words for sixteen rounds later. A loop, not unrolled further:
         * unrolling measured slower (larger code). */
        for (int r = 0; r < 48; r += 16) {
            uint32_t *p = wk + 2 * r;
            four_rounds(a, b, c, d, e, f, g, h, p);
            x0 = next_words(x0, x1, x2, x3);
            store_wk(p + 32, x0, r + 16);
            four_rounds(e, f, g, h, a, b, c, d, p + 8);
            x1 = next_words(x1, x2, x3, x0);
            store_wk(p + 40, x1, r + 20);
            four_rounds(a, b, c, d, e, f, g, h, p + 16);
            x2 = next_words(x2, x3, x0, x1);
            store_wk(p + 48, x2, r + 24);
            four_rounds(e, f, g, h, a, b, c, d, p + 24);
            x3 = next_words(x3, x0, x1, x2);
            store_wk(p + 56, x3, r + 28);
        }
        for (int r = 48; r < 64; r += 8) {
            four_rounds(a, b, c, d, e, f, g, h, wk + 2 * r);
            four_rounds(e, f, g, h, a, b, c, d, wk + 2 * r + 8);
        }
        a = state[0] += a, b = state[1] += b, c = state[2] += c, d = state[3] += d;
        e = state[4] += e, f = state[5] += f, g = state[6] += g, h = state[7] += h;
        if (count == 1) break;

        /* Second block: its whole schedule is in the buffer already. */
        for (int r = 0; r < 64; r += 8) {
            four_rounds(a, b, c, d, e, f, g, h, wk + 2 * r + 4);
            four_rounds(e, f, g, h, a, b, c, d, wk + 2 * r + 12);
        }
        a = state[0] += a, b = state[1] += b, c = state[2] += c, d = state[3] += d;
        e = state[4] += e, f = state[5] += f, g = state[6] += g, h = state[7] += h;
        count -= 2;
        blocks += 128;
    }
}

#else /* no x86 AVX2 in this build */

extern "C" int sha256_avx2_available(void) { return 0; }

extern "C" void sha256_compress_avx2(uint32_t state[8], const uint8_t *blocks, size_t count)
{
    sha256_compress_portable(state, blocks, count);
}

#endif
