/* The Base64 decoder of the Basic credentials. */
#include <gtest/gtest.h>

#include <string>

#include "auth_internal.h"

namespace
{

/* The decoded bytes as text, or "<bad>". */
std::string decode(const std::string &in, size_t cap = auth::kCredentialsMax)
{
    uint8_t out[auth::kCredentialsMax + 8];
    size_t len = 12345;
    if (auth::base64_decode(in.c_str(), out, cap, &len) != 0) return "<bad>";
    return std::string(reinterpret_cast<const char *>(out), len);
}

TEST(Base64, BothAlphabetsAndLenientPadding)
{
    struct Case {
        std::string in;
        std::string want;
    };
    const Case cases[] = {
        {"", ""},
        {"YWxpY2U6czNjcmV0", "alice:s3cret"},
        {"YQ==", "a"},
        {"YQ", "a"}, // padding optional
        {"YWI=", "ab"},
        {"YWI", "ab"},
        {"YW=I", "ab"}, // '=' skipped wherever it stands
        {" YW\r\nxp\tY2U6 czNj cmV0 ", "alice:s3cret"},
        {"====", ""},
        {"+/+/", "\xfb\xff\xbf"},
        {"-_-_", "\xfb\xff\xbf"}, // URL-safe
        {"+_-/", "\xfb\xff\xbf"}, // mixed
        {"AAAA", std::string(3, '\0')},
        {"YR", "a"}, // unused low bits are not checked
        {"Y", "<bad>"},
        {"YWxpY", "<bad>"}, // one symbol over
        {"YQ.=", "<bad>"},
        {"YQ==!", "<bad>"},
        {"YQ\x01", "<bad>"},
        {"YQ\xc3\xa9", "<bad>"},
        {"YQ\v", "<bad>"}, // only space, tab, CR and LF are blanks
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(decode(c.in), c.want);
    }
}

TEST(Base64, OutputLimitIsExact)
{
    // 680 symbols give 510 bytes; 2 more give 511; 4 more would give 513.
    const std::string s680(680, 'Q');
    EXPECT_EQ(decode(s680).size(), 510u);
    EXPECT_EQ(decode(s680 + "QQ").size(), 511u);
    EXPECT_EQ(decode(s680 + "QQQ"), "<bad>"); // 512 bytes
    EXPECT_EQ(decode(s680 + "QQQQ"), "<bad>");
    EXPECT_EQ(decode(std::string(100000, 'Q')), "<bad>");
    // Blanks do not count, however many.
    EXPECT_EQ(decode(std::string(100000, ' ') + "YQ"), "a");
    EXPECT_EQ(decode("YWJj", 2), "<bad>");
    EXPECT_EQ(decode("YWJj", 3), "abc");
}

} // namespace

namespace
{

/* The bearer tokens' form: Base64url without padding, strict. */
std::string url_decode(const std::string &in)
{
    uint8_t out[64];
    size_t len = 12345;
    if (auth::base64url_decode(in.data(), in.size(), out, sizeof out, &len) != 0) return "<bad>";
    return std::string(reinterpret_cast<const char *>(out), len);
}

std::string url_encode(const std::string &in, size_t cap = 64)
{
    char out[64];
    size_t len = 12345;
    if (auth::base64url_encode(in.data(), in.size(), out, cap, &len) != 0) return "<bad>";
    EXPECT_EQ(len, auth::base64url_encoded_len(in.size()));
    EXPECT_EQ(out[len], '\0');
    return std::string(out, len);
}

TEST(Base64Url, EncodesWithoutPaddingAndRoundTrips)
{
    struct Case {
        std::string bytes, text;
    };
    const Case cases[] = {
        {"", ""},
        {"f", "Zg"},
        {"fo", "Zm8"},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg"},
        {"\xfb\xff\xbf", "-_-_"},
        {"{\"alg\":\"HS256\",\"typ\":\"JWT\"}", "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(url_encode(c.bytes), c.text);
        EXPECT_EQ(url_decode(c.text), c.bytes);
    }
    // The NUL needs room too.
    EXPECT_EQ(url_encode("foo", 5), "Zm9v");
    EXPECT_EQ(url_encode("foo", 4), "<bad>");
}

TEST(Base64Url, DecoderAcceptsOnlyWhatTheEncoderWrites)
{
    const char *refused[] = {
        "Zg==",  // padding
        "Zg=",   //
        "Zm9v=", //
        "+/+/",  // the standard alphabet
        "Zm 9v", // blanks
        "Zm9v\n",
        "Z",     // a lone symbol
        "Zm9vY", //
        "Zh",    // unused tail bits set: "Zg" is the one text of "f"
        "Zm-",   // and "Zm8" the one of "fo"
        "Zm9v.", //
        "Zm9v\xc3\xa9",
    };
    for (const char *in : refused) {
        SCOPED_TRACE(in);
        EXPECT_EQ(url_decode(in), "<bad>");
    }
    // The length is given: a NUL inside is a byte outside the alphabet.
    uint8_t out[8];
    size_t len = 0;
    EXPECT_EQ(auth::base64url_decode("Zm\0v", 4, out, sizeof out, &len), -1);
    EXPECT_EQ(auth::base64url_decode("Zm9vYmFy", 8, out, 5, &len), -1); // 6 bytes
    EXPECT_EQ(auth::base64url_decode("Zm9vYmFy", 8, out, 6, &len), 0);
    EXPECT_EQ(len, 6u);
}

} // namespace
