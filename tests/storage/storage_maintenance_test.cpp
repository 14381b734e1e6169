/* What the admin command asks of the engine: every blob with its size,
 * moving a blob into quarantine, the digests a repository's manifests
 * name, and following a collection through its progress documents. */
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gc_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using testsupport::read_text;
using testsupport::write_text;

class Maintenance : public gctest::GcStore
{
  protected:
    void TearDown() override
    {
        reg_gc_on_progress(nullptr, nullptr);
        gctest::GcStore::TearDown();
    }

    fs::path quarantine() const { return fs::path(root) / "_quarantine"; }

    static std::map<std::string, int64_t> all_blobs()
    {
        std::map<std::string, int64_t> out;
        EXPECT_EQ(reg_blob_foreach(
                      [](void *ctx, const char *digest, int64_t size) {
                          (*static_cast<std::map<std::string, int64_t> *>(ctx))[digest] = size;
                          return 0;
                      },
                      &out),
                  0)
            << reg_storage_last_error();
        return out;
    }

    static std::vector<std::string> digests_of(const std::string &repo, int *unread = nullptr)
    {
        std::vector<std::string> out;
        EXPECT_EQ(reg_repo_digests(
                      repo.c_str(),
                      [](void *ctx, const char *digest) {
                          static_cast<std::vector<std::string> *>(ctx)->push_back(digest);
                          return 0;
                      },
                      &out, unread),
                  0)
            << reg_storage_last_error();
        return out;
    }
};

TEST_F(Maintenance, BlobWalkSeesEveryBlobAndOnlyBlobs)
{
    const std::string a = store("alpha"), b = store("a longer blob");
    /* Not blobs: a stray file beside the fan-out directories, a name that
     * is no digest, an upload, a quarantined copy. */
    write_text(fs::path(root) / "blobs" / "sha256" / "stray", "x");
    write_text(fs::path(blob_path(a)).parent_path() / "not-a-digest", "x");
    write_text(fs::path(root) / "uploads" / "x.part", "x");
    write_text(quarantine() / std::string(64, 'a'), "x");
    const auto blobs = all_blobs();
    EXPECT_EQ(blobs, (std::map<std::string, int64_t>{{a, 5}, {b, 13}}));

    /* The visitor stops the walk. */
    int calls = 0;
    EXPECT_EQ(reg_blob_foreach([](void *ctx, const char *, int64_t) { return ++*static_cast<int *>(ctx); },
                               &calls),
              0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reg_blob_foreach(nullptr, nullptr), -1);
    reg_storage_cleanup();
    EXPECT_EQ(reg_blob_foreach([](void *, const char *, int64_t) { return 0; }, nullptr), -1);
}

