/*
 * digest_cpu.cpp - CPUID (and XGETBV) for the digest backends.
 */
#include "digest_cpu.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define DIGEST_CPU_X86 1
#include <cpuid.h>
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86)) && !defined(__clang__)
#define DIGEST_CPU_X86 1
#include <immintrin.h>
#include <intrin.h>
#else
#define DIGEST_CPU_X86 0
#endif

namespace
{

#if DIGEST_CPU_X86
/* CPUID leaf 1 ECX: SSSE3 (bit 9), SSE4.1 (bit 19), OSXSAVE (bit 27), AVX
 * (bit 28); leaf 7 subleaf 0 EBX: AVX2 (bit 5), BMI2 (bit 8), SHA (bit
 * 29); XCR0 bits 1 and 2: the system saves XMM and YMM state. */
int ask_cpu()
{
    unsigned regs1[4] = {0, 0, 0, 0}, regs7[4] = {0, 0, 0, 0};
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) return 0;
    __cpuid(r, 1);
    for (int i = 0; i < 4; ++i)
        regs1[i] = static_cast<unsigned>(r[i]);
    __cpuidex(r, 7, 0);
    for (int i = 0; i < 4; ++i)
        regs7[i] = static_cast<unsigned>(r[i]);
#else
    if (__get_cpuid_max(0, nullptr) < 7) return 0;
    __cpuid(1, regs1[0], regs1[1], regs1[2], regs1[3]);
    __cpuid_count(7, 0, regs7[0], regs7[1], regs7[2], regs7[3]);
#endif
    const auto bit = [](unsigned reg, int n) { return ((reg >> n) & 1) != 0; };
    int features = 0;
    if (bit(regs1[2], 9) && bit(regs1[2], 19) && bit(regs7[1], 29)) features |= DIGEST_CPU_SHA;

    /* xgetbv would fault without OSXSAVE */
    if (!bit(regs1[2], 27) || !bit(regs1[2], 28)) return features;
#if defined(_MSC_VER) && !defined(__clang__)
    const unsigned long long xcr0 = _xgetbv(0);
#else
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const unsigned long long xcr0 = (static_cast<unsigned long long>(hi) << 32) | lo;
#endif
    if ((xcr0 & 6) == 6 && bit(regs7[1], 5) && bit(regs7[1], 8)) features |= DIGEST_CPU_AVX2_BMI2;
    return features;
}
#else
int ask_cpu()
{
    return 0;
}
#endif

} // namespace

extern "C" int digest_cpu_features(void)
{
    static const int features = ask_cpu();
    return features;
}
