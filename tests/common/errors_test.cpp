/* The protocol's error codes: their statuses, the answers oci_fail and
 * oci_fail_storage write, and the storage engine's real failure messages
 * mapped to codes. Answers end the process, so they run in children. */
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cgi_test_util.h"
#include "oci_common.h"
#include "platform.h"
#include "reg_storage.h"
#include "sha256.h"

namespace
{

using namespace cgitest;

std::string digest_of(const std::string &data)
{
    sha256_ctx ctx;
    uint8_t sum[32];
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    sha256_final(&ctx, sum);
    static const char hex[] = "0123456789abcdef";
    std::string s = "sha256:";
    for (uint8_t b : sum) {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

/* The complete error answer oci_send_error writes for a GET. */
std::string error_answer(int status, const std::string &code, const std::string &message)
{
    return "Status: " + std::to_string(status) +
           "\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
           "Content-Type: application/json; charset=utf-8\r\n\r\n"
           "{\"errors\":[{\"code\":\"" +
           code + "\",\"message\":\"" + message + "\"}]}\n";
}

/* A request whose access log lands in the default storage root, and an
 * engine store beside it for the storage failures. */
class ErrorAnswer : public CgiRequest
{
  protected:
    void SetUp() override { fs::create_directory(tmp.path() / "registry_storage"); }
    std::string store() const { return tmp.sub("store"); }

    /* Output of fn, which must end the process with status 0. */
    template <class Fn> std::string answer(Fn fn)
    {
        EXPECT_EXIT(
            {
                plat_stdout_redirect(out_file().c_str());
                fn();
            },
            ::testing::ExitedWithCode(0), "");
        return output();
    }
};

TEST(ErrorCodes, EachCodeHasItsStatus)
{
    struct Case {
        const char *code;
        int status;
    };
    const Case cases[] = {
        {"BLOB_UNKNOWN", 404},
        {"BLOB_UPLOAD_INVALID", 400},
        {"BLOB_UPLOAD_UNKNOWN", 404},
        {"DIGEST_INVALID", 400},
        {"MANIFEST_BLOB_UNKNOWN", 400},
        {"MANIFEST_INVALID", 400},
        {"MANIFEST_UNKNOWN", 404},
        {"NAME_INVALID", 400},
        {"NAME_UNKNOWN", 404},
        {"SIZE_INVALID", 400},
        {"TAG_INVALID", 400},
        {"UNAUTHORIZED", 401},
        {"DENIED", 403},
        {"UNSUPPORTED", 405},
        {"TOOMANYREQUESTS", 429},
        {"UNKNOWN", 500},
        {"blob_unknown", 500}, // codes are upper case; anything else is unknown
        {"BLOB_UNKNOWN ", 500},
        {"", 500},
        {nullptr, 500},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code ? c.code : "(null)");
        EXPECT_EQ(oci_error_status(c.code), c.status);
    }
}

TEST_F(ErrorAnswer, FailAnswersTheCodeWithItsStandardMessageUnlessGivenOne)
{
    struct Case {
        const char *code;
        const char *message;
        std::string want;
    };
    const Case cases[] = {
        {"BLOB_UNKNOWN", nullptr, error_answer(404, "BLOB_UNKNOWN", "blob unknown to registry")},
        {"NAME_INVALID", "", error_answer(400, "NAME_INVALID", "invalid repository name")},
        {"MANIFEST_BLOB_UNKNOWN", nullptr,
         error_answer(400, "MANIFEST_BLOB_UNKNOWN",
                      "manifest references a manifest or blob unknown to registry")},
        {"DIGEST_INVALID", "invalid \"digest\"",
         error_answer(400, "DIGEST_INVALID", "invalid \\\"digest\\\"")},
        {"TOOMANYREQUESTS", nullptr, error_answer(429, "TOOMANYREQUESTS", "too many requests")},
        // An unknown code is answered as UNKNOWN, never written as given.
        {"NO_SUCH_CODE", nullptr, error_answer(500, "UNKNOWN", "unknown error")},
        {"NO\"SUCH", "x", error_answer(500, "UNKNOWN", "x")},
        {nullptr, nullptr, error_answer(500, "UNKNOWN", "unknown error")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code ? c.code : "(null)");
        EXPECT_EQ(answer([&] { oci_fail(c.code, c.message); }), c.want);
    }
}

/* Each message comes from a real engine call, so a reworded message that
 * no longer maps to its client code shows here. */
TEST_F(ErrorAnswer, EngineFailuresMapToTheirCodes)
{
    ASSERT_EQ(reg_storage_init(store().c_str()), 0) << reg_storage_last_error();
    char id[40], digest[DIGEST_TEXT_CAP], type[160], path[4096];
    int64_t size = 0;
    auto store_blob = [&](const std::string &data) {
        EXPECT_EQ(reg_blob_start_upload(id), 0);
        EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0);
        EXPECT_EQ(reg_blob_finish_upload(id, digest_of(data).c_str(), digest), 0);
        return digest_of(data);
    };
    const std::string config = store_blob("config");
    const std::string image = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config + "\"}}";
    const std::string missing = digest_of("missing");
    const std::string unstored_image =
        "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + missing + "\"}}";
    auto put = [&](const char *repo, const char *ref, const std::string &body,
                   const char *content_type = nullptr) {
        return reg_manifest_put(repo, ref, body.data(), body.size(), content_type, digest) != 0;
    };
    auto locate = [&](const char *ref) {
        return reg_manifest_locate("app", ref, type, digest, path, sizeof path, &size) != 0;
    };
    ASSERT_FALSE(put("app", "v1", image)) << reg_storage_last_error();
    ASSERT_FALSE(put("gone", "v1", image)) << reg_storage_last_error();
    fs::remove(fs::path(store()) / "repositories" / "gone" / "_manifests" /
               digest_of(image).substr(7));
    write_text(fs::path(store()) / "repositories" / "app" / "_manifests" / "tags" / "bad" /
                   "current" / "link",
               "garbage");
    const std::string huge(4194305, ' ');
    const std::string v1 = "{\"schemaVersion\":1,\"fsLayers\":[]}";
    const std::string with_bad_subject = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config +
                                         "\"},\"subject\":{\"digest\":\"sha256:x\"}}";

    struct Case {
        const char *label;
        std::function<bool()> fails;
        const char *code;
        int status;
    };
    const Case cases[] = {
        {"config blob not stored", [&] { return put("app", "v2", unstored_image); },
         "MANIFEST_BLOB_UNKNOWN", 400},
        {"index entry not stored",
         [&] { return put("app", "v2", "{\"manifests\":[{\"digest\":\"" + missing + "\"}]}"); },
         "MANIFEST_BLOB_UNKNOWN", 400},
        {"manifest over 4 MiB", [&] { return put("app", "v2", huge); }, "SIZE_INVALID", 413},
        {"manifest not JSON", [&] { return put("app", "v2", "hello"); }, "MANIFEST_INVALID", 400},
        {"manifest without config", [&] { return put("app", "v2", "{\"a\":1}"); },
         "MANIFEST_INVALID", 400},
        {"schema version 1", [&] { return put("app", "v2", v1); }, "MANIFEST_INVALID", 400},
        {"body shape against its type",
         [&] { return put("app", "v2", image, "application/vnd.oci.image.index.v1+json"); },
         "MANIFEST_INVALID", 400},
        {"subject without valid digest", [&] { return put("app", "v2", with_bad_subject); },
         "MANIFEST_INVALID", 400},
        {"content type with a line break", [&] { return put("app", "v2", image, "a\r\nb"); },
         "MANIFEST_INVALID", 400},
        {"content type too long",
         [&] { return put("app", "v2", image, std::string(127, 't').c_str()); }, "MANIFEST_INVALID",
         400},
        {"pushed by another digest", [&] { return put("app", missing.c_str(), image); },
         "DIGEST_INVALID", 400},
        {"tag of the wrong form", [&] { return put("app", "-v", image); }, "TAG_INVALID", 400},
        {"empty reference", [&] { return put("app", "", image); }, "TAG_INVALID", 400},
        {"repository name for put", [&] { return put("a b", "v1", image); }, "NAME_INVALID", 400},
        {"repository name for locate",
         [&] { return reg_manifest_locate("a b", "v1", type, digest, path, 4096, &size) != 0; },
         "NAME_INVALID", 400},
        {"unknown tag", [&] { return locate("v9"); }, "MANIFEST_UNKNOWN", 404},
        {"unknown digest", [&] { return locate(missing.c_str()); }, "MANIFEST_UNKNOWN", 404},
        {"body gone",
         [&] { return reg_manifest_locate("gone", "v1", type, digest, path, 4096, &size) != 0; },
         "MANIFEST_UNKNOWN", 404},
        {"tag delete of an unknown tag", [&] { return reg_tag_delete("app", "v9") != 0; },
         "MANIFEST_UNKNOWN", 404},
        {"delete of an unknown digest",
         [&] { return reg_manifest_delete("app", missing.c_str()) != 0; }, "MANIFEST_UNKNOWN", 404},
        {"corrupt tag link", [&] { return locate("bad"); }, "UNKNOWN", 500},
        {"repository delete of an unknown one", [&] { return reg_repo_delete("nope") != 0; },
         "NAME_UNKNOWN", 404},
        {"blob not stored",
         [&] { return reg_blob_get_filepath(missing.c_str(), path, sizeof path) != 0; },
         "BLOB_UNKNOWN", 404},
        {"blob delete of one not stored", [&] { return reg_blob_delete(missing.c_str()) != 0; },
         "BLOB_UNKNOWN", 404},
        {"blob of another digest",
         [&] {
             reg_blob_start_upload(id);
             reg_blob_append_chunk(id, "x", 1);
             return reg_blob_finish_upload(id, missing.c_str(), digest) != 0;
         },
         "DIGEST_INVALID", 400},
        {"blob digest of the wrong form",
         [&] {
             reg_blob_start_upload(id);
             return reg_blob_finish_upload(id, "sha256:xyz", digest) != 0;
         },
         "DIGEST_INVALID", 400},
        {"upload not known",
         [&] { return reg_blob_upload_size("00000000-0000-4000-8000-000000000000", &size) != 0; },
         "BLOB_UPLOAD_UNKNOWN", 404},
        {"upload id of the wrong form",
         [&] { return reg_blob_append_chunk("../../x", "x", 1) != 0; }, "BLOB_UPLOAD_UNKNOWN", 404},
        {"referrers of a malformed digest",
         [&] { return reg_referrers_json("app", "sha256:x", nullptr, nullptr) == nullptr; },
         "DIGEST_INVALID", 400},
        {"referrers filter too long",
         [&] {
             return reg_referrers_json("app", missing.c_str(), std::string(256, 't').c_str(),
                                       nullptr) == nullptr;
         },
         "UNSUPPORTED", 400},
        {"not initialised",
         [&] {
             reg_storage_cleanup();
             const bool failed = locate("v1");
             reg_storage_init(store().c_str());
             return failed;
         },
         "UNKNOWN", 500},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(c.fails()) << "the engine call was expected to fail";
        const std::string message = reg_storage_last_error();
        int status = 0;
        EXPECT_STREQ(oci_storage_error_code(message.c_str(), &status), c.code) << message;
        EXPECT_EQ(status, c.status) << message;
        EXPECT_STREQ(oci_storage_error_code(message.c_str(), nullptr), c.code);
    }
    reg_storage_cleanup();
}

TEST(ErrorCodes, FailuresNoClientCausesAreUnknown500)
{
    const char *messages[] = {
        "mkdirs manifests dir failed",
        "write manifest body failed",
        "write referrer link failed",
        "delete manifest tags failed: app@sha256:x",
        "rename to CAS failed: /x",
        "write error appending chunk",
        "hashing upload failed",
        "out of memory",
        "",
        nullptr,
    };
    for (const char *m : messages) {
        SCOPED_TRACE(m ? m : "(null)");
        int status = 0;
        EXPECT_STREQ(oci_storage_error_code(m, &status), "UNKNOWN");
        EXPECT_EQ(status, 500);
    }
}

TEST_F(ErrorAnswer, FailStorageAnswersTheEnginesLastFailure)
{
    EXPECT_EQ(answer([&] {
                  reg_storage_init(store().c_str());
                  reg_tag_delete("app", "v9");
                  oci_fail_storage();
              }),
              error_answer(404, "MANIFEST_UNKNOWN", "tag not found: app:v9"));
    // The message is escaped as it goes into the body.
    EXPECT_EQ(answer([&] {
                  reg_storage_init(store().c_str());
                  char digest[DIGEST_TEXT_CAP];
                  reg_manifest_put("a\"b", "v1", "{}", 2, nullptr, digest);
                  oci_fail_storage();
              }),
              error_answer(400, "NAME_INVALID", "invalid repository name: a\\\"b"));
    // No failure recorded: a server error all the same, never a success.
    EXPECT_EQ(answer([&] {
                  reg_storage_init(store().c_str());
                  oci_fail_storage();
              }),
              error_answer(500, "UNKNOWN", "storage failure"));
}

} // namespace
