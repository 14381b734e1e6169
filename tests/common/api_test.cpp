/* The prelude of every endpoint program: credentials, OPTIONS and refused
 * methods, the storage bootstrap, and the split of the request path. Each
 * step may answer and end the process, so every case runs in a child. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cgi_test_util.h"
#include "oci_common.h"
#include "platform.h"

namespace
{

using namespace cgitest;

constexpr char kVersion[] = "Docker-Distribution-API-Version: registry/2.0\r\n";
constexpr char kJson[] = "Content-Type: application/json; charset=utf-8\r\n\r\n";
constexpr char kReturned[] = "returned";

std::string error_body(const std::string &code, const std::string &message)
{
    return "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}]}\n";
}

/* A request run from a working directory whose default storage root holds
 * the access log. */
class Prelude : public CgiRequestWithStore
{
  protected:
    ScopedEnv env_auth{"HTTP_AUTHORIZATION", nullptr};

    /* Runs fn in a child; what it wrote, and whether it returned. */
    struct Ran {
        std::string out;
        bool returned;
    };
    template <class Fn> Ran run(Fn fn)
    {
        fs::remove(result_file());
        fs::remove(root() / "registry_access.log");
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            fn();
            std::fflush(stdout);
            write_text(result_file(), kReturned);
        });
        return {output(), result() == kReturned};
    }
};

TEST_F(Prelude, EnterAnswersOptionsAndRefusesMethodsNotAllowed)
{
    const std::string allow = "Allow: GET, HEAD, OPTIONS\r\n";
    const std::string options = "Status: 204\r\n" + std::string(kVersion) + allow + "\r\n";
    const std::string refused_body = error_body("UNSUPPORTED", "method not allowed");
    const std::string refused =
        "Status: 405\r\n" + std::string(kVersion) + allow + kJson + refused_body;
    const std::string refused_size = std::to_string(refused_body.size());
    struct Case {
        const char *method; /* nullptr: unset, which reads as GET */
        const char *allow;
        std::string out; /* "" and the call returns */
        std::string log; /* "" for no line: nothing was answered */
    };
    const Case cases[] = {
        {"GET", "GET, HEAD", "", ""},
        {nullptr, "GET, HEAD", "", ""},
        {"HEAD", "GET, HEAD", "", ""},
        {"DELETE", "GET, HEAD, DELETE", "", ""},
        {"PATCH", "GET,PATCH", "", ""}, // spaces after commas are optional
        {"OPTIONS", "GET, HEAD", options, "OPTIONS / 0 204 anonymous"},
        {"PUT", "GET, HEAD", refused, "PUT / " + refused_size + " 405 anonymous"},
        {"GE", "GET, HEAD", refused, "GE / " + refused_size + " 405 anonymous"}, // a part of a name
        {"get", "GET, HEAD", refused, "get / " + refused_size + " 405 anonymous"}, // case matters
        {"GETS", "GET, HEAD", refused, "GETS / " + refused_size + " 405 anonymous"},
        // A HEAD that is refused gets the headers alone.
        {"HEAD", "GET",
         "Status: 405\r\n" + std::string(kVersion) + "Allow: GET, OPTIONS\r\n" + kJson,
         "HEAD / 0 405 anonymous"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.method ? c.method : "(unset)") + " against " + c.allow);
        ScopedEnv method("REQUEST_METHOD", c.method);
        const Ran r = run([&] { oci_api_enter(c.allow); });
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.returned, c.out.empty());
        if (c.log.empty()) {
            EXPECT_FALSE(fs::exists(root() / "registry_access.log"));
        } else {
            EXPECT_EQ(log_head(), c.log);
        }
    }
}

/* Without credentials a client learns nothing, not even the methods. */
TEST_F(Prelude, EnterAsksForCredentialsBeforeAnythingElse)
{
    // alice with password "secret" (its SHA-256 below).
    write_text(tmp.path() / "config.json",
               "{\"registry_auth_user\": \"alice\", \"registry_auth_sha256\": "
               "\"2bb80d537b1da3e38bd30361aa855686bde0eacd7162fef6a25fe97bf527a25b\"}");
    const std::string unauthorized = "Status: 401 Unauthorized\r\n"
                                     "WWW-Authenticate: Bearer realm=\"http://127.0.0.1/token\","
                                     "service=\"registry\"\r\n" +
                                     std::string(kVersion) + kJson +
                                     error_body("UNAUTHORIZED", "authentication required");
    for (const char *method : {"GET", "OPTIONS", "PUT"}) {
        SCOPED_TRACE(method);
        ScopedEnv m("REQUEST_METHOD", method);
        const Ran r = run([] { oci_api_enter("GET, HEAD"); });
        EXPECT_EQ(r.out, unauthorized);
        EXPECT_FALSE(r.returned);
        EXPECT_EQ(log_head(), std::string(method) + " / 73 401 anonymous"); // the body sent
    }
    ScopedEnv auth("HTTP_AUTHORIZATION", "Basic YWxpY2U6c2VjcmV0"); // alice:secret
    ScopedEnv m("REQUEST_METHOD", "GET");
    const Ran ok = run([] { oci_api_enter("GET, HEAD"); });
    EXPECT_EQ(ok.out, "");
    EXPECT_TRUE(ok.returned);
    ScopedEnv put("REQUEST_METHOD", "PUT");
    EXPECT_EQ(run([] { oci_api_enter("GET, HEAD"); }).out.rfind("Status: 405\r\n", 0), 0u);
    EXPECT_EQ(log_head(),
              "PUT / " + std::to_string(error_body("UNSUPPORTED", "method not allowed").size()) +
                  " 405 alice");
}

