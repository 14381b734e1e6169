/* Tag retention: ranking, the count and age rules, "latest", the report. */
#include <gtest/gtest.h>

#include <yyjson.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "manifest_fixture.h"

namespace
{

using namespace storage;
using namespace manifesttest;
namespace fs = std::filesystem;
using testsupport::write_text;

constexpr int64_t kDay = 86400;

/* A parsed report: the counts and the "deleted" entries as repo:tag. */
struct report {
    bool parsed = false;
    std::string head; /* the text before "deleted" */
    std::vector<std::string> deleted;
    std::vector<int64_t> ages;
};

report parse(const char *doc)
{
    report r;
    if (!doc) return r;
    r.head = std::string(doc).substr(0, std::string(doc).find(",\"deleted\""));
    yyjson_doc *d = yyjson_read(doc, std::strlen(doc), 0);
    yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(d), "deleted");
    if (d && yyjson_is_arr(list)) {
        r.parsed = true;
        size_t i, max;
        yyjson_val *e;
        yyjson_arr_foreach(list, i, max, e)
        {
            r.deleted.push_back(std::string(yyjson_get_str(yyjson_obj_get(e, "repository"))) + ":" +
                                yyjson_get_str(yyjson_obj_get(e, "tag")));
            r.ages.push_back(yyjson_get_sint(yyjson_obj_get(e, "age_days")));
        }
    }
    yyjson_doc_free(d);
    return r;
}

std::string head(int dry, int keep, int days, int latest, int repos, int total, int deleted,
                 int spared)
{
    auto b = [](int v) { return v ? "true" : "false"; };
    return "{\"dry_run\":" + std::string(b(dry)) + ",\"keep_n\":" + std::to_string(keep) +
           ",\"days\":" + std::to_string(days) + ",\"include_latest\":" + b(latest) +
           ",\"repos_scanned\":" + std::to_string(repos) +
           ",\"tags_total\":" + std::to_string(total) +
           ",\"tags_deleted\":" + std::to_string(deleted) +
           ",\"tags_kept\":" + std::to_string(total - deleted) +
           ",\"latest_protected\":" + std::to_string(spared);
}

/* A store with app's tags new (today), mid (10 days), old (40 days) and
 * latest (50 days), each naming its own image, and lib's tag v1 (31 days)
 * naming an image shared with lib's tag v2 (today). */
class Retention : public ManifestStore
{
  protected:
    void SetUp() override
    {
        ManifestStore::SetUp();
        for (const auto &[tag, days] :
             {std::pair{"new", 0}, {"mid", 10}, {"old", 40}, {"latest", 50}})
            digests[tag] = tag_at("app", tag, days);
        shared = tag_at("lib", "v1", 31);
        ASSERT_EQ(put("lib", "v2", read_body("lib", shared)), shared);
        age("lib", "v2", 0);
    }
    std::string read_body(const std::string &repo, const std::string &digest) const
    {
        return testsupport::read_text(body_file(repo, digest));
    }
    void age(const std::string &repo, const std::string &tag, int64_t days) const
    {
        const int64_t t = plat_time() - days * kDay - 60;
        ASSERT_EQ(plat_set_mtime(tag_link(repo, tag).string().c_str(), t), 0);
    }
    std::string tag_at(const std::string &repo, const std::string &tag, int64_t days)
    {
        std::string d = push_image(repo, tag, repo + tag);
        age(repo, tag, days);
        return d;
    }
    static report run(int dry, int keep, int days, int latest, int *truncated = nullptr)
    {
        return parse(reg_retention_json(dry, keep, days, latest, truncated));
    }
    std::map<std::string, std::string> digests;
    std::string shared;
};

TEST_F(Retention, SelectionRules)
{
    const struct {
        const char *label;
        int keep, days, latest;
        std::vector<std::string> deleted;
        int spared;
        int keep_shown, days_shown;
    } cases[] = {
        {"keep 2: beyond the newest two", 2, 0, 0, {"app:old"}, 1, 2, 0},
        {"keep 2 with latest", 2, 0, 1, {"app:old", "app:latest"}, 0, 2, 0},
        {"30 days: every old link, newest included", 0, 30, 0, {"app:old", "lib:v1"}, 1, 0, 30},
        {"keep 3 and 30 days: old among the newest three",
         3,
         30,
         1,
         {"app:old", "app:latest", "lib:v1"},
         0,
         3,
         30},
        {"keep 1 and 5 days", 1, 5, 0, {"app:mid", "app:old", "lib:v1"}, 1, 1, 5},
        {"negative values are 0: nothing", -5, -1, 1, {}, 0, 0, 0},
    };
    for (const auto &c : cases) {
        int truncated = 7;
        report r = run(1, c.keep, c.days, c.latest, &truncated);
        ASSERT_TRUE(r.parsed) << c.label;
        EXPECT_EQ(r.deleted, c.deleted) << c.label;
        EXPECT_EQ(r.head, head(1, c.keep_shown, c.days_shown, c.latest, 2, 6,
                               static_cast<int>(c.deleted.size()), c.spared))
            << c.label;
        EXPECT_EQ(truncated, 0);
    }
    EXPECT_TRUE(fs::exists(tag_link("app", "old"))) << "dry runs delete nothing";
}

