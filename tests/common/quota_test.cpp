/* The quota check against a store with known blob and upload sizes (and
 * blobs finished since its count), and the byte amounts it words its
 * refusal with. */
#include <gtest/gtest.h>

#include <string>

#include "oci_common.h"
#include "reg_storage.h"
#include "digest_text.h"
#include "test_support.h"
#include "tv_config.h"

namespace
{

using namespace testsupport;

TEST(FmtBytes, UnitsAndRounding)
{
    struct Case {
        int64_t n;
        const char *want;
    };
    const Case cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"}, // rounds up just below the next unit
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.0 GB"},
        {INT64_MAX, "8589934592.0 GB"},
        {-5, "-5 B"},
    };
    for (const auto &c : cases) {
        char out[OCI_FMT_BYTES_CAP];
        oci_fmt_bytes(c.n, out);
        EXPECT_STREQ(out, c.want) << c.n;
    }
}

/* A store holding `blob_bytes` bytes of blobs and one open upload, run
 * from a working directory whose config.json the case writes. */
class StoreWithOpenUpload : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    char upload[40] = "";

    void SetUp() override { ASSERT_EQ(reg_storage_init(tmp.sub("store").c_str()), 0); }
    void TearDown() override
    {
        reg_storage_cleanup();
        tv_config_reload();
    }

    void quota(const std::string &value)
    {
        write_text(tmp.path() / "config.json", "{\"registry_quota_bytes\": " + value + "}");
        tv_config_reload();
    }
    /* Blob files as the store lays them out; the sizes are what counts. */
    void blobs(size_t first, size_t second)
    {
        const fs::path dir = tmp.path() / "store" / "blobs" / "sha256";
        write_text(dir / "aa" / std::string(64, 'a'), std::string(first, 'x'));
        write_text(dir / "bb" / std::string(64, 'b'), std::string(second, 'y'));
    }
    void open_upload(size_t bytes)
    {
        ASSERT_EQ(reg_blob_start_upload(upload), 0) << reg_storage_last_error();
        const std::string data(bytes, 'z');
        ASSERT_EQ(reg_blob_append_chunk(upload, data.data(), data.size()), 0)
            << reg_storage_last_error();
    }
};

TEST_F(StoreWithOpenUpload, UploadThatReachesTheQuotaExactlyPasses)
{
    quota("1000");
    blobs(200, 400);
    EXPECT_EQ(oci_quota_used_bytes(), 600);
    open_upload(400);
    char msg[64] = "stale";
    EXPECT_EQ(oci_quota_check(upload, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "");
}

TEST_F(StoreWithOpenUpload, UploadOneByteOverIsRefusedWithTheAmountsInUse)
{
    quota("1000");
    blobs(200, 400);
    open_upload(401);
    char msg[64] = "";
    EXPECT_EQ(oci_quota_check(upload, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "quota exceeded: 600 B of 1000 B used");
    // The message is cut to the buffer; without one only the answer comes.
    char small[10];
    EXPECT_EQ(oci_quota_check(upload, small, sizeof small), 0);
    EXPECT_STREQ(small, "quota exc");
    EXPECT_EQ(oci_quota_check(upload, nullptr, 0), 0);
}

TEST_F(StoreWithOpenUpload, StoreAlreadyPastTheQuotaRefusesEvenAnEmptyUpload)
{
    quota("1024");
    blobs(1536, 1536);
    open_upload(0);
    char msg[64];
    EXPECT_EQ(oci_quota_check(upload, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "quota exceeded: 3.0 KB of 1.0 KB used");
}

TEST_F(StoreWithOpenUpload, HugeAmountsDoNotOverflow)
{
    quota("9223372036854775807");
    blobs(10, 10);
    open_upload(1);
    EXPECT_EQ(oci_quota_check(upload, nullptr, 0), 1);
}

TEST_F(StoreWithOpenUpload, NoDecisionLetsTheUploadThrough)
{
    blobs(5000, 5000);
    open_upload(10);
    char msg[64] = "stale";
    // No quota configured, or settings the reader refuses (the programs
    // answer those with 500 before any upload gets this far).
    for (const char *file :
         {"", "{}", "{\"registry_quota_bytes\": \"100\"}", "{\"registry_quota_bytes\": -100}"}) {
        write_text(tmp.path() / "config.json", file);
        tv_config_reload();
        EXPECT_EQ(oci_quota_check(upload, msg, sizeof msg), 1) << file;
        EXPECT_STREQ(msg, "");
    }
    quota("100");
    EXPECT_EQ(oci_quota_check(nullptr, msg, sizeof msg), 1);
    EXPECT_EQ(oci_quota_check("not-an-upload", msg, sizeof msg), 1);
    EXPECT_EQ(oci_quota_check("00000000-0000-0000-0000-000000000000", msg, sizeof msg), 1);
    EXPECT_EQ(oci_quota_check(upload, msg, sizeof msg), 0);
}

/* The bound the README states: the check sees every blob finished since
 * the last count (the journal), so the quota is passed only by what
 * finishes between a check and its own finish; a blob placed behind the
 * journal's back is seen once the snapshot is older than the refresh. */
TEST_F(StoreWithOpenUpload, FinishedBlobsCountAtOnceAndTheRestAtTheRefresh)
{
    write_text(tmp.path() / "config.json",
               R"({"registry_quota_bytes": 1000, "registry_quota_refresh_seconds": 3600})");
    tv_config_reload();
    blobs(200, 400);
    open_upload(100);
    ASSERT_EQ(oci_quota_check(upload, nullptr, 0), 1); // counts: 600 used
    char want[DIGEST_TEXT_CAP], digest[DIGEST_TEXT_CAP];
    const std::string body(100, 'z');
    digest_bytes_text(DIGEST_SHA256, body.data(), body.size(), want);
    ASSERT_EQ(reg_blob_finish_upload(upload, want, digest), 0) << reg_storage_last_error();

    // 700 used now, from the journal: 300 more fit, 301 do not.
    struct Case {
        size_t bytes;
        int fits;
    };
    for (const Case c : {Case{300, 1}, Case{301, 0}}) {
        open_upload(c.bytes);
        char msg[64] = "";
        EXPECT_EQ(oci_quota_check(upload, msg, sizeof msg), c.fits) << c.bytes;
        EXPECT_STREQ(msg, c.fits ? "" : "quota exceeded: 700 B of 1000 B used");
        reg_blob_cancel_upload(upload);
    }

    // A blob file the journal never saw (another front-end without the
    // quota, a restore) waits for the refresh; a stale snapshot is counted.
    write_text(tmp.path() / "store" / "blobs" / "sha256" / "cc" / std::string(64, 'c'),
               std::string(250, 'c'));
    open_upload(300);
    EXPECT_EQ(oci_quota_check(upload, nullptr, 0), 1);
    write_text(tmp.path() / "config.json",
               R"({"registry_quota_bytes": 1000, "registry_quota_refresh_seconds": 0})");
    tv_config_reload();
    char msg[64] = "";
    EXPECT_EQ(oci_quota_check(upload, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "quota exceeded: 950 B of 1000 B used");
}

TEST(QuotaWithoutStorage, UsedBytesAreUnknownAndTheCheckPasses)
{
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    write_text(tmp.path() / "config.json", "{\"registry_quota_bytes\": 1}");
    tv_config_reload();
    EXPECT_EQ(oci_quota_used_bytes(), 0);
    EXPECT_EQ(oci_quota_check("0f0f0f0f-0000-4000-8000-000000000000", nullptr, 0), 1);
}

} // namespace
