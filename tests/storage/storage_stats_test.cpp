/* The statistics document. */
#include <gtest/gtest.h>

#include <string>

#include "store_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using testsupport::write_text;

using Stats = storetest::EmptyStore;

TEST_F(Stats, EmptyStore)
{
    EXPECT_STREQ(reg_storage_get_stats_json(),
                 "{\"version\":\"1.9.0\",\"repositories\":0,\"tags\":0,\"blobs\":0,"
                 "\"blob_bytes\":0,\"active_uploads\":0,\"upload_bytes\":0}");
}

TEST(StatsUninitialised, Fails)
{
    reg_storage_cleanup();
    EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

/* A store with two repositories (one nested), three readable tags, three
 * blobs in two fan-out directories and two uploads, plus clutter. */
class SmallStore : public storetest::EmptyStore
{
  protected:
    void SetUp() override
    {
        EmptyStore::SetUp();
        make_repo("team/app");
        make_repo("team/app/sub");
        add_tag("team/app", "latest", "sha256:" + std::string(64, 'a'));
        add_tag("team/app", "empty", "");
        add_tag("team/app/sub", "v1", "sha256:" + std::string(64, 'b'));
        fs::create_directories(repos() / "team/app/sub/_manifests/tags/dangling/current");
        add_blob("aa", std::string(64, 'a'), 100);
        add_blob("aa", std::string(64, 'c'), 20);
        add_blob("bb", "whatever", 3);
        write_text(fs::path(root) / "blobs/sha256/loose", "1234");
        add_upload("12105cf4-1d0d-a12b-5247-bc73a8ea5f1b.part", 7);
        add_upload("stray", 5);
    }
};

TEST_F(SmallStore, CountsEveryKind)
{
    EXPECT_STREQ(reg_storage_get_stats_json(),
                 "{\"version\":\"1.9.0\",\"repositories\":2,\"tags\":3,\"blobs\":3,"
                 "\"blob_bytes\":123,\"active_uploads\":2,\"upload_bytes\":12}");
}

TEST_F(SmallStore, OneSharedWalkAgreesWithTheSeparateCounters)
{
    const std::string doc = reg_storage_get_stats_json();
    int blobs = 0;
    int64_t upload_bytes = 0;
    const int64_t blob_bytes = count_blobs(&blobs);
    const int uploads = count_uploads(&upload_bytes);
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "{\"version\":\"1.9.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
                  "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
                  count_repos(), count_tags(), blobs, static_cast<long long>(blob_bytes), uploads,
                  static_cast<long long>(upload_bytes));
    EXPECT_EQ(doc, expected);
}

TEST_F(Stats, ByteTotalsAre64Bit)
{
    const fs::path blob = fs::path(root) / "blobs/sha256/ab" / std::string(64, 'a');
    const fs::path upload = fs::path(root) / "uploads/big.part";
    write_text(blob, "");
    write_text(upload, "");
    fs::resize_file(blob, 3ull << 30); /* sparse */
    fs::resize_file(upload, 5ull << 30);
    EXPECT_STREQ(reg_storage_get_stats_json(),
                 "{\"version\":\"1.9.0\",\"repositories\":0,\"tags\":0,\"blobs\":1,"
                 "\"blob_bytes\":3221225472,\"active_uploads\":1,\"upload_bytes\":5368709120}");
}

} // namespace
