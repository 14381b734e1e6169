/* Bounded strings: every result is cut to the capacity and terminated. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform.h"
#include "tv_cgi.h"

namespace
{

const std::string SEP = PLAT_SEP_STR;

struct CopyCase {
    const char *src;
    size_t cap;
    std::string want;
};

TEST(TvStrlcpy, CopiesAndCutsToCapacity)
{
    const CopyCase cases[] = {
        {"hello", 16, "hello"}, {"hello", 6, "hello"}, // exactly fits with its NUL
        {"hello", 5, "hell"},   {"hello", 1, ""},      {"", 8, ""},
        {nullptr, 8, ""}, // NULL source empties the buffer
    };
    for (const auto &c : cases) {
        char buf[32];
        std::memset(buf, 'x', sizeof buf);
        tv_strlcpy(buf, c.src, c.cap);
        EXPECT_EQ(buf, c.want) << (c.src ? c.src : "(null)") << " cap " << c.cap;
        EXPECT_EQ(buf[c.cap], 'x') << "wrote past the capacity";
    }
}

TEST(TvStrlcpy, NullDestinationOrZeroCapacityTouchNothing)
{
    char buf[4] = "abc";
    tv_strlcpy(buf, "zzz", 0);
    EXPECT_STREQ(buf, "abc");
    tv_strlcpy(nullptr, "zzz", 4); // must not crash
}

TEST(TvSnprintf, ReturnsLengthWrittenOrCapacityLessOne)
{
    struct Case {
        size_t cap;
        const char *arg;
        int want_rc;
        std::string want;
    };
    const Case cases[] = {
        {4, "abcdef", 3, "abc"},                       // cut
        {4, "ab", 2, "ab"},      {4, "abc", 3, "abc"}, // exactly fits
        {4, "", 0, ""},          {1, "abc", 0, ""},
    };
    for (const auto &c : cases) {
        char buf[8];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(tv_snprintf(buf, c.cap, "%s", c.arg), c.want_rc) << c.arg << " cap " << c.cap;
        EXPECT_EQ(buf, c.want);
        EXPECT_EQ(buf[c.cap], 'x') << "wrote past the capacity";
    }
}

TEST(TvSnprintf, FormatsArgumentsAndRefusesNoRoom)
{
    char buf[32];
    EXPECT_EQ(tv_snprintf(buf, sizeof buf, "%s=%d;%lld", "n", -7, 1LL << 40), 18);
    EXPECT_STREQ(buf, "n=-7;1099511627776");
    buf[0] = 'x';
    EXPECT_EQ(tv_snprintf(buf, 0, "%s", "abc"), 0);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(tv_snprintf(nullptr, 8, "%s", "abc"), 0);
}

TEST(TvPathJoin, JoinsWithOneSeparator)
{
    struct Case {
        const char *a;
        const char *b;
        size_t cap;
        std::string want;
    };
    const Case cases[] = {
        {"a", "b", 64, "a" + SEP + "b"},
        {"a/", "/b", 64, "a/b"},                 // a keeps its own separator
        {"a\\", "b", 64, "a\\b"},                // a backslash counts as one too
        {"a", "//\\b/c", 64, "a" + SEP + "b/c"}, // leading separators of b dropped
        {"", "b", 64, "b"},
        {nullptr, "b", 64, "b"},
        {nullptr, nullptr, 64, ""},
        {"a", nullptr, 64, "a"},
        {"a", "", 64, "a"},
        {"/", "b", 64, "/b"},
        {"a", "/", 64, "a" + SEP},   // b of separators only
        {"ab", "c", 3, "ab"},        // no room for the separator
        {"ab", "cd", 4, "ab" + SEP}, // separator fits, b does not
        {"ab", "cd", 5, "ab" + SEP + "c"},
        {"abcdef", "g", 4, "abc"}, // a itself cut
        {"a", "b", 1, ""},
    };
    for (const auto &c : cases) {
        char buf[64];
        std::memset(buf, 'x', sizeof buf);
        tv_path_join(buf, c.cap, c.a, c.b);
        EXPECT_EQ(buf, c.want) << (c.a ? c.a : "(null)") << " + " << (c.b ? c.b : "(null)")
                               << " cap " << c.cap;
        if (c.cap < sizeof buf) {
            EXPECT_EQ(buf[c.cap], 'x') << "wrote past the capacity";
        }
    }
}

TEST(TvPathJoin, NullDestinationOrZeroCapacityTouchNothing)
{
    char buf[4] = "abc";
    tv_path_join(buf, 0, "a", "b");
    EXPECT_STREQ(buf, "abc");
    tv_path_join(nullptr, 4, "a", "b");
}

} // namespace
