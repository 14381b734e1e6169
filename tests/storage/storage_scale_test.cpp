/* A store past every size the walk and the listings once stopped at (1,024
 * repositories, 512 entries per directory): counts, catalog, paging, tag
 * list, uploads, statistics and retention must all see everything. */
#include <gtest/gtest.h>

#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "blob_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using testsupport::write_text;
using Names = std::vector<std::string>;

std::string numbered(const char *format, int i)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, format, i);
    return buf;
}

/* The strings of the array at key in a JSON document; fails the test
 * when the document is not valid JSON. */
Names json_names(const char *doc, const char *key)
{
    Names out;
    EXPECT_NE(doc, nullptr) << reg_storage_last_error();
    if (!doc) return out;
    yyjson_doc *d = yyjson_read(doc, std::strlen(doc), 0);
    EXPECT_NE(d, nullptr) << "not valid JSON";
    if (!d) return out;
    size_t i, max;
    yyjson_val *v;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(d), key), i, max, v)
        out.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
    yyjson_doc_free(d);
    return out;
}

/* Follows pages of n names (catalog, or tags of repo) to the end, checking
 * each page's size and that its last name is where the next one starts. */
Names page_through(const char *repo, int n)
{
    Names all;
    std::string last;
    for (int pages = 0;; ++pages) {
        if (pages > 100000) {
            ADD_FAILURE() << "paging does not end";
            break;
        }
        int more = -1;
        char next[kRepoNameCap];
        const char *doc =
            repo ? reg_tags_list_json_page(repo, n, last.c_str(), &more, next, sizeof next)
                 : reg_catalog_json_page(n, last.c_str(), &more, next, sizeof next);
        const Names page = json_names(doc, repo ? "tags" : "repositories");
        EXPECT_LE(page.size(), static_cast<size_t>(n));
        all.insert(all.end(), page.begin(), page.end());
        if (!more) break;
        EXPECT_EQ(page.size(), static_cast<size_t>(n)) << "only the last page is short";
        if (page.empty()) {
            ADD_FAILURE() << "an empty page claims more";
            break;
        }
        EXPECT_EQ(next, page.back());
        last = next;
    }
    return all;
}

/*
 * 2,010 repositories: 700 under one parent, 1,000 at the top (with the
 * two parents, 1,002 entries in one directory), 300 seven components
 * deep, 10 inside other repositories. One repository holds 650 tags, 100
 * others one each; 650 blobs share a fan-out directory; 620 uploads.
 * Each of the 700 holds a manifest naming a foreign layer, and the
 * deepest-sorting repository one manifest no other holds. Built once for
 * the suite by direct mkdirs and writes.
 */
class LargeStore : public ::testing::Test
{
  protected:
    static constexpr int kWide = 700, kTop = 1000, kDeep = 300, kInner = 10;
    static constexpr int kManyTags = 650, kOneTagRepos = 100;
    static constexpr int kFanBlobs = 650, kOtherBlobs = 10, kUploads = 620;
    static constexpr char kOnlyOne[] = "{\"schemaVersion\":2,\"layers\":[]}";

