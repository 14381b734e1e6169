/* The blob usage snapshot and journal (storage_usage.cpp): finished blobs
 * reach the figure without a walk, anything doubtful is counted again,
 * and nothing placed while a count walks is lost. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "blob_fixture.h"

namespace
{

using blobtest::BlobStore;
using testsupport::read_text;
using testsupport::write_text;
namespace fs = std::filesystem;

constexpr char kJournal[] = "journal-0123456789abcdef";

class Usage : public BlobStore
{
  protected:
    void SetUp() override
    {
        BlobStore::SetUp();
        reg_usage_keep(1);
    }
    void TearDown() override
    {
        reg_usage_keep(0);
        plat_set_fault_hook(nullptr, nullptr);
        BlobStore::TearDown();
    }

    fs::path usage() const { return fs::path(root) / "_usage"; }
    fs::path snapshot() const { return usage() / "blobs.json"; }

    /* A snapshot as a count would leave it, with its journal made. */
    void put_snapshot(int64_t counted_at, int64_t blobs, int64_t bytes,
                      const char *journal = kJournal) const
    {
        fs::create_directories(usage() / journal);
        char text[256];
        std::snprintf(text, sizeof text,
                      "{\"journal\":\"%s\",\"counted_at\":%" PRId64 ",\"blobs\":%" PRId64
                      ",\"blob_bytes\":%" PRId64 "}",
                      journal, counted_at, blobs, bytes);
        write_text(snapshot(), text);
    }
    /* A blob file laid down behind the engine's back: no journal sees it. */
    void sneak_blob(const std::string &data) const
    {
        write_text(blob_path(blobtest::digest_of(data)), data);
    }

    static reg_usage get(int64_t max_age = 60)
    {
        reg_usage u;
        EXPECT_EQ(reg_usage_get(max_age, &u), 0) << reg_storage_last_error();
        return u;
    }
};

TEST_F(Usage, FinishedBlobsAreAddedFromTheJournalWithoutAWalk)
{
    store(std::string(3, 'a'));
    store(std::string(5, 'b'));
    reg_usage u = get();
    EXPECT_EQ(u.recounted, 1);
    EXPECT_EQ(u.blob_bytes, 8);
    EXPECT_EQ(u.blobs, 2);
    EXPECT_EQ(u.journal_bytes, 0);
    EXPECT_TRUE(fs::is_regular_file(snapshot()));

    store(std::string(7, 'c'));
    store(std::string(11, 'd'), DIGEST_SHA512);
    store(std::string(7, 'c')); // stored already: no second entry
    sneak_blob(std::string(100, 'e'));
    u = get();
    EXPECT_EQ(u.recounted, 0);
    EXPECT_EQ(u.blob_bytes, 26); // the sneaked blob waits for the next count
    EXPECT_EQ(u.blobs, 4);
    EXPECT_EQ(u.journal_bytes, 18);

    // The next count takes everything in and starts an empty journal.
    u = get(0);
    EXPECT_EQ(u.recounted, 1);
    EXPECT_EQ(u.blob_bytes, 126);
    EXPECT_EQ(u.journal_bytes, 0);
    EXPECT_EQ(get().blob_bytes, 126);
}

TEST_F(Usage, AProcessThatDoesNotKeepTheFigureWritesNothingOfItsOwn)
{
    reg_usage_keep(0);
    store(std::string(9, 'a'));
    ASSERT_NE(reg_storage_get_stats_json(), nullptr); // as a health probe reads them
    EXPECT_FALSE(fs::exists(usage()));
    EXPECT_EQ(get().blob_bytes, 9); // asked for the figure: counts and saves
    store(std::string(4, 'b'));     // not journaled
    EXPECT_EQ(get().blob_bytes, 9);
    EXPECT_EQ(get(0).blob_bytes, 13);
}

TEST_F(Usage, DoubtfulSnapshotsAreCountedAgain)
{
    store(std::string(40, 'a'));
    const int64_t now = plat_time();
    const std::string bogus = R"({"journal":"journal-0123456789abcdef","counted_at":)" +
                              std::to_string(now) + R"(,"blobs":1,"blob_bytes":999})";
    struct Case {
        const char *what;
        std::string text; // "" : no snapshot file
        bool journal = true;
    };
    const Case cases[] = {
        {"missing", ""},
        {"not JSON", "{\"journal\":"},
        {"binary", std::string("\0\x01\xff", 3)},
        {"too long", R"({"journal":"journal-0123456789abcdef","pad":")" + std::string(600, 'x') +
                         R"(","counted_at":1,"blobs":1,"blob_bytes":999})"},
        {"negative bytes",
         R"({"journal":"journal-0123456789abcdef","counted_at":1,"blobs":1,"blob_bytes":-1})"},
        {"a journal name that leaves _usage",
         R"({"journal":"journal-../../blobs/x","counted_at":1,"blobs":1,"blob_bytes":999})"},
        {"its journal gone", bogus, false},
        {"stale", R"({"journal":"journal-0123456789abcdef","counted_at":)" +
                      std::to_string(now - 60) + R"(,"blobs":1,"blob_bytes":999})"},
        {"from the future", R"({"journal":"journal-0123456789abcdef","counted_at":)" +
                                std::to_string(now + 3600) + R"(,"blobs":1,"blob_bytes":999})"},
    };
    for (const Case &c : cases) {
        fs::remove_all(usage());
        if (c.journal) fs::create_directories(usage() / kJournal);
        if (!c.text.empty()) write_text(snapshot(), c.text);
        const reg_usage u = get(60);
        EXPECT_EQ(u.recounted, 1) << c.what;
        EXPECT_EQ(u.blob_bytes, 40) << c.what;
        // What the count saved is believed by the next reader.
        EXPECT_EQ(get(60).recounted, 0) << c.what;
    }
    // The same snapshot, fresh and whole, is believed as it stands.
    put_snapshot(now, 1, 999);
    const reg_usage u = get(60);
    EXPECT_EQ(u.recounted, 0);
    EXPECT_EQ(u.blob_bytes, 999);
    EXPECT_EQ(u.counted_at, now);
}

