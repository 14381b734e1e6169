/*
 * auth_base64.cpp - Base64 in the two forms authentication meets.
 *
 * The Basic credentials' decoder is lenient in what clients send in
 * practice (padding optional or misplaced, line breaks, the URL-safe
 * alphabet), strict about everything else. The bearer tokens' form is
 * Base64url without padding, and its decoder accepts exactly what the
 * encoder writes: one text per byte string, so no two token texts carry
 * the same signature bytes.
 */
#include "auth_internal.h"

#include <array>
#include <string_view>

namespace auth
{
namespace
{

constexpr int8_t kSkip = -2;
constexpr int8_t kBad = -1;
using symbol_table = std::array<int8_t, 256>;

constexpr char kUrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

/* The URL-safe alphabet; the lenient table adds the standard one's two
 * symbols, and skips blanks and '='. */
constexpr symbol_table make_table(bool lenient)
{
    symbol_table t{};
    for (auto &v : t)
        v = kBad;
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kUrlAlphabet[i])] = static_cast<int8_t>(i);
    if (lenient) {
        t['+'] = 62;
        t['/'] = 63;
        t[' '] = t['\t'] = t['\r'] = t['\n'] = t['='] = kSkip;
    }
    return t;
}

constexpr symbol_table kLenient = make_table(true);
constexpr symbol_table kUrlSafe = make_table(false);

/* Decodes in by table t. canonical: the unused low bits of a tail must be
 * zero, so exactly one text decodes to given bytes. */
int decode(std::string_view in, const symbol_table &t, bool canonical, uint8_t *out, size_t cap,
           size_t *out_len)
{
    size_t n = 0;
    uint32_t group = 0; /* the symbols of the current group, 6 bits each */
    int symbols = 0;
    for (const unsigned char c : in) {
        const int8_t v = t[c];
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
    /* A tail of 2 or 3 symbols gives 1 or 2 bytes. One symbol alone holds
     * no whole byte. */
    if (symbols == 1) return -1;
    if (symbols > 1) {
        const size_t extra = static_cast<size_t>(symbols - 1);
        if (n + extra > cap) return -1;
        group <<= 6 * (4 - symbols);
        if (canonical && (group & (extra == 1 ? 0xffffu : 0xffu)) != 0) return -1;
        out[n++] = static_cast<uint8_t>(group >> 16);
        if (extra == 2) out[n++] = static_cast<uint8_t>(group >> 8);
    }
    *out_len = n;
    return 0;
}

} // namespace

int base64_decode(const char *in, uint8_t *out, size_t cap, size_t *out_len)
{
    /* Unused tail bits are not checked: clients never set them, and the
     * credentials are compared after decoding anyway. */
    return decode(in, kLenient, false, out, cap, out_len);
}

int base64url_decode(const char *in, size_t len, uint8_t *out, size_t cap, size_t *out_len)
{
    return decode(std::string_view(in, len), kUrlSafe, true, out, cap, out_len);
}

int base64url_encode(const void *in, size_t len, char *out, size_t cap, size_t *out_len)
{
    const size_t need = base64url_encoded_len(len);
    if (need >= cap) return -1;
    const auto *p = static_cast<const uint8_t *>(in);
    char *o = out;
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t g = uint32_t{p[i]} << 16 | uint32_t{p[i + 1]} << 8 | p[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            *o++ = kUrlAlphabet[(g >> shift) & 63];
    }
    if (i < len) {
        const bool two = i + 1 < len;
        const uint32_t g = uint32_t{p[i]} << 16 | (two ? uint32_t{p[i + 1]} << 8 : 0);
        *o++ = kUrlAlphabet[(g >> 18) & 63];
        *o++ = kUrlAlphabet[(g >> 12) & 63];
        if (two) *o++ = kUrlAlphabet[(g >> 6) & 63];
    }
    *o = '\0';
    *out_len = need;
    return 0;
}

} // namespace auth