TEST_F(Retention, EqualTimesRankByName)
{
    const int64_t t = plat_time() - 100;
    for (const char *tag : {"mid", "new"})
        ASSERT_EQ(plat_set_mtime(tag_link("app", tag).string().c_str(), t), 0);
    EXPECT_EQ(run(1, 1, 0, 1).deleted,
              (std::vector<std::string>{"app:new", "app:old", "app:latest", "lib:v1"}))
        << "mid ranks before new";
}

TEST_F(Retention, RealRunDeletesTagsAndTheManifestsLeftUntagged)
{
    write_text(tag_link("lib", "bad tag"), shared); /* not of the tag grammar */
    age("lib", "bad tag", 100);
    report r = run(0, 0, 30, 0);
    EXPECT_EQ(r.deleted, (std::vector<std::string>{"app:old", "lib:v1", "lib:bad tag"}));
    EXPECT_EQ(r.head, head(0, 0, 30, 0, 2, 7, 2, 1)) << "the failed delete is not counted";
    EXPECT_EQ(r.ages, (std::vector<int64_t>{40, 31, 100}));
    EXPECT_EQ(reg_storage_last_error(), std::string()) << "a run clears the error slot";

    EXPECT_FALSE(fs::exists(tag_link("app", "old")));
    EXPECT_FALSE(fs::exists(body_file("app", digests["old"]))) << "its last tag went";
    EXPECT_TRUE(fs::exists(tag_link("app", "latest")));
    EXPECT_FALSE(fs::exists(tag_link("lib", "v1")));
    EXPECT_TRUE(fs::exists(body_file("lib", shared))) << "v2 still names it";

    r = run(0, 0, 30, 0);
    EXPECT_EQ(r.head, head(0, 0, 30, 0, 2, 5, 0, 1));
}

TEST_F(Retention, PruningBothTagsOfAManifestRemovesIt)
{
    age("lib", "v2", 40);
    run(0, 0, 30, 0);
    EXPECT_FALSE(fs::exists(body_file("lib", shared)));
    EXPECT_FALSE(fs::exists(type_file("lib", shared)));
}

TEST_F(Retention, LinksNotBeginningWithTheDigestPrefixAreNotTags)
{
    write_text(tag_link("app", "junk"), "hello");
    age("app", "junk", 100);
    write_text(tag_link("app", "quote"), "sha256:\"}],\"x\":\"\\");
    age("app", "quote", 100);
    const char *doc = reg_retention_json(1, 0, 30, 0, nullptr);
    report r = parse(doc);
    ASSERT_TRUE(r.parsed) << "a damaged digest is escaped: " << doc;
    EXPECT_EQ(r.deleted, (std::vector<std::string>{"app:old", "app:quote", "lib:v1"}));
    EXPECT_NE(std::string(doc).find("\"digest\":\"sha256:\\\"}],\\\"x\\\":\\\"\\\\\""),
              std::string::npos);
}

TEST_F(Retention, FutureLinksHaveNegativeOrZeroAge)
{
    ASSERT_EQ(plat_set_mtime(tag_link("app", "new").string().c_str(), plat_time() + 3 * kDay), 0);
    report r = run(1, 0, 0, 0);
    EXPECT_TRUE(r.deleted.empty());
    r = run(1, 1, 0, 1);
    ASSERT_FALSE(r.deleted.empty());
    EXPECT_EQ(r.deleted[0], "app:mid") << "the future link ranks newest";
}

/* More tags than the old bounds (512 per listing, 4,096 per run), and more
 * selections than a report lists. */
TEST_F(Retention, SeesEveryTagAndCutsTheReportAt500)
{
    const std::string digest = digests["new"];
    for (int r = 0; r < 9; ++r)
        for (int i = 0; i < 520; ++i)
            write_text(tag_link("many" + std::to_string(r), "t" + std::to_string(i)), digest);
    int truncated = 0;
    report rep = run(1, 1, 0, 1, &truncated);
    ASSERT_TRUE(rep.parsed);
    EXPECT_EQ(rep.head, head(1, 1, 0, 1, 11, 6 + 9 * 520, 3 + 1 + 9 * 519, 0));
    EXPECT_EQ(rep.deleted.size(), 500u);
    EXPECT_EQ(truncated, 1);

    truncated = 7;
    run(1, 0, 0, 1, &truncated);
    EXPECT_EQ(truncated, 0);
}

TEST(RetentionEmpty, NoRepositoriesAndNotInitialised)
{
    testsupport::TempDir tmp;
    ASSERT_EQ(reg_storage_init(tmp.sub("s").c_str()), 0);
    int truncated = 7;
    EXPECT_STREQ(reg_retention_json(0, 3, 7, 0, &truncated),
                 "{\"dry_run\":false,\"keep_n\":3,\"days\":7,\"include_latest\":false,"
                 "\"repos_scanned\":0,\"tags_total\":0,\"tags_deleted\":0,\"tags_kept\":0,"
                 "\"latest_protected\":0,\"deleted\":[]}");
    EXPECT_EQ(truncated, 0);
    reg_storage_cleanup();
    truncated = 7;
    EXPECT_EQ(reg_retention_json(1, 0, 0, 0, &truncated), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotInitialized);
    EXPECT_EQ(truncated, 0);
}

} // namespace
