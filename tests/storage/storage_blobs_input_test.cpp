/* Blob operations with bad input: malformed upload ids and digests, the
 * order of the tests, the uninitialised engine. Nothing stored is touched. */
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "blob_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using blobtest::digest_of;
using testsupport::read_text;

const std::string kGoodId = "01234567-89ab-cdef-0123-456789abcdef";

/* Upload ids that every operation taking one refuses. */
struct BadText {
    const char *label;
    std::string text;
};

std::string with(std::string s, size_t pos, char c)
{
    s[pos] = c;
    return s;
}

std::vector<BadText> bad_ids()
{
    return {
        {"empty", ""},
        {"35 characters", kGoodId.substr(0, 35)},
        {"37 characters", kGoodId + "0"},
        {"upper-case hex digit", with(kGoodId, 0, 'A')},
        {"not hex", with(kGoodId, 3, 'g')},
        {"dash missing", with(kGoodId, 8, '0')},
        {"dash moved", with(with(kGoodId, 8, '0'), 7, '-')},
        {"forward slash", with(kGoodId, 35, '/')},
        {"backslash", with(kGoodId, 35, '\\')},
        {"parent path", "../../../../../../../../../../etc/xx"},
        {"embedded NUL", with(kGoodId, 10, '\0')}, /* the C text ends at 10 */
        {"high byte", with(kGoodId, 0, '\xe9')},
        {"space", with(kGoodId, 0, ' ')},
    };
}

std::vector<BadText> bad_digests()
{
    const std::string good = digest_of("x");
    std::string upper = good;
    for (size_t i = 7; i < upper.size(); ++i)
        if (upper[i] >= 'a' && upper[i] <= 'f') upper[i] = static_cast<char>(upper[i] - 32);
    return {
        {"empty", ""},
        {"prefix only", "sha256:"},
        {"63 digits", good.substr(0, 70)},
        {"65 digits", good + "0"},
        {"upper-case hex", upper},
        {"upper-case prefix", "SHA256:" + good.substr(7)},
        {"sha512 with 64 digits", "sha512:" + good.substr(7)},
        {"sha512 with 127 digits", "sha512:" + good.substr(7) + good.substr(8)},
        {"sha512 in upper-case hex", "sha512:" + upper.substr(7) + upper.substr(7)},
        {"sha384", "sha384:" + good.substr(7) + good.substr(7, 32)},
        {"md5", "md5:" + good.substr(7, 32)},
        {"no prefix", good.substr(7)},
        {"forward slash", with(good, 40, '/')},
        {"backslash", with(good, 40, '\\')},
        {"parent path in the hex", "sha256:../../../../" + good.substr(19)},
        {"embedded NUL", with(good, 40, '\0')},
        {"short, 8 bytes", "sha256:a"},
    };
}

using BadInput = blobtest::BlobStore;

TEST_F(BadInput, UploadIdsAreRefusedByEveryOperationThatTakesOne)
{
    const std::string data = "kept";
    const std::string id = upload(data);
    const std::string digest = digest_of(data);
    for (const auto &c : bad_ids()) {
        const char *s = c.text.c_str();
        char out[DIGEST_TEXT_CAP];
        int64_t n;
        EXPECT_EQ(reg_blob_append_chunk(s, "x", 1), -1) << c.label;
        EXPECT_EQ(error(), "invalid upload uuid") << c.label;
        EXPECT_EQ(reg_blob_finish_upload(s, digest.c_str(), out), -1) << c.label;
        EXPECT_EQ(error(), "invalid upload uuid") << c.label;
        EXPECT_EQ(reg_blob_cancel_upload(s), -1) << c.label;
        EXPECT_EQ(error(), "invalid upload uuid") << c.label;
        EXPECT_EQ(reg_blob_upload_size(s, &n), -1) << c.label;
        EXPECT_EQ(error(), "invalid upload uuid") << c.label;
    }
    /* Nothing was created, removed or stored. */
    EXPECT_EQ(read_text(upload_path(id)), data);
    size_t files = 0;
    for (const auto &e : fs::recursive_directory_iterator(root))
        files += e.is_regular_file();
    EXPECT_EQ(files, 3u) << "config.json, the one upload and its saved digest";
}