TEST_F(Prelude, StorageComesUpOrTheAnswerIs503)
{
    {
        ScopedEnv root_env("REGISTRY_STORAGE_ROOT", "store");
        const Ran r = run([] { oci_api_storage(); });
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.returned);
        EXPECT_TRUE(fs::is_directory(tmp.path() / "store" / "repositories"));
    }
    // A root beneath a plain file cannot be made.
    write_text(tmp.path() / "file", "x");
    ScopedEnv root_env("REGISTRY_STORAGE_ROOT", "file/store");
    const Ran r = run([] { oci_api_storage(); });
    EXPECT_EQ(r.out, "Status: 503\r\n" + std::string(kVersion) + kJson +
                         error_body("UNKNOWN", "storage unavailable: mkdirs failed: file/store"));
    EXPECT_FALSE(r.returned);
}

TEST_F(Prelude, RouteSplitsThePathOrAnswers)
{
    auto answer = [](int status, const char *code, const char *message) {
        return "Status: " + std::to_string(status) + "\r\n" + std::string(kVersion) + kJson +
               error_body(code, message);
    };
    const std::string name_invalid = answer(400, "NAME_INVALID", "invalid repository name");
    const std::string no_endpoint = answer(404, "UNSUPPORTED", "unknown API endpoint");
    const std::string long_name = "/v2/" + std::string(300, 'n') + "/blobs/x";
    const std::string digest = "sha256:" + std::string(64, 'a');
    const std::string blob_path = "/v2/team/app/blobs/" + digest;
    const std::string referrers_path = "/v2/a/b/c/referrers/" + digest;
    struct Case {
        const char *path; /* nullptr: unset */
        oci_route_kind kind;
        std::string want; /* "name|rest" when it returns, else the answer */
    };
    const Case cases[] = {
        {blob_path.c_str(), OCI_ROUTE_BLOBS, "team/app|" + digest},
        {"/v2/app/manifests/latest/", OCI_ROUTE_MANIFESTS, "app|latest"},
        {"/v2/app/blobs/uploads/", OCI_ROUTE_UPLOADS, "app|"},
        {"/v2/app/tags/list", OCI_ROUTE_TAGS, "app|"},
        {referrers_path.c_str(), OCI_ROUTE_REFERRERS, "a/b/c|" + digest},
        {"/v2/-app/blobs/x", OCI_ROUTE_BLOBS, name_invalid},
        {"/v2/team//app/blobs/x", OCI_ROUTE_BLOBS, name_invalid},
        {"/v2//blobs/x", OCI_ROUTE_BLOBS, name_invalid},
        {"/v2/blobs/x", OCI_ROUTE_BLOBS, name_invalid}, // the marker, but no name before it
        {long_name.c_str(), OCI_ROUTE_BLOBS, name_invalid},
        {"/v2/app/blobs/x", OCI_ROUTE_BLOBS, answer(400, "DIGEST_INVALID", "invalid digest")},
        {"/v2/app/manifests/.x", OCI_ROUTE_MANIFESTS,
         answer(400, "TAG_INVALID", "invalid tag reference")},
        {"/v2/app/blobs/uploads/x", OCI_ROUTE_UPLOADS,
         answer(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry")},
        {"/v2/app/tags/list", OCI_ROUTE_BLOBS, no_endpoint},
        {"/v2/app/tags/lis", OCI_ROUTE_TAGS, no_endpoint},
        {"/v2/", OCI_ROUTE_BLOBS, no_endpoint},
        {nullptr, OCI_ROUTE_BLOBS, no_endpoint},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path ? std::string(c.path).substr(0, 40) : "(unset)");
        ScopedEnv path("PATH_INFO", c.path);
        const Ran r = run([&] {
            oci_route route;
            oci_api_route(c.kind, &route);
            std::fputs((std::string(route.name) + "|" + route.ref).c_str(), stdout);
        });
        EXPECT_EQ(r.out, c.want);
        EXPECT_EQ(r.returned, c.want.find('|') != std::string::npos);
    }
}

} // namespace
