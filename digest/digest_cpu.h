/*
 * digest_cpu.h - the x86 processor features the digest backends need.
 *
 * Internal to the digest module: the backends' *_available functions ask
 * here instead of each running CPUID for itself.
 */
#ifndef REGISTRY_DIGEST_CPU_H
#define REGISTRY_DIGEST_CPU_H

#ifdef __cplusplus
extern "C" {
#endif

enum {
    /* AVX2 with the system saving YMM state, and BMI2 (rorx). */
    DIGEST_CPU_AVX2_BMI2 = 1,
    /* The SHA-256 instructions, with SSSE3 (pshufb) and SSE4.1 (pblendw). */
    DIGEST_CPU_SHA = 2,
};

/* The DIGEST_CPU_* bits this processor has, asked once (CPUID is slow);
 * 0 on processors other than x86 and with compilers this file does not
 * know. */
int digest_cpu_features(void);

#ifdef __cplusplus
}
#endif

#endif
