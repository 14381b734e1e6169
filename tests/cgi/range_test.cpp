/* Byte ranges: the Range header of a read against a body's size, and the
 * Content-Range header of an upload chunk. */
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tv_cgi.h"

namespace
{

constexpr int64_t kUntouched = -7;
constexpr int64_t k5GiB = int64_t{5} << 30;

TEST(Range, ReadAgainstASize)
{
    struct Case {
        const char *header;
        int64_t size;
        int want;
        int64_t first, last; /* kUntouched unless OK */
    };
    constexpr int OK = CGI_RANGE_OK, NONE = CGI_RANGE_NONE, BAD = CGI_RANGE_UNSATISFIABLE;
    constexpr int64_t U = kUntouched;
    const Case cases[] = {
        {"bytes=0-9", 100, OK, 0, 9},
        {"bytes=0-0", 1, OK, 0, 0},
        {"bytes=99-99", 100, OK, 99, 99},
        {"bytes=10-", 100, OK, 10, 99},
        {"bytes=50-500", 100, OK, 50, 99}, // the end is clipped to the body
        {"bytes=-10", 100, OK, 90, 99},
        {"bytes=-100", 100, OK, 0, 99},
        {"bytes=-200", 100, OK, 0, 99}, // more than there is: all of it
        {" \tbytes= 5-6\t ", 100, OK, 5, 6},
        {"bytes=4294967296-", k5GiB, OK, 4294967296, k5GiB - 1}, // past 32 bits
        {"bytes=0-999999999999999999", 100, OK, 0, 99},          // 18 digits
        {"bytes=100-", 100, BAD, U, U},
        {"bytes=100-200", 100, BAD, U, U},
        {"bytes=0-", 0, BAD, U, U},
        {"bytes=-5", 0, BAD, U, U},
        {"bytes=-0", 100, BAD, U, U},
        {"", 100, NONE, U, U},
        {"bytes=", 100, NONE, U, U},
        {"bytes=-", 100, NONE, U, U},
        {"bytes=--5", 100, NONE, U, U},
        {"bytes=5-4", 100, BAD, U, U},      // reversed: nothing to send
        {"bytes=0-1,5-6", 100, NONE, U, U}, // several ranges: the whole body
        {"bytes=0-1, 5-6", 100, NONE, U, U},
        {"bytes=-5,0-1", 100, NONE, U, U},
        {"bytes 0-9", 100, NONE, U, U},
        {"items=0-9", 100, NONE, U, U},
        {"bytes=+1-2", 100, NONE, U, U},
        {"bytes=1-+2", 100, NONE, U, U},
        {"bytes=a-b", 100, NONE, U, U},
        {"bytes=0 -9", 100, NONE, U, U},
        {"bytes=0-9x", 100, NONE, U, U},
        {"bytes=0-1000000000000000000", 100, NONE, U, U}, // 19 digits
        {"bytes=-1000000000000000000", 100, NONE, U, U},
        {"bytes=0-9", -1, NONE, U, U}, // no size to range over
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.header) + " of " + std::to_string(c.size));
        int64_t first = kUntouched, last = kUntouched;
        EXPECT_EQ(cgi_parse_range(c.header, c.size, &first, &last), c.want);
        // A caller presets the whole body and keeps it unless a range is OK.
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(last, c.last);
    }
}

TEST(Range, MissingArgumentsMeanNoRange)
{
    int64_t first = kUntouched, last = kUntouched;
    EXPECT_EQ(cgi_parse_range(nullptr, 100, &first, &last), CGI_RANGE_NONE);
    EXPECT_EQ(cgi_parse_range("bytes=0-1", 100, nullptr, &last), CGI_RANGE_NONE);
    EXPECT_EQ(cgi_parse_range("bytes=0-1", 100, &first, nullptr), CGI_RANGE_NONE);
    EXPECT_EQ(first, kUntouched);
    EXPECT_EQ(last, kUntouched);
}

TEST(ContentRange, UploadChunk)
{
    struct Case {
        const char *header;
        int want;
        int64_t first, last; /* kUntouched on failure */
    };
    constexpr int64_t U = kUntouched;
    const Case cases[] = {
        {"0-9", 0, 0, 9},
        {"0-0", 0, 0, 0},
        {"10-19", 0, 10, 19},
        {"bytes 0-9/10", 0, 0, 9},
        {"bytes 0-9/*", 0, 0, 9},
        {"bytes=0-9", 0, 0, 9},
        {"0-9/100", 0, 0, 9},
        {" 5-6 ", 0, 5, 6},
        {"4294967296-5368709119", 0, 4294967296, 5368709119}, // past 32 bits
        {"0-999999999999999999", 0, 0, 999999999999999999},   // 18 digits
        {"0-1000000000000000000", -1, U, U},                  // 19 digits
        {"", -1, U, U},
        {"5-4", -1, U, U},
        {"0-", -1, U, U},
        {"-9", -1, U, U},
        {"0-9/9", -1, U, U}, // the total must pass the last byte
        {"0-9/0", -1, U, U},
        {"0-9/", -1, U, U},
        {"0-9/*x", -1, U, U},
        {"0-9/abc", -1, U, U},
        {"0-9x", -1, U, U},
        {"0-9,10-19", -1, U, U},
        {"+0-9", -1, U, U},
        {"0--9", -1, U, U},
        {"bytes  0-9", -1, U, U},
        {"items 0-9", -1, U, U},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.header);
        int64_t first = kUntouched, last = kUntouched;
        EXPECT_EQ(cgi_parse_content_range(c.header, &first, &last), c.want);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(last, c.last);
    }
    int64_t first = 0, last = 0;
    EXPECT_EQ(cgi_parse_content_range(nullptr, &first, &last), -1);
    EXPECT_EQ(cgi_parse_content_range("0-1", nullptr, &last), -1);
    EXPECT_EQ(cgi_parse_content_range("0-1", &first, nullptr), -1);
}

} // namespace
