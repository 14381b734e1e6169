/*
 * sha512_avx2.cpp - the x86 AVX2 SHA-512 backend (not yet carried: the
 * portable rounds stand in).
 */
#include "sha512_internal.h"

extern "C" int sha512_avx2_available(void)
{
    return 0;
}

extern "C" void sha512_compress_avx2(uint64_t state[8], const uint8_t *blocks, size_t count)
{
    sha512_compress_portable(state, blocks, count);
}
