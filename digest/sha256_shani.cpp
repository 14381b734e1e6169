/*
 * sha256_shani.cpp - the compression function on the x86 SHA extensions,
 * and the run-time check for them.
 *
 * The instructions are compiled in with a per-function target attribute
 * (GCC, Clang) or directly (MSVC), so the same binary still runs on an x86
 * processor without them: sha256_update asks sha256_shani_available first.
 * On other architectures this file only supplies stand-ins.
 *
 * Register layout: sha256rnds2 wants the working variables as ABEF and
 * CDGH (highest lane first), not as the A..H order of the state array, so
 * the state is rearranged once on entry and once on exit, not per block.
 */
#include "digest_cpu.h"
#include "sha256_internal.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define SHA256_HAVE_SHANI 1
#define SHA256_SHANI_TARGET __attribute__((target("sha,sse4.1")))
#include <immintrin.h>
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86)) && !defined(__clang__)
#define SHA256_HAVE_SHANI 1
#define SHA256_SHANI_TARGET
#include <immintrin.h>
#include <intrin.h>
#else
#define SHA256_HAVE_SHANI 0
#endif

#if SHA256_HAVE_SHANI

namespace {

/* Four rounds: two sha256rnds2, each taking two W+K words from the low
 * half of the message vector. */
SHA256_SHANI_TARGET inline void four_rounds(__m128i &abef, __m128i &cdgh, __m128i msg, int round)
{
    __m128i wk = _mm_add_epi32(msg, _mm_loadu_si128(reinterpret_cast<const __m128i *>(sha256_round_k + round)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

/* W[t..t+3] from the four previous message vectors; `older` has been
 * through sha256msg1 already. */
SHA256_SHANI_TARGET inline __m128i next_words(__m128i older, __m128i prev2, __m128i prev1)
{
    return _mm_sha256msg2_epu32(_mm_add_epi32(older, _mm_alignr_epi8(prev1, prev2, 4)), prev1);
}

} // namespace

extern "C" int sha256_shani_available(void)
{
    return (digest_cpu_features() & DIGEST_CPU_SHA) != 0 ? 1 : 0;
}

extern "C" SHA256_SHANI_TARGET void sha256_compress_shani(uint32_t state[8], const uint8_t *blocks, size_t count)
{
    /* Big-endian message words: byte swap within each 32-bit lane. */
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abef_in = abef, cdgh_in = cdgh;
        const __m128i *in = reinterpret_cast<const __m128i *>(blocks);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in), bswap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), bswap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), bswap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), bswap);

        /* m0..m3 hold a rolling window of W in groups of four. After a
         * group's rounds it finishes the next group (msg2, which still needs
         * the group before it unchanged) and then starts the group three
         * ahead over the oldest one (msg1). The last pass computes a few
         * words past W63 that are never used; that keeps the loop regular. */
        four_rounds(abef, cdgh, m0, 0);
        four_rounds(abef, cdgh, m1, 4);
        m0 = _mm_sha256msg1_epu32(m0, m1);
        four_rounds(abef, cdgh, m2, 8);
        m1 = _mm_sha256msg1_epu32(m1, m2);
        four_rounds(abef, cdgh, m3, 12);
        m0 = next_words(m0, m2, m3);
        m2 = _mm_sha256msg1_epu32(m2, m3);
        for (int r = 16; r < 64; r += 16) {
            four_rounds(abef, cdgh, m0, r);
            m1 = next_words(m1, m3, m0);
            m3 = _mm_sha256msg1_epu32(m3, m0);
            four_rounds(abef, cdgh, m1, r + 4);
            m2 = next_words(m2, m0, m1);
            m0 = _mm_sha256msg1_epu32(m0, m1);
            four_rounds(abef, cdgh, m2, r + 8);
            m3 = next_words(m3, m1, m2);
            m1 = _mm_sha256msg1_epu32(m1, m2);
            four_rounds(abef, cdgh, m3, r + 12);
            m0 = next_words(m0, m2, m3);
            m2 = _mm_sha256msg1_epu32(m2, m3);
        }

        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#else /* no x86 SHA extensions in this build */

extern "C" int sha256_shani_available(void) { return 0; }

extern "C" void sha256_compress_shani(uint32_t state[8], const uint8_t *blocks, size_t count)
{
    sha256_compress_portable(state, blocks, count);
}

#endif
