/*
 * fuzz_auth_base64 - the Base64 decoder of the Basic credentials
 * (auth::base64_decode).
 *
 * Input: the text to decode (cut at a NUL). It is decoded into buffers of
 * exactly the capacity given, so a write past it is a report: the
 * credentials' own 511 bytes, a capacity taken from the input's length, and
 * 4,096 bytes (room for any input libFuzzer makes here).
 *
 * Holds for every input: the result is 0 or -1; a success wrote at most
 * cap bytes, and exactly those a plain decoder gives (both alphabets,
 * blanks and '=' skipped, a lone trailing symbol refused); a text that
 * decodes to n bytes fails for a capacity below n and succeeds for any
 * other; and the bytes, encoded again, decode to themselves.
 */
#include "auth_internal.h"
#include "fuzz_support.h"

#include <string>
#include <vector>

namespace
{

constexpr size_t kLargeCap = 4096;

int symbol(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '=') return -2;
    return -1;
}

/* A plain decoder: false for a byte outside the alphabets or a lone
 * trailing symbol. */
bool reference(std::string_view in, std::vector<uint8_t> *out)
{
    std::vector<int> s;
    for (unsigned char c : in) {
        const int v = symbol(c);
        if (v == -2) continue;
        if (v == -1) return false;
        s.push_back(v);
    }
    if (s.size() % 4 == 1) return false;
    uint32_t acc = 0;
    int bits = 0;
    for (int v : s) {
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return true;
}

std::string encode(const uint8_t *p, size_t n)
{
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < n; i += 3) {
        const uint32_t g = uint32_t{p[i]} << 16 | uint32_t{p[i + 1]} << 8 | p[i + 2];
        for (int s = 18; s >= 0; s -= 6)
            out += a[(g >> s) & 63];
    }
    if (i < n) {
        uint32_t g = uint32_t{p[i]} << 16;
        if (i + 1 < n) g |= uint32_t{p[i + 1]} << 8;
        out += a[(g >> 18) & 63];
        out += a[(g >> 12) & 63];
        if (i + 1 < n) out += a[(g >> 6) & 63];
        out += '=';
    }
    return out;
}

/* Decodes into a buffer of exactly cap bytes. */
int decode(const char *in, size_t cap, std::vector<uint8_t> *out)
{
    std::unique_ptr<uint8_t[]> buf(new uint8_t[cap]);
    size_t len = static_cast<size_t>(-1);
    const int rc = auth::base64_decode(in, buf.get(), cap, &len);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc == 0) {
        FUZZ_CHECK(len <= cap);
        out->assign(buf.get(), buf.get() + len);
    }
    return rc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::text in(std::string_view(reinterpret_cast<const char *>(data), size));

    std::vector<uint8_t> want;
    const bool ok = reference(in.view(), &want);

    std::vector<uint8_t> large;
    const int rc = decode(in.c_str(), kLargeCap, &large);
    if (want.size() <= kLargeCap) {
        FUZZ_CHECK((rc == 0) == ok);
        if (ok) FUZZ_CHECK(large == want);
    }

    for (size_t cap : {auth::kCredentialsMax, size % 64, want.size(), want.size() ? want.size() - 1 : 0}) {
        std::vector<uint8_t> got;
        const int r = decode(in.c_str(), cap, &got);
        FUZZ_CHECK((r == 0) == (ok && want.size() <= cap));
        if (r == 0) FUZZ_CHECK(got == want);
    }

    if (ok) {
        const std::string again = encode(want.data(), want.size());
        std::vector<uint8_t> round;
        FUZZ_CHECK(decode(again.c_str(), want.size() + 1, &round) == 0);
        FUZZ_CHECK(round == want);
    }
    return 0;
}
