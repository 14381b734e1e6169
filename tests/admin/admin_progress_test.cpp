/*
 * admin_progress_test.cpp - the progress line: the estimate of the rest,
 * durations, and the line itself at its edges.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "admin_progress.h"

namespace
{

TEST(AdminEta, TableOfPaces)
{
    struct Case {
        int64_t done, total, rate_ms, want;
    } cases[] = {
        {0, 100, 5000, -1},      /* nothing done yet: no pace */
        {10, 0, 5000, -1},       /* no total yet */
        {10, 100, 0, -1},        /* no time measured */
        {-5, 100, 1000, -1},     /* a count gone wrong */
        {25, 100, 1000, 3000},   /* a quarter in 1 s: 3 s more */
        {100, 100, 9000, 0},     /* done */
        {150, 100, 9000, 0},     /* past the total (blobs added meanwhile) */
        {1, 1000000000, 1000, (99 * 3600 + 59 * 60 + 59) * int64_t{1000}}, /* capped */
        /* Terabytes times minutes: no 64-bit overflow on the way. */
        {int64_t{1} << 40, int64_t{1} << 42, 600000, 1800000},
    };
    for (const Case &c : cases)
        EXPECT_EQ(admin_eta_ms(c.done, c.total, c.rate_ms), c.want)
            << c.done << " of " << c.total << " in " << c.rate_ms;
}

TEST(AdminDuration, TableOfTimes)
{
    struct Case {
        int64_t ms;
        const char *want;
    } cases[] = {
        {-1, "--:--"},         {0, "0:00"},           {999, "0:00"},
        {61000, "1:01"},       {3599999, "59:59"},    {3600000, "1:00:00"},
        {45296000, "12:34:56"}, {int64_t{1} << 60, "99:59:59"},
    };
    for (const Case &c : cases) {
        char out[ADMIN_DURATION_CAP];
        admin_fmt_duration(c.ms, out);
        EXPECT_STREQ(out, c.want) << c.ms;
    }
}

/* The line for v; width: what it must stay under (one terminal line for
 * the sizes of real stores). */
std::string line(admin_progress_view v, size_t width = 80)
{
    char out[ADMIN_LINE_CAP];
    const size_t n = admin_progress_line(&v, out);
    EXPECT_EQ(n, std::string(out).size());
    EXPECT_LT(n, width) << out;
    return out;
}

TEST(AdminProgressLine, CountsBarTimeAndEstimate)
{
    EXPECT_EQ(line({"deleting", 300, 1200, 0, 15000, 3000}),
              "deleting  [######..................] 300/1200  25%  0:15  ~0:09 left");
    /* Bytes in the store's unit words; an estimate not known yet. */
    EXPECT_EQ(line({"verifying", 0, 3 * 1048576, 1, 200, 0}),
              "verifying [........................] 0 B/3.0 MB   0%  0:00  ~--:-- left");
    /* No total yet: the count and the time alone. */
    EXPECT_EQ(line({"walking", 0, 0, 0, 1500, 1500}),
              "walking   [........................] 0  0:01");
}

TEST(AdminProgressLine, EdgesStayOnOneLine)
{
    /* Past the total: a full bar, never more than 100 %. */
    EXPECT_EQ(line({"deleting", 20, 10, 0, 1000, 1000}),
              "deleting  [########################] 10/10 100%  0:01  ~0:00 left");
    /* A long or missing phase is cut or named; negative counts read 0. */
    EXPECT_EQ(line({"a-very-long-phase-name", -4, 8, 0, 0, 0}).substr(0, 20),
              "a-very-long- [......");
    EXPECT_EQ(line({nullptr, 1, 2, 0, 0, 0}).substr(0, 10), "working   ");
    EXPECT_EQ(line({"", 1, 2, 0, 0, 0}).substr(0, 10), "working   ");
    /* The largest counts still fit the buffer, whole. */
    EXPECT_TRUE(line({"deleting", INT64_MAX - 1, INT64_MAX, 1, INT64_MAX, INT64_MAX},
                     ADMIN_LINE_CAP)
                    .ends_with(" 100%  99:59:59  ~0:00 left"));
}

} // namespace
