/*
 * sha256_internal.h - the compression backends behind sha256.h.
 *
 * Only the digest module and its tests and benchmark include this. Each
 * backend runs the FIPS 180-4 compression function over `count` whole
 * 64-byte blocks, updating state in place; all of them must give identical
 * results, which the tests check by calling each one directly.
 */
#ifndef REGISTRY_SHA256_INTERNAL_H
#define REGISTRY_SHA256_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Setting this variable to anything but "" or "0" makes sha256_update use
 * the portable backend even on a processor with faster ones, so that path
 * can be exercised and measured on every machine. */
#define SHA256_PORTABLE_ENV "REGISTRY_SHA256_PORTABLE"

enum { SHA256_BACKEND_PORTABLE = 1, SHA256_BACKEND_SHANI = 2, SHA256_BACKEND_AVX2 = 3 };

/* Plain C++; runs anywhere. The last fallback. */
void sha256_compress_portable(uint32_t state[8], const uint8_t *blocks, size_t count);

/* 1 when this build carries the x86 AVX2+BMI2 backend and the processor
 * and system running it support it (AVX2 with YMM state saved, BMI2). */
int sha256_avx2_available(void);
/* Scalar rounds with rorx, message schedule two blocks at a time in AVX2;
 * for x86 processors without SHA extensions. Call only when
 * sha256_avx2_available() is 1; other builds fall back to portable here. */
void sha256_compress_avx2(uint32_t state[8], const uint8_t *blocks, size_t count);

/* 1 when this build carries the x86 SHA extension backend and the processor
 * running it supports the instructions it uses (SHA, SSSE3, SSE4.1). */
int sha256_shani_available(void);
/* x86 SHA extensions. Call only when sha256_shani_available() is 1; builds
 * for other processors fall back to the portable backend here. */
void sha256_compress_shani(uint32_t state[8], const uint8_t *blocks, size_t count);

/* The backend sha256_update uses: chosen on first use from the processor
 * (SHA extensions, else AVX2+BMI2, else portable) and SHA256_PORTABLE_ENV. */
int sha256_backend(void);
/* Chooses again, for tests and benchmarks that change SHA256_PORTABLE_ENV;
 * also ends a sha256_backend_force. */
void sha256_backend_reselect(void);
/* Makes sha256_update use the given backend, for tests and benchmarks that
 * need one the automatic choice would pass over (the AVX2 backend on a
 * processor with SHA extensions). Returns 0 and changes nothing when that
 * backend cannot run here, 1 otherwise. */
int sha256_backend_force(int backend);

#ifdef __cplusplus
}

/* FIPS 180-4 section 4.2.2: the round constants, shared by every backend.
 * constexpr so the portable rounds can fold them into immediates. */
inline constexpr uint32_t sha256_round_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};
#endif

#endif