TEST_F(Maintenance, QuarantineMovesNeverReplacesNorDeletes)
{
    const std::string d = store("content");
    write_text(blob_path(d), "damaged");
    char moved[4096];
    ASSERT_EQ(reg_blob_quarantine(d.c_str(), moved, sizeof moved), 0) << reg_storage_last_error();
    const fs::path first = quarantine() / d.substr(7);
    EXPECT_EQ(fs::path(moved), first);
    EXPECT_EQ(read_text(first), "damaged");
    EXPECT_FALSE(has(d));
    /* Out of the store's sight: statistics, collection. */
    EXPECT_EQ(all_blobs().size(), 0u);
    EXPECT_NE(std::string(reg_storage_get_stats_json()).find("\"blobs\":0,"), std::string::npos);

    /* The same name again: beside the first, which stays. */
    write_text(blob_path(d), "damaged again");
    ASSERT_EQ(reg_blob_quarantine(d.c_str(), moved, sizeof moved), 0);
    EXPECT_EQ(fs::path(moved), quarantine() / (d.substr(7) + ".1"));
    EXPECT_EQ(read_text(first), "damaged");
    EXPECT_EQ(read_text(moved), "damaged again");

    struct Case {
        const char *digest;
        size_t cap;
        const char *error;
    } cases[] = {
        {d.c_str(), sizeof moved, "blob not found: "},
        {"sha256:1234", sizeof moved, "invalid digest"},
        {nullptr, sizeof moved, "NULL argument"},
        {d.c_str(), 0, "NULL argument"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(reg_blob_quarantine(c.digest, moved, c.cap), -1);
        EXPECT_EQ(std::string(reg_storage_last_error()).rfind(c.error, 0), 0u)
            << reg_storage_last_error();
    }
    /* A buffer too small for the path leaves the blob where it is. */
    const std::string e = store("other");
    char tiny[8];
    EXPECT_EQ(reg_blob_quarantine(e.c_str(), tiny, sizeof tiny), -1);
    EXPECT_STREQ(reg_storage_last_error(), "path buffer too small");
}

TEST_F(Maintenance, RepositoryDigestsAreDistinctSortedAndCountUnreadBodies)
{
    const gctest::image one = push("lib/app", "1", 2, "one");
    const std::string shared = one.blobs[1];
    const std::string cfg = store("config two");
    put("lib/app", "2", manifest_json({cfg, shared}));
    push("other", "1", 1, "other");

    std::set<std::string> want(one.blobs.begin(), one.blobs.end());
    want.insert(cfg);
    int unread = -1;
    const auto got = digests_of("lib/app", &unread);
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), want);
    EXPECT_EQ(got.size(), want.size()) << "each digest once";
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_EQ(unread, 0);

    write_text(body_file("lib/app", one.manifest), "{not json");
    const auto after = digests_of("lib/app", &unread);
    EXPECT_EQ(unread, 1);
    EXPECT_EQ(after, (std::vector<std::string>{std::min(cfg, shared), std::max(cfg, shared)}));

    int calls = 0;
    EXPECT_EQ(reg_repo_digests("lib/app", [](void *ctx, const char *) { return ++*static_cast<int *>(ctx); },
                               &calls, nullptr),
              0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reg_repo_digests("no/such", [](void *, const char *) { return 0; }, nullptr, nullptr),
              -1);
    EXPECT_EQ(reg_repo_digests("Bad..", [](void *, const char *) { return 0; }, nullptr, nullptr),
              -1);
}

TEST_F(Maintenance, ProgressFollowerSeesEverySnapshotAndMayCancel)
{
    for (int i = 0; i < 600; ++i)
        store("garbage " + std::to_string(i));
    old_blobs();
    struct seen {
        std::vector<std::string> docs;
        bool cancel = false;
    } s;
    reg_gc_on_progress(
        [](void *ctx, const char *doc) {
            auto *v = static_cast<seen *>(ctx);
            v->docs.emplace_back(doc);
            /* The one engine call a follower may make. */
            if (v->cancel && v->docs.back().find("\"deleting\"") != std::string::npos)
                reg_gc_cancel();
        },
        &s);
    auto report = gc(1);
    ASSERT_GE(s.docs.size(), 3u);
    EXPECT_NE(s.docs.front().find("\"phase\":\"walking\""), std::string::npos);
    EXPECT_NE(s.docs.back().find("\"phase\":\"done\""), std::string::npos);
    /* The last document is the one the file holds. */
    EXPECT_EQ(s.docs.back(), read_text(gc_dir() / "progress.json"));
    EXPECT_EQ(report["cancelled"], 0);

    s.docs.clear();
    s.cancel = true;
    report = gc(0);
    EXPECT_EQ(report["cancelled"], 1);
    EXPECT_LT(report["blobs_deleted"], 600);
    EXPECT_EQ(static_cast<size_t>(600 - report["blobs_deleted"]), blob_files());

    /* Unset: no more calls. */
    reg_gc_on_progress(nullptr, nullptr);
    s.docs.clear();
    gc(1);
    EXPECT_TRUE(s.docs.empty());
}

} // namespace
