/* The response side: header lines, the untranslated-mode switch and the
 * two one-shot error responses. Writing a status line starts the access
 * log, so every case runs in a child process. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cgi_test_util.h"
#include "platform.h"
#include "tv_cgi.h"

namespace
{

using namespace cgitest;

class Response : public CgiRequest
{
  protected:
    void SetUp() override { fs::create_directory(root()); }
    fs::path root() const { return tmp.path() / "registry_storage"; }
    std::string log() const { return read_text(root() / "registry_access.log"); }
};

TEST_F(Response, HeaderWritersWriteExactLines)
{
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        cgi_header_status(204, "No Content");
        cgi_header_status(401, nullptr);
        cgi_header_status(200, "");
        cgi_header_json();
        cgi_header_html();
        cgi_header_text();
        cgi_header_ct("application/vnd.oci.image.index.v1+json");
        cgi_header_extra("Allow: GET, HEAD, OPTIONS");
        cgi_headers_end();
        std::fputs("body", stdout);
    });
    EXPECT_EQ(output(), "Status: 204 No Content\r\n"
                        "Status: 401\r\n"
                        "Status: 200\r\n"
                        "Content-Type: application/json; charset=utf-8\r\n"
                        "Content-Type: text/html; charset=utf-8\r\n"
                        "Content-Type: text/plain; charset=utf-8\r\n"
                        "Content-Type: application/vnd.oci.image.index.v1+json\r\n"
                        "Allow: GET, HEAD, OPTIONS\r\n"
                        "\r\n"
                        "body");
    // The last status noted is the one logged.
    EXPECT_EQ(log().rfind("GET / 0 200 anonymous ", 0), 0u) << log();
}

TEST_F(Response, ModeSwitchHappensOnceAndHeaderWritersDoIt)
{
    /* What the switch answers once output is binary, as it is in a forked
     * child; a Windows child runs up to here again and switches itself. */
    plat_stdout_binary();
    const int platform_answer = plat_stdout_binary();
    run_in_child([&] {
        const int first = tv_stdout_bin();
        const int second = tv_stdout_bin();
        write_text(result_file(), std::to_string(first) + " " + std::to_string(second));
    });
    EXPECT_EQ(result(), std::to_string(platform_answer) + " 1");

    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        cgi_header_extra("X-A: 1");
        write_text(result_file(), std::to_string(tv_stdout_bin()));
    });
    EXPECT_EQ(result(), "1") << "a header writer already switched";
}

TEST_F(Response, DieWritesACompleteResponseAndLogsItsStatus)
{
    struct Case {
        bool json;
        int status;
        const char *message;
        std::string want;
    };
    const std::string text_head = "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    const std::string json_head = "Content-Type: application/json; charset=utf-8\r\n\r\n";
    const Case cases[] = {
        {false, 503, "storage down", "Status: 503\r\n" + text_head + "storage down\n"},
        {false, 500, nullptr, "Status: 500\r\n" + text_head + "\n"},
        {true, 400, nullptr,
         "Status: 400\r\n" + json_head +
             "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"error\"}]}\n"},
        {true, 404, "blob \"x\"\nmissing\x01",
         "Status: 404\r\n" + json_head +
             "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"blob "
             "\\\"x\\\"\\nmissing\\u0001\"}]}\n"},
        {true, 409, "", // an empty message stays empty
         "Status: 409\r\n" + json_head + "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"\"}]}\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        fs::remove(root() / "registry_access.log");
        // EXPECT_EXIT directly: die must end the process by itself with 0.
        EXPECT_EXIT(
            {
                plat_stdout_redirect(out_file().c_str());
                if (c.json)
                    cgi_die_json(c.status, c.message);
                else
                    cgi_die_text(c.status, c.message);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(output(), c.want);
        EXPECT_EQ(log().rfind("GET / 0 " + std::to_string(c.status) + " anonymous ", 0), 0u)
            << log();
    }
}

} // namespace

namespace
{

TEST(ErrorBody, ReportsTheBytesItWrote)
{
    struct Case {
        const char *code;
        const char *message;
        std::string want;
    };
    const Case cases[] = {
        {"UNKNOWN", "Unknown error",
         "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"Unknown error\"}]}\n"},
        {"A\"B", "q\"\\\b\f\x0b/\xc3\xa9",
         "{\"errors\":[{\"code\":\"A\"B\",\"message\":\"q\\\"\\\\\\b\\f\\u000b/\xc3\xa9\"}]}\n"},
        {nullptr, nullptr, "{\"errors\":[{\"code\":\"\",\"message\":\"\"}]}\n"},
    };
    testsupport::TempDir tmp;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        const std::string path = tmp.sub("body.txt");
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const size_t n = cgi_error_body(f, c.code, c.message);
        std::fclose(f);
        EXPECT_EQ(testsupport::read_text(path), c.want);
        EXPECT_EQ(n, c.want.size());
    }
}

} // namespace