    static void SetUpTestSuite()
    {
        tmp_ = new testsupport::TempDir;
        root_ = tmp_->sub("store");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
        const fs::path repos = fs::path(root_) / "repositories";
        names_ = new Names;
        auto repo = [&](const std::string &name) {
            fs::create_directories(repos / name / "_manifests");
            names_->push_back(name);
        };
        auto tag = [&](const std::string &name, const std::string &t) {
            write_text(repos / name / "_manifests" / "tags" / t / "current" / "link",
                       "sha256:" + std::string(64, 'a'));
        };
        const std::string foreign =
            "{\"schemaVersion\":2,\"layers\":[{\"mediaType\":"
            "\"application/vnd.oci.image.layer.nondistributable.v1.tar\",\"digest\":\"sha256:" +
            std::string(64, 'f') + "\",\"size\":1}]}";
        for (int i = 0; i < kWide; ++i) {
            repo(numbered("wide/r%04d", i));
            write_text(repos / names_->back() / "_manifests" /
                           blobtest::digest_of(foreign).substr(7),
                       foreign);
        }
        for (int i = 0; i < kTop; ++i)
            repo(numbered("top%04d", i));
        for (int i = 0; i < kDeep; ++i)
            repo(numbered("deep/a%03d/b/c/d/e/r", i));
        write_text(repos / names_->back() / "_manifests" / blobtest::digest_of(kOnlyOne).substr(7),
                   kOnlyOne);
        for (int i = 0; i < kInner; ++i)
            repo(numbered("top%04d/inner", i));
        std::sort(names_->begin(), names_->end());

        tags_ = new Names;
        for (int i = 0; i < kManyTags; ++i) {
            tags_->push_back(numbered("t%04d", i));
            tag("wide/r0000", tags_->back());
        }
        for (int i = 0; i < kOneTagRepos; ++i)
            tag(numbered("top%04d", i), "latest");

        const fs::path blobs = fs::path(root_) / "blobs" / "sha256";
        for (int i = 0; i < kFanBlobs; ++i)
            write_text(blobs / "ab" / numbered("ab%062d", i), std::string(1 + i % 3, 'x'));
        for (int i = 0; i < kOtherBlobs; ++i)
            write_text(blobs / "cd" / numbered("cd%062d", i), "yyyy");
        for (int i = 0; i < kUploads; ++i)
            write_text(fs::path(root_) / "uploads" /
                           numbered("00000000-0000-0000-0000-%012d.part", i),
                       "uu");
        reg_storage_cleanup();
    }
    static void TearDownTestSuite()
    {
        delete names_;
        delete tags_;
        delete tmp_;
    }
    void SetUp() override
    {
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    static int repo_count() { return kWide + kTop + kDeep + kInner; }

    static inline testsupport::TempDir *tmp_ = nullptr;
    static inline std::string root_;
    static inline Names *names_ = nullptr; /* every repository, sorted */
    static inline Names *tags_ = nullptr;  /* the tags of wide/r0000, sorted */
};

TEST_F(LargeStore, CountsAreExact)
{
    ASSERT_EQ(static_cast<int>(names_->size()), repo_count());
    EXPECT_EQ(count_repos(), repo_count());
    EXPECT_EQ(count_tags(), kManyTags + kOneTagRepos);
    int blobs = 0;
    /* 650 blobs of 1, 2, 3, 1, ... bytes: 216 full rounds and 1 + 2. */
    EXPECT_EQ(count_blobs(&blobs), 216 * 6 + 3 + kOtherBlobs * 4);
    EXPECT_EQ(blobs, kFanBlobs + kOtherBlobs);
    int64_t upload_bytes = 0;
    EXPECT_EQ(count_uploads(&upload_bytes), kUploads);
    EXPECT_EQ(upload_bytes, 2 * kUploads);

    const std::string stats = reg_storage_get_stats_json();
    char want[256];
    std::snprintf(want, sizeof want,
                  "\"repositories\":%d,\"tags\":%d,\"blobs\":%d,\"blob_bytes\":%d,"
                  "\"active_uploads\":%d,\"upload_bytes\":%d}",
                  repo_count(), kManyTags + kOneTagRepos, kFanBlobs + kOtherBlobs,
                  216 * 6 + 3 + kOtherBlobs * 4, kUploads, 2 * kUploads);
    EXPECT_NE(stats.find(want), std::string::npos) << stats;
}

TEST_F(LargeStore, TheWholeCatalogListsEveryNameInOrder)
{
    int more = -1;
    EXPECT_EQ(json_names(reg_catalog_json_page(0, nullptr, &more, nullptr, 0), "repositories"),
              *names_);
    EXPECT_EQ(more, 0);
}

TEST_F(LargeStore, PagingVisitsEveryNameOnceInOrder)
{
    for (int n : {100, 333, 2009, 2010})
        EXPECT_EQ(page_through(nullptr, n), *names_) << "n=" << n;
}

TEST_F(LargeStore, TagsOfOneRepositoryWholeAndPaged)
{
    EXPECT_EQ(json_names(reg_tags_list_json("wide/r0000"), "tags"), *tags_);
    for (int n : {100, 33})
        EXPECT_EQ(page_through("wide/r0000", n), *tags_) << "n=" << n;
}

TEST_F(LargeStore, UploadsListShowsAndCountsEveryUpload)
{
    const std::string all = reg_uploads_json(0, kUploads + 1);
    const std::string last_id = numbered("00000000-0000-0000-0000-%012d", kUploads - 1);
    EXPECT_NE(all.find("{\"id\":\"" + last_id + "\",\"bytes\":2,"), std::string::npos);
    EXPECT_NE(all.find("],\"total\":620}"), std::string::npos) << all.substr(all.size() - 64);
    size_t shown = 0;
    for (size_t at = all.find("{\"id\""); at != std::string::npos; at = all.find("{\"id\"", at + 1))
        ++shown;
    EXPECT_EQ(shown, static_cast<size_t>(kUploads));

    const std::string few = reg_uploads_json(0, 50);
    EXPECT_NE(few.find("],\"total\":620}"), std::string::npos);
}

TEST_F(LargeStore, RetentionScansEveryRepositoryAndTag)
{
    int truncated = -1;
    const std::string report = reg_retention_json(1, 1000000, 0, 0, &truncated);
    char want[128];
    std::snprintf(want, sizeof want, "\"repos_scanned\":%d,\"tags_total\":%d,\"tags_deleted\":0,",
                  repo_count(), kManyTags + kOneTagRepos);
    EXPECT_NE(report.find(want), std::string::npos) << report.substr(0, 300);
    EXPECT_EQ(truncated, 0);
}

TEST_F(LargeStore, TheForeignLayerWalkVisitsEveryRepository)
{
    Names visited;
    auto note = [](void *ctx, const char *repo, const char *, const char *) {
        static_cast<Names *>(ctx)->emplace_back(repo);
        return 0;
    };
    ASSERT_EQ(reg_foreign_layers_foreach(note, &visited), 0) << reg_storage_last_error();
    ASSERT_EQ(visited.size(), static_cast<size_t>(kWide));
    for (int i = 0; i < kWide; ++i)
        EXPECT_EQ(visited[i], numbered("wide/r%04d", i));
}

/* An index may name a manifest held by any repository: the one repository
 * holding it is found among all of them. Pushed by digest, so no count of
 * the other tests changes. */
TEST_F(LargeStore, AnIndexFindsItsManifestInAnyRepository)
{
    const std::string index = "{\"schemaVersion\":2,\"mediaType\":"
                              "\"application/vnd.oci.image.index.v1+json\",\"manifests\":[{"
                              "\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                              "\"digest\":\"" +
                              blobtest::digest_of(kOnlyOne) + "\",\"size\":1}]}";
    const std::string digest = blobtest::digest_of(index);
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_manifest_put("top0001", digest.c_str(), index.data(), index.size(),
                               "application/vnd.oci.image.index.v1+json", out),
              0)
        << reg_storage_last_error();
}

} // namespace
