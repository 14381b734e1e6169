/* The tag list of one repository: document, paging, every tag seen. */
#include <gtest/gtest.h>

#include <string>

#include "manifest_fixture.h"

namespace
{

using namespace storage;
using namespace manifesttest;
namespace fs = std::filesystem;
using testsupport::write_text;

/* A repository team/app whose tags 1.0, 1.1 and 2.0 name one pushed image. */
class TagList : public ManifestStore
{
  protected:
    void SetUp() override
    {
        ManifestStore::SetUp();
        digest = push_image("team/app", "1.0", "one");
        for (const char *tag : {"1.1", "2.0"})
            write_text(tag_link("team/app", tag), digest);
    }
    std::string digest;
};

TEST_F(TagList, Pages)
{
    const struct {
        const char *label;
        int n;
        const char *last;
        const char *doc;
        int more;
        const char *out_last;
    } cases[] = {
        {"all", 0, nullptr, "{\"name\":\"team/app\",\"tags\":[\"1.0\",\"1.1\",\"2.0\"]}", 0, "2.0"},
        {"first page", 2, nullptr, "{\"name\":\"team/app\",\"tags\":[\"1.0\",\"1.1\"]}", 1, "1.1"},
        {"next page", 2, "1.1", "{\"name\":\"team/app\",\"tags\":[\"2.0\"]}", 0, "2.0"},
        {"last names no tag", 0, "1.05", "{\"name\":\"team/app\",\"tags\":[\"1.1\",\"2.0\"]}", 0,
         "2.0"},
        {"negative n with last", -1, "1.0", "{\"name\":\"team/app\",\"tags\":[\"1.1\",\"2.0\"]}", 0,
         "2.0"},
        {"after every tag", 5, "9", "{\"name\":\"team/app\",\"tags\":[]}", 0, ""},
        {"empty last starts at the first", 1, "", "{\"name\":\"team/app\",\"tags\":[\"1.0\"]}", 1,
         "1.0"},
    };
    for (const auto &c : cases) {
        int more = 7;
        char last[16] = "junk";
        const char *doc =
            reg_tags_list_json_page("team/app", c.n, c.last, &more, last, sizeof last);
        ASSERT_NE(doc, nullptr) << c.label << ": " << error();
        EXPECT_STREQ(doc, c.doc) << c.label;
        EXPECT_EQ(more, c.more) << c.label;
        EXPECT_STREQ(last, c.out_last) << c.label;
    }
    char small[3];
    reg_tags_list_json_page("team/app", 1, "1.0", nullptr, small, sizeof small);
    EXPECT_STREQ(small, "1.") << "cut to the buffer";
    EXPECT_STREQ(reg_tags_list_json("team/app"),
                 "{\"name\":\"team/app\",\"tags\":[\"1.0\",\"1.1\",\"2.0\"]}");
}

TEST_F(TagList, CountsTagsWhoseLinkCanBeRead)
{
    write_text(tag_link("team/app", "empty"), "");
    fs::create_directories(tag_link("team/app", "nolink").parent_path());
    write_text(manifests("team/app") / "tags" / "plainfile", "x");
    write_text(tag_link("team/app", "Z"), digest);
    write_text(tag_link("team/app", "10"), digest);
    EXPECT_STREQ(
        reg_tags_list_json("team/app"),
        "{\"name\":\"team/app\",\"tags\":[\"1.0\",\"1.1\",\"10\",\"2.0\",\"Z\",\"empty\"]}")
        << "byte order; empty link listed, missing link and plain file not";
}

TEST_F(TagList, SeesEveryTagOfALargeRepository)
{
    for (int i = 0; i < 1200; ++i)
        write_text(tag_link("big", "t" + std::to_string(10000 + i)), digest);
    std::string expected = "{\"name\":\"big\",\"tags\":[";
    for (int i = 0; i < 1200; ++i)
        expected += (i ? ",\"t" : "\"t") + std::to_string(10000 + i) + "\"";
    EXPECT_EQ(reg_tags_list_json("big"), expected + "]}");

    int more = 0;
    char last[16];
    EXPECT_STREQ(reg_tags_list_json_page("big", 1, "t11198", &more, last, sizeof last),
                 "{\"name\":\"big\",\"tags\":[\"t11199\"]}");
    EXPECT_EQ(more, 0);
}

TEST_F(TagList, NamesAreEscapedAndUnknownRepositoriesListEmpty)
{
    EXPECT_STREQ(reg_tags_list_json("team\\app"),
                 "{\"name\":\"team\\\\app\",\"tags\":[\"1.0\",\"1.1\",\"2.0\"]}")
        << "a backslash separates directories and is doubled in the document";
    EXPECT_STREQ(reg_tags_list_json("team/none"), "{\"name\":\"team/none\",\"tags\":[]}");
}

TEST_F(TagList, Refusals)
{
    const struct {
        const char *repo;
        const char *message;
    } cases[] = {
        {nullptr, "repo_name is NULL"},     {"", "invalid repository name"},
        {"a b", "invalid repository name"}, {"..", "invalid repository name"},
        {".", "invalid repository name"},
    };
    for (const auto &c : cases) {
        int more = 7;
        char last[8] = "junk";
        EXPECT_EQ(reg_tags_list_json_page(c.repo, 0, nullptr, &more, last, sizeof last), nullptr);
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(more, 0) << "set before any check";
        EXPECT_STREQ(last, "");
    }
    reg_storage_cleanup();
    EXPECT_EQ(reg_tags_list_json("team/app"), nullptr);
    EXPECT_EQ(error(), kNotInitialized);
}

} // namespace
