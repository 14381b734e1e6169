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

} // namespace
