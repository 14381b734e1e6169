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
