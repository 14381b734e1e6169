/* Blob uploads and the blob store: the life of an upload, the stored-blob
 * operations and the Part's edge cases. */
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "blob_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using blobtest::digest_of;
using testsupport::read_text;
using testsupport::write_text;

const char kEmptyDigest[] =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

using Blobs = blobtest::BlobStore;

/* ---- append and upload size --------------------------------------------- */

TEST_F(Blobs, ChunksAreAppendedInArrivalOrder)
{
    const std::string id = upload("hello ");
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "world", 5), 0) << error();
    EXPECT_EQ(read_text(upload_path(id)), "hello world");
    EXPECT_EQ(upload_bytes(id), 11);
}

TEST_F(Blobs, AppendingZeroBytesSucceedsAndChangesNothing)
{
    const std::string id = upload("abc");
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "", 0), 0) << error();
    EXPECT_EQ(upload_bytes(id), 3);
}

TEST_F(Blobs, AppendNeedsDataEvenForZeroBytes)
{
    const std::string id = upload("abc");
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), nullptr, 0), -1);
    EXPECT_EQ(error(), "upload_uuid/data is NULL");
    EXPECT_EQ(reg_blob_append_chunk(nullptr, "x", 1), -1);
    EXPECT_EQ(error(), "upload_uuid/data is NULL");
}

TEST_F(Blobs, AppendToANeverStartedUpload)
{
    const char id[] = "01234567-89ab-cdef-0123-456789abcdef";
    EXPECT_EQ(reg_blob_append_chunk(id, "x", 1), -1);
    EXPECT_EQ(error(), std::string("upload not found: ") + id);
    EXPECT_FALSE(fs::exists(upload_path(id))) << "append never creates an upload";
}

TEST_F(Blobs, AppendToADirectoryOfTheUploadsName)
{
    const char id[] = "01234567-89ab-cdef-0123-456789abcdef";
    fs::create_directory(upload_path(id));
    EXPECT_EQ(reg_blob_append_chunk(id, "x", 1), -1);
    EXPECT_EQ(error(), std::string("upload not found: ") + id);
}

TEST_F(Blobs, UploadSizeOfAMissingUpload)
{
    const char id[] = "01234567-89ab-cdef-0123-456789abcdef";
    int64_t n = 77;
    EXPECT_EQ(reg_blob_upload_size(id, &n), -1);
    EXPECT_EQ(error(), std::string("upload not found: ") + id);
    EXPECT_EQ(n, 77);
}

TEST_F(Blobs, UploadSizeNullArguments)
{
    const std::string id = upload("x");
    int64_t n;
    EXPECT_EQ(reg_blob_upload_size(nullptr, &n), -1);
    EXPECT_EQ(error(), "upload_uuid/out_bytes is NULL");
    EXPECT_EQ(reg_blob_upload_size(id.c_str(), nullptr), -1);
    EXPECT_EQ(error(), "upload_uuid/out_bytes is NULL");
}

/* ---- finish -------------------------------------------------------------- */

TEST_F(Blobs, FinishMovesTheUploadIntoTheStore)
{
    const std::string data = blobtest::pseudo_random(200000, 1);
    const std::string digest = digest_of(data);
    const std::string id = upload(data);
    char out[DIGEST_TEXT_CAP];
    std::memset(out, 'Z', sizeof out);
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << error();
    EXPECT_EQ(std::string(out), digest);
    EXPECT_FALSE(fs::exists(upload_path(id)));
    EXPECT_EQ(read_text(blob_path(digest)), data);
    EXPECT_TRUE(fs::is_directory(fan_dir(digest)));
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), 200000);
    EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(Blobs, FinishOfAnEmptyUpload)
{
    char id[37];
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    char out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_finish_upload(id, kEmptyDigest, out), 0) << error();
    EXPECT_STREQ(out, kEmptyDigest);
    EXPECT_EQ(reg_blob_get_size(kEmptyDigest), 0);
}

TEST_F(Blobs, FinishWithUpperCaseHexLeavesTheUploadOpen)
{
    const std::string id = upload("payload");
    std::string upper = digest_of("payload");
    for (size_t i = 7; i < upper.size(); ++i)
        upper[i] = static_cast<char>(std::toupper(upper[i]));
    char out[DIGEST_TEXT_CAP] = "untouched";
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), upper.c_str(), out), -1);
    EXPECT_EQ(error(), "invalid expected digest");
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(upload_bytes(id), 7);
    /* Still resumable: append more, finish with the right digest. */
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "!", 1), 0);
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest_of("payload!").c_str(), out), 0) << error();
}