TEST_F(Usage, ABlobPlacedWhileACountWalksIsInThatCountsJournal)
{
    // A count has made its journal and walked past where the blob lands:
    // its snapshot will say 0. Meanwhile the current snapshot names another.
    const int64_t now = plat_time();
    put_snapshot(now, 0, 0, "journal-aaaaaaaaaaaaaaaa");
    fs::create_directories(usage() / kJournal);
    store(std::string(25, 'a'));
    EXPECT_EQ(get().blob_bytes, 25);
    put_snapshot(now, 0, 0, kJournal); // the walking count finishes
    EXPECT_EQ(get().blob_bytes, 25);
}

TEST_F(Usage, DeletingABlobDropsTheSnapshot)
{
    const std::string a(30, 'a'), b(12, 'b');
    store(a);
    store(b);
    EXPECT_EQ(get().blob_bytes, 42);
    ASSERT_EQ(reg_blob_delete(blobtest::digest_of(a).c_str()), 0);
    EXPECT_FALSE(fs::exists(snapshot()));
    const reg_usage u = get();
    EXPECT_EQ(u.recounted, 1);
    EXPECT_EQ(u.blob_bytes, 12);

    char moved[storage::kPathCap] = "";
    ASSERT_EQ(reg_blob_quarantine(blobtest::digest_of(b).c_str(), moved, sizeof moved), 0);
    EXPECT_EQ(get().blob_bytes, 0);
}

TEST_F(Usage, StatisticsRenewTheSnapshotAndDropTheOldJournal)
{
    put_snapshot(plat_time() - 1000, 1, 999);
    store(std::string(6, 'a'));
    ASSERT_NE(reg_storage_get_stats_json(), nullptr);
    EXPECT_FALSE(fs::exists(usage() / kJournal));
    const reg_usage u = get();
    EXPECT_EQ(u.recounted, 0);
    EXPECT_EQ(u.blob_bytes, 6);
    EXPECT_GE(u.counted_at, plat_time() - 5);
}

TEST_F(Usage, JournalsNobodyNamesAreSweptAnHourAfterTheyWereMade)
{
    // A journal's name begins with when it was made, in hex seconds.
    auto journal = [&](int64_t made) {
        char name[32];
        std::snprintf(name, sizeof name, "journal-%08" PRIx32 "abcdef01",
                      static_cast<uint32_t>(made));
        fs::create_directories(usage() / name / "ab.5"); // written into lately
        return usage() / name;
    };
    const fs::path young = journal(plat_time() - 3000), old = journal(plat_time() - 4000);
    get(0);
    EXPECT_TRUE(fs::exists(young)); // may belong to a count walking now
    EXPECT_FALSE(fs::exists(old));

    // A delete drops the snapshot's journal with it.
    store(std::string(3, 'a'));
    const std::string gone = blobtest::digest_of(std::string(3, 'a'));
    const std::string named = read_text(snapshot());
    const std::string current = named.substr(named.find("journal-"), 24);
    ASSERT_TRUE(fs::exists(usage() / current));
    ASSERT_EQ(reg_blob_delete(gone.c_str()), 0);
    EXPECT_FALSE(fs::exists(usage() / current));
}

TEST_F(Usage, AStaleSnapshotServesWhileAnotherProcessCounts)
{
    store(std::string(10, 'a'));
    put_snapshot(plat_time() - 100, 1, 4);
    write_text(usage() / "recounting", "");
    reg_usage u = get();
    EXPECT_EQ(u.recounted, 0);
    EXPECT_EQ(u.blob_bytes, 4);

    // A claim left by a process that died is taken over.
    ASSERT_EQ(plat_set_mtime((usage() / "recounting").string().c_str(), plat_time() - 3600), 0);
    u = get();
    EXPECT_EQ(u.recounted, 1);
    EXPECT_EQ(u.blob_bytes, 10);
    EXPECT_FALSE(fs::exists(usage() / "recounting"));
}

int read_only(const char *, const char *, void *)
{
    return EROFS;
}

TEST_F(Usage, AReadOnlyRootIsCountedEveryTime)
{
    store(std::string(17, 'a'));
    plat_set_fault_hook(&read_only, nullptr);
    for (int i = 0; i < 2; ++i) {
        const reg_usage u = get();
        EXPECT_EQ(u.recounted, 1);
        EXPECT_EQ(u.blob_bytes, 17);
    }
    plat_set_fault_hook(nullptr, nullptr);
    EXPECT_FALSE(fs::exists(snapshot()));
}

TEST(UsageWithoutStore, RefusesUntilInitialised)
{
    reg_usage u;
    u.blob_bytes = 5;
    EXPECT_EQ(reg_usage_get(60, &u), -1);
    EXPECT_EQ(u.blob_bytes, 0);
    EXPECT_EQ(reg_usage_get(60, nullptr), -1);
}

} // namespace
