/* Blob operations when the file system says no: a full device, read-only
 * directories, unreadable uploads, names taken by the wrong kind of entry.
 * Each failure gives its message, loses nothing stored, and leaves the
 * upload open where the Part says so, so that a repeated finish works. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "blob_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using blobtest::digest_of;
using testsupport::read_text;
using testsupport::write_text;

/* Takes away write permission from dir for the scope, and gives it back. */
class ReadOnlyDir
{
  public:
    explicit ReadOnlyDir(fs::path dir) : dir_(std::move(dir))
    {
        fs::permissions(dir_,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    ~ReadOnlyDir()
    {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    }
    ReadOnlyDir(const ReadOnlyDir &) = delete;
    ReadOnlyDir &operator=(const ReadOnlyDir &) = delete;
    /* Root (and other privileged users) write anyway. */
    bool binds() const { return !storetest::permissions_ignored(dir_); }

  private:
    fs::path dir_;
};

#define SKIP_UNLESS_PERMISSIONS_BIND(guard)                                                        \
    if (!(guard).binds())                                                                          \
    GTEST_SKIP() << "file permissions do not bind this process (running as root?): "               \
                    "a read-only directory is still writable"

using Faults = blobtest::BlobStore;

/* ---- a full device -------------------------------------------------------- */

#ifdef __linux__
TEST_F(Faults, AppendToAFullDeviceFails)
{
    /* /dev/full accepts the open and refuses every write with "no space";
     * stdio only notices when it flushes, at fclose. */
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string id = "01234567-89ab-cdef-0123-456789abcdef";
    fs::create_symlink("/dev/full", upload_path(id));
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
    EXPECT_EQ(error(), "write error appending chunk");
    const std::string big(1 << 20, 'b');
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), big.data(), big.size()), -1);
    EXPECT_EQ(error(), "write error appending chunk");
}
#endif

/* ---- read-only directories ------------------------------------------------ */

TEST_F(Faults, StartInAReadOnlyUploadsDirectory)
{
    ReadOnlyDir ro(fs::path(root) / "uploads");
    SKIP_UNLESS_PERMISSIONS_BIND(ro);
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_EQ(error(), "cannot create upload file: " + upload_path(id));
}

TEST_F(Faults, AppendToAReadOnlyUploadFile)
{
    const std::string id = upload("before");
    fs::permissions(upload_path(id), fs::perms::owner_read, fs::perm_options::replace);
    if (FILE *f = std::fopen(upload_path(id).c_str(), "ab")) {
        std::fclose(f);
        GTEST_SKIP() << "file permissions do not bind this process (running as root?): "
                        "a read-only file still opens for appending";
    }
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
    EXPECT_EQ(error(), "write error appending chunk");
    EXPECT_EQ(read_text(upload_path(id)), "before");
}

TEST_F(Faults, FinishWithAReadOnlyBlobStoreLeavesTheUploadOpen)
{
    const std::string data = "read-only store";
    const std::string digest = digest_of(data);
    const std::string id = upload(data);
    char out[DIGEST_TEXT_CAP];
    {
        ReadOnlyDir ro(fs::path(root) / "blobs" / "sha256");
        SKIP_UNLESS_PERMISSIONS_BIND(ro);
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
        EXPECT_EQ(error(), "mkdirs blob dir failed");
        EXPECT_EQ(read_text(upload_path(id)), data);
    }
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << error();
    EXPECT_EQ(read_text(blob_path(digest)), data);
}

TEST_F(Faults, FinishIntoAReadOnlyFanOutDirectoryLeavesTheUploadOpen)
{
    const std::string data = "read-only fan-out";
    const std::string digest = digest_of(data);
    const std::string id = upload(data);
    fs::create_directories(fan_dir(digest));
    char out[DIGEST_TEXT_CAP];
    {
        ReadOnlyDir ro(fan_dir(digest));
        SKIP_UNLESS_PERMISSIONS_BIND(ro);
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
        EXPECT_EQ(error(), "rename to CAS failed: " + blob_path(digest));
        EXPECT_EQ(read_text(upload_path(id)), data);
    }
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << error();
}

TEST_F(Faults, MismatchInAReadOnlyUploadsDirectoryStillFails)
{
    const std::string id = upload("a");
    ReadOnlyDir ro(fs::path(root) / "uploads");
    SKIP_UNLESS_PERMISSIONS_BIND(ro);
    char out[DIGEST_TEXT_CAP];
    const std::string claimed = digest_of("b");
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), claimed.c_str(), out), -1);
    EXPECT_EQ(error(), "digest mismatch: expected " + claimed + ", got " + digest_of("a"));
}

TEST_F(Faults, CancelInAReadOnlyUploadsDirectory)
{
    const std::string id = upload("keep");
    ReadOnlyDir ro(fs::path(root) / "uploads");
    SKIP_UNLESS_PERMISSIONS_BIND(ro);
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), -1);
    EXPECT_EQ(error(), "cancel failed");
    EXPECT_EQ(read_text(upload_path(id)), "keep");
}

