/* Paged listings (catalog, tags): the n and last parameters, and the
 * answer with its Link to the next page. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "cgi_test_util.h"
#include "oci_common.h"
#include "platform.h"

namespace
{

using namespace cgitest;

constexpr char kVersion[] = "Docker-Distribution-API-Version: registry/2.0\r\n";
constexpr char kJson[] = "Content-Type: application/json; charset=utf-8\r\n\r\n";
constexpr char kList[] = "{\"repositories\":[\"a\",\"b\"]}";

class Pages : public CgiRequestWithStore
{
};

TEST_F(Pages, QueryGivesNAndLast)
{
    struct Case {
        const char *query;
        size_t last_size;
        int n;
        std::string last;
    };
    const Case cases[] = {
        {"", 64, -1, ""},
        {"last=b", 64, -1, "b"},
        {"n=5&last=b", 64, 5, "b"},
        {"last=b&n=5", 64, 5, "b"},
        {"n=0", 64, 0, ""},
        {"n=007", 64, 7, ""},
        {"n=%35", 64, 5, ""},
        {"n=100000", 64, 100000, ""},
        {"n=100001", 64, -1, ""}, // past the largest page: everything
        {"n=99999999999999999999999999", 64, -1, ""},
        {"n=", 64, -1, ""},
        {"n", 64, -1, ""},
        {"last=team%2Fapp", 64, -1, "team/app"},
        {"last=abcdef", 4, -1, "abc"}, // cut to the buffer
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        ScopedEnv q("QUERY_STRING", c.query);
        char last[64];
        std::fill(std::begin(last), std::end(last), 'x');
        EXPECT_EQ(oci_page_query(last, c.last_size), c.n);
        EXPECT_EQ(std::string(last), c.last);
    }
}

TEST(PageSize, DigitsOnlyWithinTheLargestPage)
{
    struct Case {
        const char *text;
        int rc, n;
    };
    const Case cases[] = {
        {nullptr, 0, -1},     {"", 0, -1},
        {"0", 0, 0},          {"00", 0, 0},
        {"17", 0, 17},        {"100000", 0, 100000},
        {"100001", 0, -1},    {"9999999999999999999999", 0, -1},
        {"-1", -1, -1},       {" 1", -1, -1},
        {"1 ", -1, -1},       {"0x10", -1, -1},
        {"1e3", -1, -1},      {"+1", -1, -1},
        {"\xd9\xa3", -1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        int n = 12345;
        EXPECT_EQ(oci_page_size(c.text, &n), c.rc);
        EXPECT_EQ(n, c.n);
    }
}

TEST_F(Pages, MalformedNIsAnswered400)
{
    const std::string want = "Status: 400\r\n" + std::string(kVersion) + kJson +
                             "{\"errors\":[{\"code\":\"PAGINATION_NUMBER_INVALID\",\"message\":"
                             "\"invalid number of results requested\"}]}\n";
    for (const char *query : {"n=-1", "n=5x", "n=+5", "n=1.5", "n=%2D1", "n=1e3", "last=a&n=x"}) {
        SCOPED_TRACE(query);
        ScopedEnv q("QUERY_STRING", query);
        EXPECT_EXIT(
            {
                plat_stdout_redirect(out_file().c_str());
                char last[64];
                oci_page_query(last, sizeof last);
                std::exit(3); // it must not return
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(output(), want);
    }
}

TEST_F(Pages, AnswerLinksToTheNextPageWhenMoreFollow)
{
    struct Case {
        int more, n;
        const char *last;
        std::string link; /* the header line, or "" for none */
    };
    const Case cases[] = {
        {1, 2, "b", "Link: </v2/_catalog?n=2&last=b>; rel=\"next\"\r\n"},
        {1, -1, "b", "Link: </v2/_catalog?last=b>; rel=\"next\"\r\n"},
        {1, 0, "b", "Link: </v2/_catalog?last=b>; rel=\"next\"\r\n"},
        {0, 2, "b", ""},
        {1, 2, "", ""},
        {1, 2, nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.link);
        fs::remove(root() / "registry_access.log");
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            oci_send_page(kList, c.more, "/v2/_catalog", c.n, c.last);
            std::fputs("after", stdout); // it returned
        });
        EXPECT_EQ(output(),
                  "Status: 200\r\n" + std::string(kVersion) + c.link + kJson + kList + "\nafter");
        EXPECT_EQ(log_head(),
                  "GET / " + std::to_string(std::string(kList).size() + 1) + " 200 anonymous");
    }
}

/* A CGI answer to HEAD has no body, as with oci_send_json. */
TEST_F(Pages, AnswerToHeadHasNoBody)
{
    ScopedEnv method("REQUEST_METHOD", "HEAD");
    ScopedEnv path("PATH_INFO", "/v2/app/tags/list");
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        oci_send_page(kList, 1, "/v2/app/tags/list", 2, "b");
        std::fputs("after", stdout);
    });
    EXPECT_EQ(output(), "Status: 200\r\n" + std::string(kVersion) +
                            "Link: </v2/app/tags/list?n=2&last=b>; rel=\"next\"\r\n" + kJson +
                            "after");
    EXPECT_EQ(log_head(), "HEAD /v2/app/tags/list 0 200 anonymous");
}

} // namespace