TEST_F(Blobs, FinishWithAWrongDigestRemovesTheUpload)
{
    const std::string id = upload("what arrived");
    const std::string claimed = digest_of("what was meant");
    char out[DIGEST_TEXT_CAP] = "untouched";
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), claimed.c_str(), out), -1);
    EXPECT_EQ(error(),
              "digest mismatch: expected " + claimed + ", got " + digest_of("what arrived"));
    EXPECT_STREQ(out, "untouched");
    EXPECT_FALSE(fs::exists(upload_path(id)));
    EXPECT_EQ(reg_blob_exists(claimed.c_str()), 0);
    EXPECT_EQ(reg_blob_exists(digest_of("what arrived").c_str()), 0);
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
    EXPECT_EQ(error(), "upload not found: " + id);
}

TEST_F(Blobs, FinishOfAStoredBlobDropsTheUploadAndLeavesTheBlob)
{
    const std::string digest = store("same bytes");
    const std::string blob = blob_path(digest);
    ASSERT_EQ(plat_set_mtime(blob.c_str(), 1000000000), 0);
    const std::string id = upload("same bytes");
    char out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << error();
    EXPECT_EQ(std::string(out), digest);
    EXPECT_FALSE(fs::exists(upload_path(id)));
    plat_file_info info;
    ASSERT_EQ(plat_stat(blob.c_str(), &info), 0);
    /* Left in place, its time renewed: it is held for the manifest that
     * follows, as a manifest put holds it. */
    EXPECT_GT(info.mtime, 1000000000) << "the stored blob was not held";
    EXPECT_EQ(read_text(blob), "same bytes");
}

TEST_F(Blobs, FinishOfAMissingUpload)
{
    const char id[] = "01234567-89ab-cdef-0123-456789abcdef";
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload(id, digest_of("x").c_str(), out), -1);
    EXPECT_EQ(error(), std::string("upload not found: ") + id);
}

TEST_F(Blobs, FinishTwiceFindsTheUploadGone)
{
    const std::string data = "twice";
    const std::string digest = digest_of(data);
    const std::string id = upload(data);
    char out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0);
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
    EXPECT_EQ(error(), "upload not found: " + id);
    EXPECT_EQ(read_text(blob_path(digest)), data);
}

TEST_F(Blobs, FinishNullArguments)
{
    const std::string id = upload("x");
    const std::string d = digest_of("x");
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload(nullptr, d.c_str(), out), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), nullptr, out), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), d.c_str(), nullptr), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(upload_bytes(id), 1);
}

TEST_F(Blobs, BlobsOfOneFanOutDirectoryShareIt)
{
    /* Find two contents whose digests start with the same two digits. */
    std::string a, b;
    for (int i = 0; b.empty(); ++i) {
        std::string c = "content " + std::to_string(i);
        if (a.empty())
            a = c;
        else if (digest_of(c).substr(7, 2) == digest_of(a).substr(7, 2))
            b = c;
    }
    const std::string da = store(a), db = store(b);
    EXPECT_EQ(read_text(blob_path(da)), a);
    EXPECT_EQ(read_text(blob_path(db)), b);
    EXPECT_EQ(fan_dir(da), fan_dir(db));
}

/* ---- cancel -------------------------------------------------------------- */

TEST_F(Blobs, CancelRemovesTheUpload)
{
    const std::string id = upload("abc");
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(upload_path(id)));
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
    EXPECT_EQ(error(), "upload not found: " + id);
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0) << "a second cancel succeeds";
}