TEST_F(Faults, DeleteFromAReadOnlyFanOutDirectory)
{
    const std::string digest = store("stays");
    ReadOnlyDir ro(fan_dir(digest));
    SKIP_UNLESS_PERMISSIONS_BIND(ro);
    EXPECT_EQ(reg_blob_delete(digest.c_str()), -1);
    EXPECT_EQ(error(), "remove failed");
    EXPECT_EQ(read_text(blob_path(digest)), "stays");
}

TEST_F(Faults, ReadsStillWorkInAReadOnlyStore)
{
    const std::string digest = store("readable");
    const std::string id = upload("open");
    ReadOnlyDir ro1(fs::path(root) / "uploads");
    ReadOnlyDir ro2(fan_dir(digest));
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), 8);
    EXPECT_EQ(upload_bytes(id), 4);
    char dst[4096];
    EXPECT_EQ(reg_blob_get_filepath(digest.c_str(), dst, sizeof dst), 0) << error();
}

/* ---- entries of the wrong kind (these bind as root too) ------------------- */

TEST_F(Faults, AFileInPlaceOfTheFanOutDirectory)
{
    const std::string data = "blocked";
    const std::string digest = digest_of(data);
    const std::string id = upload(data);
    write_text(fan_dir(digest), "not a directory");
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
    EXPECT_EQ(error(), "mkdirs blob dir failed");
    EXPECT_EQ(read_text(upload_path(id)), data);
    EXPECT_EQ(read_text(fan_dir(digest)), "not a directory");
    /* Repeatable once the obstacle is gone. */
    fs::remove(fan_dir(digest));
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << error();
    EXPECT_EQ(read_text(blob_path(digest)), data);
    EXPECT_FALSE(fs::exists(upload_path(id)));
}

TEST_F(Faults, ADirectoryInPlaceOfTheBlobFileIsNeverReplaced)
{
    const std::string data = "occupied";
    const std::string digest = digest_of(data);
    const std::string id = upload(data);
    fs::create_directories(fs::path(blob_path(digest)) / "inside");
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
    EXPECT_EQ(error(), "rename to CAS failed: " + blob_path(digest));
    EXPECT_EQ(read_text(upload_path(id)), data);
    EXPECT_TRUE(fs::is_directory(fs::path(blob_path(digest)) / "inside"));
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 0);
}

TEST_F(Faults, AnEmptyDirectoryInPlaceOfTheBlobFileIsNeverReplaced)
{
    /* A plain rename() would replace an empty directory; ours must not. */
    const std::string data = "occupied, empty";
    const std::string digest = digest_of(data);
    const std::string id = upload(data);
    fs::create_directories(blob_path(digest));
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
    EXPECT_EQ(error(), "rename to CAS failed: " + blob_path(digest));
    EXPECT_EQ(read_text(upload_path(id)), data);
}

TEST_F(Faults, HashingAnUnreadableUploadLeavesItOpen)
{
    SKIP_ON_WINDOWS("the Windows C++ runtime here cannot make symbolic links");
    /* An upload name that points at a directory: it "exists as a file" (a
     * link is not a directory), opens, and fails to read. */
    const std::string id = "01234567-89ab-cdef-0123-456789abcdef";
    fs::create_directory(tmp.path() / "elsewhere");
    fs::create_directory_symlink(tmp.path() / "elsewhere", upload_path(id));
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest_of("").c_str(), out), -1);
    EXPECT_EQ(error(), "hashing upload failed");
    EXPECT_TRUE(fs::is_symlink(upload_path(id)));
}

TEST_F(Faults, HashingADanglingUploadLeavesItOpen)
{
    SKIP_ON_WINDOWS("the Windows C++ runtime here cannot make symbolic links");
    const std::string id = "01234567-89ab-cdef-0123-456789abcdef";
    fs::create_symlink(tmp.path() / "nowhere", upload_path(id));
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest_of("").c_str(), out), -1);
    EXPECT_EQ(error(), "hashing upload failed");
    EXPECT_TRUE(fs::is_symlink(upload_path(id)));
}

TEST_F(Faults, AMissingUploadsDirectory)
{
    const std::string id = upload("gone with the directory");
    fs::remove_all(fs::path(root) / "uploads");
    int64_t n;
    EXPECT_EQ(reg_blob_upload_size(id.c_str(), &n), -1);
    EXPECT_EQ(error(), "upload not found: " + id);
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
    EXPECT_EQ(error(), "upload not found: " + id);
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
    char out[37];
    EXPECT_EQ(reg_blob_start_upload(out), -1);
    EXPECT_EQ(error(), "cannot create upload file: " + upload_path(out));
}

TEST_F(Faults, AStoredBlobOfWrongContentIsNotRewrittenByAFinish)
{
    /* Only a verified upload is ever renamed in; an existing file at the
     * address is left as it is (the finish trusts the store). */
    const std::string data = "genuine";
    const std::string digest = digest_of(data);
    write_text(blob_path(digest), "planted");
    const std::string id = upload(data);
    char out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << error();
    EXPECT_EQ(read_text(blob_path(digest)), "planted");
    EXPECT_FALSE(fs::exists(upload_path(id)));
}

} // namespace
