/*
 * auth_base64.cpp - the Base64 decoder of the Basic credentials. Lenient in
 * what clients send in practice (padding optional or misplaced, line
 * breaks, the URL-safe alphabet), strict about everything else.
 */
#include "auth_internal.h"

#include <array>

namespace auth
{
namespace
{

constexpr int8_t kSkip = -2;
constexpr int8_t kBad = -1;

constexpr std::array<int8_t, 256> make_table()
{
    std::array<int8_t, 256> t{};
    for (auto &v : t)
        v = kBad;
    for (int i = 0; i < 26; ++i) {
        t['A' + i] = static_cast<int8_t>(i);
        t['a' + i] = static_cast<int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i)
        t['0' + i] = static_cast<int8_t>(52 + i);
    t['+'] = t['-'] = 62;
    t['/'] = t['_'] = 63;
    t[' '] = t['\t'] = t['\r'] = t['\n'] = t['='] = kSkip;
    return t;
}

constexpr std::array<int8_t, 256> kSymbol = make_table();

} // namespace

int base64_decode(const char *in, uint8_t *out, size_t cap, size_t *out_len)
{
    size_t n = 0;
    uint32_t group = 0; /* the symbols of the current group, 6 bits each */
    int symbols = 0;
    for (const auto *p = reinterpret_cast<const unsigned char *>(in); *p; ++p) {
        const int8_t v = kSymbol[*p];
        if (v == kSkip) continue;
        if (v == kBad) return -1;
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++symbols < 4) continue;
        if (n + 3 > cap) return -1;
        out[n++] = static_cast<uint8_t>(group >> 16);
        out[n++] = static_cast<uint8_t>(group >> 8);
        out[n++] = static_cast<uint8_t>(group);
        group = 0;
        symbols = 0;
    }
    /* A tail of 2 or 3 symbols gives 1 or 2 bytes; its unused low bits are
     * not checked. One symbol alone holds no whole byte. */
    if (symbols == 1) return -1;
    if (symbols > 1) {
        const size_t extra = static_cast<size_t>(symbols - 1);
        if (n + extra > cap) return -1;
        group <<= 6 * (4 - symbols);
        out[n++] = static_cast<uint8_t>(group >> 16);
        if (extra == 2) out[n++] = static_cast<uint8_t>(group >> 8);
    }
    *out_len = n;
    return 0;
}

} // namespace auth