TEST_F(BadInput, DigestsAreRefusedByEveryBlobOperation)
{
    const std::string stored = store("stored");
    for (const auto &c : bad_digests()) {
        const char *s = c.text.c_str();
        char dst[4096];
        EXPECT_EQ(reg_blob_exists(s), -1) << c.label;
        EXPECT_EQ(error(), "invalid digest") << c.label;
        EXPECT_EQ(reg_blob_get_size(s), -1) << c.label;
        EXPECT_EQ(error(), "invalid digest") << c.label;
        EXPECT_EQ(reg_blob_get_filepath(s, dst, sizeof dst), -1) << c.label;
        EXPECT_EQ(error(), "invalid digest") << c.label;
        int64_t size = 0;
        EXPECT_EQ(reg_blob_locate(s, dst, sizeof dst, &size), -1) << c.label;
        EXPECT_EQ(error(), "invalid digest") << c.label;
        EXPECT_EQ(reg_blob_delete(s), -1) << c.label;
        EXPECT_EQ(error(), "invalid digest") << c.label;
    }
    EXPECT_EQ(read_text(blob_path(stored)), "stored");
}

TEST_F(BadInput, ExpectedDigestsAreRefusedAndTheUploadStaysOpen)
{
    const std::string id = upload("open");
    for (const auto &c : bad_digests()) {
        char out[DIGEST_TEXT_CAP] = "untouched";
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), c.text.c_str(), out), -1) << c.label;
        EXPECT_EQ(error(), "invalid expected digest") << c.label;
        EXPECT_STREQ(out, "untouched") << c.label;
    }
    EXPECT_EQ(read_text(upload_path(id)), "open");
}

TEST_F(BadInput, UploadIdIsTestedBeforeTheDigest)
{
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload("bad", "bad", out), -1);
    EXPECT_EQ(error(), "invalid upload uuid");
}

TEST_F(BadInput, FormIsTestedBeforeTheFileSystem)
{
    /* A well-formed id with no upload gives "upload not found"; a malformed
     * one never gets that far, even when a file of its name exists. */
    testsupport::write_text(fs::path(root) / "uploads" / "ABC.part", "x");
    EXPECT_EQ(reg_blob_append_chunk("ABC", "x", 1), -1);
    EXPECT_EQ(error(), "invalid upload uuid");
    EXPECT_EQ(read_text(fs::path(root) / "uploads" / "ABC.part"), "x");
}

/* ---- order of the tests with the engine uninitialised -------------------- */

TEST_F(BadInput, PointersComeFirstThenInitialisationThenForm)
{
    reg_storage_cleanup();
    const char *nope = "not initialized - call reg_storage_init first";
    char out[DIGEST_TEXT_CAP];
    int64_t n;
    char dst[64];
    struct Case {
        const char *label;
        std::function<int()> call;
        const char *message;
    };
    const Case cases[] = {
        {"start NULL", [&] { return reg_blob_start_upload(nullptr); }, "out_upload_uuid is NULL"},
        {"append NULL", [&] { return reg_blob_append_chunk("bad", nullptr, 0); },
         "upload_uuid/data is NULL"},
        {"finish NULL", [&] { return reg_blob_finish_upload("bad", nullptr, out); },
         "NULL argument"},
        {"cancel NULL", [&] { return reg_blob_cancel_upload(nullptr); }, "upload_uuid is NULL"},
        {"size NULL", [&] { return reg_blob_upload_size("bad", nullptr); },
         "upload_uuid/out_bytes is NULL"},
        {"exists NULL", [&] { return reg_blob_exists(nullptr); }, "digest is NULL"},
        {"get_size NULL", [&] { return static_cast<int>(reg_blob_get_size(nullptr)); },
         "digest is NULL"},
        {"filepath size 0", [&] { return reg_blob_get_filepath("bad", dst, 0); }, "NULL argument"},
        {"delete NULL", [&] { return reg_blob_delete(nullptr); }, "digest is NULL"},
        {"start", [&] { return reg_blob_start_upload(out); }, nope},
        {"append bad id", [&] { return reg_blob_append_chunk("bad", "x", 1); }, nope},
        {"finish bad id", [&] { return reg_blob_finish_upload("bad", "bad", out); }, nope},
        {"cancel bad id", [&] { return reg_blob_cancel_upload("bad"); }, nope},
        {"size bad id", [&] { return reg_blob_upload_size("bad", &n); }, nope},
        {"exists bad digest", [&] { return reg_blob_exists("bad"); }, nope},
        {"get_size bad digest", [&] { return static_cast<int>(reg_blob_get_size("bad")); }, nope},
        {"filepath bad digest", [&] { return reg_blob_get_filepath("bad", dst, sizeof dst); },
         nope},
        {"delete bad digest", [&] { return reg_blob_delete("bad"); }, nope},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(), -1) << c.label;
        EXPECT_EQ(error(), c.message) << c.label;
    }
    EXPECT_TRUE(fs::is_empty(fs::path(root) / "uploads"));
}

} // namespace
