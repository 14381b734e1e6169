/* Registry responses as a process sees them: exact bytes on standard
 * output, exit status 0, and the access-log line with status and size. */
#include <gtest/gtest.h>

#include <string>

#include "cgi_test_util.h"
#include "oci_common.h"
#include "platform.h"

namespace
{

using namespace cgitest;

const std::string kHead = "Docker-Distribution-API-Version: registry/2.0\r\n"
                          "Content-Type: application/json; charset=utf-8\r\n"
                          "\r\n";

/* A request whose access log lands in the working directory's default
 * storage root. */
class RegistryResponse : public CgiRequest
{
  protected:
    void SetUp() override { fs::create_directory(root()); }
    fs::path root() const { return tmp.path() / "registry_storage"; }
    std::string log() const { return read_text(root() / "registry_access.log"); }
    /* The log line up to its time stamp. */
    std::string log_head() const
    {
        const std::string line = log();
        size_t end = 0;
        for (int field = 0; field < 5 && end != std::string::npos; ++field)
            end = line.find(' ', end + 1);
        return line.substr(0, end);
    }
};

TEST_F(RegistryResponse, ErrorWritesTheEnvelopeAndEndsTheProcess)
{
    struct Case {
        int status;
        const char *code;
        const char *message;
        std::string body;
    };
    const Case cases[] = {
        {404, nullptr, nullptr,
         "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"Unknown error\"}]}\n"},
        {400, "NAME_INVALID", "invalid repository name",
         "{\"errors\":[{\"code\":\"NAME_INVALID\",\"message\":\"invalid repository name\"}]}\n"},
        // The message is escaped and its escapes counted; the code is not.
        {416, "A\"B", "say \"hi\"\n\x01",
         "{\"errors\":[{\"code\":\"A\"B\",\"message\":\"say \\\"hi\\\"\\n\\u0001\"}]}\n"},
        {500, "", "", "{\"errors\":[{\"code\":\"\",\"message\":\"\"}]}\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        fs::remove(root() / "registry_access.log");
        EXPECT_EXIT(
            {
                plat_stdout_redirect(out_file().c_str());
                oci_send_error(c.status, c.code, c.message);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(output(), "Status: " + std::to_string(c.status) + "\r\n" + kHead + c.body);
        EXPECT_EQ(log_head(), "GET / " + std::to_string(c.body.size()) + " " +
                                  std::to_string(c.status) + " anonymous");
    }
}

TEST_F(RegistryResponse, UnknownErrorBodyIs58Bytes)
{
    ScopedEnv method("REQUEST_METHOD", "DELETE");
    ScopedEnv path("PATH_INFO", "/v2/team/app/manifests/x");
    EXPECT_EXIT(
        {
            plat_stdout_redirect(out_file().c_str());
            oci_send_error(404, nullptr, nullptr);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(log_head(), "DELETE /v2/team/app/manifests/x 58 404 anonymous");
}

TEST_F(RegistryResponse, JsonWritesTheDocumentAndReturns)
{
    struct Case {
        const char *json;
        std::string body;
    };
    const Case cases[] = {
        {nullptr, "{}\n"},
        {"", "{}\n"},
        {"{\"name\":\"team/app\",\"tags\":[\"1.0\"]}",
         "{\"name\":\"team/app\",\"tags\":[\"1.0\"]}\n"},
        {"not json at all", "not json at all\n"}, // written unchanged
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        fs::remove(root() / "registry_access.log");
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            oci_send_json(202, c.json);
            std::fputs("after", stdout); // it returned, with everything flushed
        });
        EXPECT_EQ(output(), "Status: 202\r\n" + kHead + c.body + "after");
        EXPECT_EQ(log_head(), "GET / " + std::to_string(c.body.size()) + " 202 anonymous");
    }
}

TEST_F(RegistryResponse, BeginWritesTheStatusAndVersionForTheCallersHeaders)
{
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        oci_response_begin(206);
        cgi_header_extra("Content-Range: bytes 0-1/2");
        cgi_headers_end();
    });
    EXPECT_EQ(output(), "Status: 206\r\n"
                        "Docker-Distribution-API-Version: registry/2.0\r\n"
                        "Content-Range: bytes 0-1/2\r\n"
                        "\r\n");
    EXPECT_EQ(log_head(), "GET / 0 206 anonymous");
}

TEST_F(RegistryResponse, ErrorWithAddsItsLineAfterTheVersion)
{
    const std::string body =
        "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"method not allowed\"}]}\n";
    struct Case {
        const char *line;
        std::string extra; /* what appears before the content type */
    };
    const Case cases[] = {
        {"Allow: GET, HEAD, OPTIONS", "Allow: GET, HEAD, OPTIONS\r\n"},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line ? c.line : "(null)");
        fs::remove(root() / "registry_access.log");
        EXPECT_EXIT(
            {
                plat_stdout_redirect(out_file().c_str());
                oci_send_error_with(405, "UNSUPPORTED", "method not allowed", c.line);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(output(), "Status: 405\r\nDocker-Distribution-API-Version: registry/2.0\r\n" +
                                c.extra + "Content-Type: application/json; charset=utf-8\r\n\r\n" +
                                body);
        EXPECT_EQ(log_head(), "GET / " + std::to_string(body.size()) + " 405 anonymous");
    }
}

/* A HEAD answer is the headers alone, and the log counts no body. */
TEST_F(RegistryResponse, HeadAnswersCarryNoBody)
{
    ScopedEnv method("REQUEST_METHOD", "HEAD");
    ScopedEnv path("PATH_INFO", "/v2/app/blobs/x");
    const std::string version = "Status: 404\r\nDocker-Distribution-API-Version: registry/2.0\r\n";
    const std::string type = "Content-Type: application/json; charset=utf-8\r\n\r\n";

    EXPECT_EXIT(
        {
            plat_stdout_redirect(out_file().c_str());
            oci_send_error(404, "BLOB_UNKNOWN", "blob unknown to registry");
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(output(), version + type);
    EXPECT_EQ(log_head(), "HEAD /v2/app/blobs/x 0 404 anonymous");

    fs::remove(root() / "registry_access.log");
    EXPECT_EXIT(
        {
            plat_stdout_redirect(out_file().c_str());
            oci_send_error_with(404, "BLOB_UNKNOWN", nullptr, "X-Extra: 1");
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(output(), version + "X-Extra: 1\r\n" + type);
    EXPECT_EQ(log_head(), "HEAD /v2/app/blobs/x 0 404 anonymous");

    fs::remove(root() / "registry_access.log");
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        oci_send_json(200, "{\"a\":1}");
        std::fputs("after", stdout); // it returned
    });
    EXPECT_EQ(output(), "Status: 200\r\n" + kHead + "after");
    EXPECT_EQ(log_head(), "HEAD /v2/app/blobs/x 0 200 anonymous");
}

} // namespace
