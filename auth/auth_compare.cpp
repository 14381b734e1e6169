/*
 * auth_compare.cpp - credential and signature comparisons that take the same time
 * wherever the first difference lies, so response timing tells an
 * attacker nothing about how much of a guess was right.
 *
 * All run over a fixed length and OR every difference into a volatile
 * accumulator: the compiler must perform each step and cannot turn the
 * loop into an early-exit compare.
 */
#include "auth_internal.h"

#include <string.h>

namespace auth
{
namespace
{

/* Value of a hex digit in either case, or -1; its branches depend on the
 * configured text only, which is the same for every request. */
int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int user_equal(const uint8_t *given, size_t given_len, const char *configured)
{
    if (given_len >= kUserCap) return 0; /* longer than any configured user */
    /* Both zero-padded to the full buffer: the loop length never depends on
     * either text, and the lengths take part so "ab" differs from "ab\0". */
    uint8_t a[kUserCap] = {};
    uint8_t b[kUserCap] = {};
    memcpy(a, given, given_len);
    const size_t configured_len = strnlen(configured, kUserCap - 1);
    memcpy(b, configured, configured_len);
    volatile size_t diff = given_len ^ configured_len;
    for (size_t i = 0; i < kUserCap; ++i)
        diff = diff | static_cast<size_t>(a[i] ^ b[i]);
    return diff == 0 ? 1 : 0;
}

int digest_equal(const uint8_t *digest, const char *hex)
{
    uint8_t want[kDigestHexLen / 2];
    for (size_t i = 0; i < sizeof want; ++i) {
        const int hi = hex_value(hex[2 * i]);
        const int lo = hex_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return -1;
        want[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return bytes_equal(digest, want, sizeof want);
}

int bytes_equal(const uint8_t *a, const uint8_t *b, size_t n)
{
    volatile unsigned diff = 0;
    for (size_t i = 0; i < n; ++i)
        diff = diff | static_cast<unsigned>(a[i] ^ b[i]);
    return diff == 0 ? 1 : 0;
}

} // namespace auth
