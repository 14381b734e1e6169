/*
 * hmac_sha256_test.cpp - HMAC-SHA256: the RFC 4231 vectors (keys shorter
 * than, equal to and longer than the block; case 5's tag is truncated to
 * 128 bits there, so only its first 16 bytes are compared), and a key or
 * message at the block edges against the construction spelled out.
 */
#include "hmac_sha256.h"
#include "sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

std::string from_hex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string to_hex(const uint8_t *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string hmac_hex(const std::string &key, const std::string &data)
{
    uint8_t out[HMAC_SHA256_BYTES];
    hmac_sha256(key.data(), key.size(), data.data(), data.size(), out);
    return to_hex(out, sizeof out);
}

TEST(HmacSha256, Rfc4231Vectors)
{
    struct Case {
        const char *name;
        std::string key, data, tag;
    };
    const std::string long_key(131, '\xaa');
    const Case cases[] = {
        {"1", std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"2", "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"3", std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"4", from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
         std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"5 (truncated)", std::string(20, '\x0c'), "Test With Truncation",
         "a3b6167473100ee06e0c796c2955552b"},
        {"6", long_key, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"7", long_key,
         "This is a test using a larger than block-size key and a larger than block-size "
         "data. The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hmac_hex(c.key, c.data).substr(0, c.tag.size()), c.tag);
    }
}

/* The construction written out plainly, for keys and messages around the
 * 64-byte block. */
std::string reference_hex(std::string key, const std::string &data)
{
    uint8_t d[32];
    sha256_ctx ctx;
    if (key.size() > 64) {
        sha256_init(&ctx);
        sha256_update(&ctx, key.data(), key.size());
        sha256_final(&ctx, d);
        key.assign(reinterpret_cast<const char *>(d), 32);
    }
    key.resize(64, '\0');
    std::string ipad = key, opad = key;
    for (size_t i = 0; i < 64; ++i) {
        ipad[i] = static_cast<char>(ipad[i] ^ 0x36);
        opad[i] = static_cast<char>(opad[i] ^ 0x5c);
    }
    sha256_init(&ctx);
    sha256_update(&ctx, (ipad + data).data(), 64 + data.size());
    sha256_final(&ctx, d);
    const std::string inner = opad + std::string(reinterpret_cast<const char *>(d), 32);
    sha256_init(&ctx);
    sha256_update(&ctx, inner.data(), inner.size());
    sha256_final(&ctx, d);
    return to_hex(d, 32);
}

TEST(HmacSha256, BlockEdgesMatchTheConstruction)
{
    for (size_t key_len : {0, 1, 32, 63, 64, 65, 200}) {
        for (size_t data_len : {0, 1, 55, 56, 63, 64, 65, 1000}) {
            SCOPED_TRACE(std::to_string(key_len) + " / " + std::to_string(data_len));
            const std::string key(key_len, static_cast<char>('k' + key_len % 7));
            const std::string data(data_len, static_cast<char>('a' + data_len % 13));
            EXPECT_EQ(hmac_hex(key, data), reference_hex(key, data));
        }
    }
    // A key and its zero-padded form are the same key; a NULL empty message works.
    uint8_t a[32], b[32];
    hmac_sha256("key", 3, nullptr, 0, a);
    hmac_sha256("key\0\0", 5, "", 0, b);
    EXPECT_EQ(to_hex(a, 32), to_hex(b, 32));
}

} // namespace