TEST_F(Blobs, CancelOfAWellFormedIdWithoutUpload)
{
    EXPECT_EQ(reg_blob_cancel_upload("01234567-89ab-cdef-0123-456789abcdef"), 0);
    EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(Blobs, CancelNull)
{
    EXPECT_EQ(reg_blob_cancel_upload(nullptr), -1);
    EXPECT_EQ(error(), "upload_uuid is NULL");
}

TEST_F(Blobs, CancelLeavesADirectoryOfTheUploadsNameAlone)
{
    const char id[] = "01234567-89ab-cdef-0123-456789abcdef";
    fs::create_directory(upload_path(id));
    EXPECT_EQ(reg_blob_cancel_upload(id), 0);
    EXPECT_TRUE(fs::is_directory(upload_path(id)));
}

/* ---- exists, size, file path --------------------------------------------- */

TEST_F(Blobs, ExistsOfAnAbsentBlobLeavesTheErrorSlot)
{
    reg_blob_cancel_upload(nullptr); /* puts a message in the slot */
    EXPECT_EQ(reg_blob_exists(digest_of("absent").c_str()), 0);
    EXPECT_EQ(error(), "upload_uuid is NULL");
}

TEST_F(Blobs, ExistsIsZeroForADirectoryOfTheBlobsName)
{
    const std::string d = digest_of("dir");
    fs::create_directories(blob_path(d));
    EXPECT_EQ(reg_blob_exists(d.c_str()), 0);
}

TEST_F(Blobs, SizeOfAnAbsentBlobLeavesTheErrorSlot)
{
    reg_blob_cancel_upload(nullptr);
    EXPECT_EQ(reg_blob_get_size(digest_of("absent").c_str()), -1);
    EXPECT_EQ(error(), "upload_uuid is NULL");
}

TEST_F(Blobs, FilePathNeedsRoomForThePathAndItsNul)
{
    const std::string digest = store("path test");
    const std::string path = blob_path(digest);
    std::string dst(path.size() + 1, 'Z');
    EXPECT_EQ(reg_blob_get_filepath(digest.c_str(), dst.data(), path.size()), -1);
    EXPECT_EQ(error(), "path buffer too small");
    EXPECT_EQ(reg_blob_get_filepath(digest.c_str(), dst.data(), path.size() + 1), 0) << error();
    EXPECT_EQ(std::string(dst.c_str()), path);
}

TEST_F(Blobs, FilePathOfAnAbsentBlob)
{
    const std::string d = digest_of("absent");
    char dst[4096];
    EXPECT_EQ(reg_blob_get_filepath(d.c_str(), dst, sizeof dst), -1);
    EXPECT_EQ(error(), "blob not found: " + d);
}

TEST_F(Blobs, FilePathNullArguments)
{
    const std::string d = digest_of("x");
    char dst[16];
    EXPECT_EQ(reg_blob_get_filepath(d.c_str(), nullptr, 16), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_blob_get_filepath(d.c_str(), dst, 0), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_blob_get_filepath(nullptr, dst, 16), -1);
    EXPECT_EQ(error(), "NULL argument");
}

TEST_F(Blobs, LocateGivesPathAndSizeInOneLook)
{
    const std::string digest = store("located");
    const std::string path = blob_path(digest);
    char dst[4096];
    int64_t size = -1;
    ASSERT_EQ(reg_blob_locate(digest.c_str(), dst, sizeof dst, &size), 0) << error();
    EXPECT_EQ(std::string(dst), path);
    EXPECT_EQ(size, 7);

    const std::string absent = digest_of("absent");
    EXPECT_EQ(reg_blob_locate(absent.c_str(), dst, sizeof dst, &size), -1);
    EXPECT_EQ(error(), "blob not found: " + absent);
    fs::create_directories(blob_path(absent));
    EXPECT_EQ(reg_blob_locate(absent.c_str(), dst, sizeof dst, &size), -1) << "a directory";
    EXPECT_EQ(reg_blob_locate(digest.c_str(), dst, path.size(), &size), -1);
    EXPECT_EQ(error(), "path buffer too small");
    EXPECT_EQ(reg_blob_locate(digest.c_str(), dst, sizeof dst, nullptr), -1);
    EXPECT_EQ(error(), "NULL argument");
}

/* ---- delete -------------------------------------------------------------- */

TEST_F(Blobs, DeletingTheOnlyBlobOfAFanOutDirectoryRemovesIt)
{
    const std::string d = store("only one");
    ASSERT_EQ(reg_blob_delete(d.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(blob_path(d)));
    EXPECT_FALSE(fs::exists(fan_dir(d)));
    EXPECT_TRUE(fs::is_directory(fs::path(root) / "blobs" / "sha256"));
    EXPECT_EQ(reg_blob_exists(d.c_str()), 0);
}

TEST_F(Blobs, DeletingOneOfTwoKeepsTheFanOutDirectory)
{
    const std::string d = store("first");
    /* A second file in the same fan-out directory. */
    write_text(fs::path(fan_dir(d)) / std::string(64, '0'), "other");
    ASSERT_EQ(reg_blob_delete(d.c_str()), 0) << error();
    EXPECT_TRUE(fs::is_directory(fan_dir(d)));
    EXPECT_EQ(read_text(fs::path(fan_dir(d)) / std::string(64, '0')), "other");
}

TEST_F(Blobs, DeleteOfAnAbsentBlob)
{
    const std::string d = digest_of("absent");
    EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
    EXPECT_EQ(error(), "blob not found: " + d);
}

TEST_F(Blobs, DeleteNull)
{
    EXPECT_EQ(reg_blob_delete(nullptr), -1);
    EXPECT_EQ(error(), "digest is NULL");
    EXPECT_EQ(reg_blob_exists(nullptr), -1);
    EXPECT_EQ(error(), "digest is NULL");
    reg_blob_cancel_upload(nullptr);
    EXPECT_EQ(reg_blob_get_size(nullptr), -1);
    EXPECT_EQ(error(), "digest is NULL");
}

TEST_F(Blobs, ABlobCanBeStoredAgainAfterDelete)
{
    const std::string d = store("again");
    ASSERT_EQ(reg_blob_delete(d.c_str()), 0);
    store("again");
    EXPECT_EQ(read_text(blob_path(d)), "again");
}

/* ---- the statistics see uploads and blobs -------------------------------- */

TEST_F(Blobs, StatisticsCountUploadsAndBlobs)
{
    store("12345");
    upload("abc");
    EXPECT_STREQ(reg_storage_get_stats_json(),
                 "{\"version\":\"1.9.0\",\"repositories\":0,\"tags\":0,\"blobs\":1,"
                 "\"blob_bytes\":5,\"active_uploads\":1,\"upload_bytes\":3}");
}

} // namespace
