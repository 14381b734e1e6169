/* The repository catalog: document, paging and the result buffer bound. */
#include <gtest/gtest.h>

#include <yyjson.h>

#include <cstring>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

/* The names of a catalog document; fails the test when it is not valid
 * JSON of the expected shape. */
Names parse_catalog(const char *doc)
{
    Names out;
    yyjson_doc *d = yyjson_read(doc, std::strlen(doc), 0);
    EXPECT_NE(d, nullptr) << "not valid JSON";
    if (!d) return out;
    yyjson_val *arr = yyjson_obj_get(yyjson_doc_get_root(d), "repositories");
    EXPECT_TRUE(yyjson_is_arr(arr));
    size_t i, max;
    yyjson_val *v;
    yyjson_arr_foreach(arr, i, max, v) out.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
    yyjson_doc_free(d);
    return out;
}

using Catalog = storetest::EmptyStore;

TEST_F(Catalog, EmptyStoreListsNothing)
{
    int more = 7;
    char last[16] = "junk";
    const char *doc = reg_catalog_json_page(0, nullptr, &more, last, sizeof last);
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(doc, "{\"repositories\":[]}");
    EXPECT_EQ(more, 0);
    EXPECT_STREQ(last, "");
}

TEST_F(Catalog, MissingRepositoriesDirectoryIsAnEmptyList)
{
    fs::remove_all(repos());
    EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[]}");
}

TEST_F(Catalog, UnreadableRepositoriesDirectoryIsAnEmptyList)
{
    SKIP_ON_WINDOWS("Windows has no POSIX permission bits to take away");
    make_repo("a");
    fs::permissions(repos(), fs::perms::none);
    if (storetest::permissions_ignored(repos())) {
        fs::permissions(repos(), fs::perms::owner_all);
        GTEST_SKIP() << "permissions do not apply to this user";
    }
    EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[]}");
    fs::permissions(repos(), fs::perms::owner_all);
}

TEST_F(Catalog, NamesAreJsonEscaped)
{
    SKIP_ON_WINDOWS("'\"' cannot be in a Windows file name, and '\\' separates there");
    /* Made outside the engine: on POSIX a backslash is a name byte. */
    fs::create_directories(repos() / "q\"uo\\te" / "_manifests");
    const char *doc = reg_catalog_json(0, nullptr);
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(doc, "{\"repositories\":[\"q\\\"uo\\\\te\"]}");
    EXPECT_EQ(parse_catalog(doc), (Names{"q\"uo\\te"}));
}

TEST(CatalogUninitialised, FailsAfterResettingTheOutParameters)
{
    reg_storage_cleanup();
    int more = 7;
    char last[16] = "junk";
    EXPECT_EQ(reg_catalog_json_page(1, nullptr, &more, last, sizeof last), nullptr);
    EXPECT_EQ(more, 0);
    EXPECT_STREQ(last, "");
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

/* A store with repositories b, a/x and a. */
class StoreWithReposBAxA : public storetest::EmptyStore
{
  protected:
    void SetUp() override
    {
        EmptyStore::SetUp();
        make_repo("b");
        make_repo("a/x");
        make_repo("a");
    }
};

TEST_F(StoreWithReposBAxA, PagesInByteOrder)
{
    struct Case {
        int n;
        const char *last;
        const char *doc;
        int more;
        const char *out_last;
    };
    const Case cases[] = {
        {1, nullptr, "{\"repositories\":[\"a\"]}", 1, "a"},
        {1, "", "{\"repositories\":[\"a\"]}", 1, "a"},
        {1, "a", "{\"repositories\":[\"a/x\"]}", 1, "a/x"},
        {1, "aa", "{\"repositories\":[\"b\"]}", 0, "b"},
        {1, "c", "{\"repositories\":[]}", 0, ""},
        {2, nullptr, "{\"repositories\":[\"a\",\"a/x\"]}", 1, "a/x"},
        {3, nullptr, "{\"repositories\":[\"a\",\"a/x\",\"b\"]}", 0, "b"},
        {5, "a/x", "{\"repositories\":[\"b\"]}", 0, "b"},
        {0, nullptr, "{\"repositories\":[\"a\",\"a/x\",\"b\"]}", 0, "b"},
        {-1, "a", "{\"repositories\":[\"a/x\",\"b\"]}", 0, "b"},
        {0, "b", "{\"repositories\":[]}", 0, ""},
        {2147483647, "a", "{\"repositories\":[\"a/x\",\"b\"]}", 0, "b"},
    };
    for (const auto &c : cases) {
        const std::string label = std::to_string(c.n) + " after " + (c.last ? c.last : "NULL");
        int more = -1;
        char last[64] = "junk";
        const char *doc = reg_catalog_json_page(c.n, c.last, &more, last, sizeof last);
        ASSERT_NE(doc, nullptr) << label;
        EXPECT_STREQ(doc, c.doc) << label;
        EXPECT_EQ(more, c.more) << label;
        EXPECT_STREQ(last, c.out_last) << label;
        EXPECT_STREQ(reg_catalog_json(c.n, c.last), c.doc) << label;
    }
}

TEST_F(StoreWithReposBAxA, OutLastIsCutToItsBuffer)
{
    char last[3] = "zz";
    ASSERT_NE(reg_catalog_json_page(2, nullptr, nullptr, last, sizeof last), nullptr);
    EXPECT_STREQ(last, "a/");
    char untouched[4] = "zz";
    ASSERT_NE(reg_catalog_json_page(2, nullptr, nullptr, untouched, 0), nullptr);
    EXPECT_STREQ(untouched, "zz") << "a size of 0 leaves the buffer alone";
}

TEST_F(Catalog, ListsEveryNamePastTheOld1024Sorted)
{
    for (int i = 0; i < 1100; ++i)
        make_repo("g" + std::to_string(i / 550) + "/r" + std::to_string(i));
    int more = -1;
    const Names names = parse_catalog(reg_catalog_json_page(0, nullptr, &more, nullptr, 0));
    EXPECT_EQ(names.size(), 1100u);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(more, 0);
    EXPECT_EQ(names, storetest::walked_names());
}

/* Names of 255 bytes, the longest the engine accepts, all fit one page:
 * 1,024 x (255 + 2 quotes + comma) stays far below the 1 MiB buffer. */
TEST_F(Catalog, TheLongestValidNamesFitOnePage)
{
    SKIP_ON_WINDOWS(testsupport::kNeedsLongPaths);
    Names expected;
    for (int i = 0; i < 1024; ++i) {
        std::string idx = std::to_string(1000 + i);
        std::string name = "g";
        name += std::to_string(i / 512);
        name += '/';
        name.append(252 - idx.size(), 'n');
        name += idx;
        ASSERT_EQ(repo_name_valid(name.c_str()), 1);
        ASSERT_EQ(name.size(), kRepoNameMax);
        make_repo(name);
        expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    int more = -1;
    const char *doc = reg_catalog_json_page(0, nullptr, &more, nullptr, 0);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(parse_catalog(doc), expected);
    EXPECT_EQ(more, 0);
}

/* An unpaged catalog of the sorted names expected, too large for the
 * result buffer: the page ends early with more set and out_last naming its
 * last name, and paging on from there lists the rest, each name once. */
void expect_cut_then_rest(const Names &expected)
{
    int more = 0;
    char last[kRepoNameCap];
    const char *doc = reg_catalog_json_page(0, nullptr, &more, last, sizeof last);
    ASSERT_NE(doc, nullptr);
    EXPECT_LT(std::strlen(doc), kResultCap);
    Names got = parse_catalog(doc);
    ASSERT_FALSE(got.empty());
    ASSERT_LT(got.size(), expected.size());
    EXPECT_EQ(more, 1);
    EXPECT_EQ(std::string(last), got.back());

    const std::string after = last;
    const char *rest = reg_catalog_json_page(0, after.c_str(), &more, last, sizeof last);
    ASSERT_NE(rest, nullptr);
    Names tail = parse_catalog(rest);
    EXPECT_EQ(more, 0);
    got.insert(got.end(), tail.begin(), tail.end());
    EXPECT_EQ(got, expected) << "the two pages together list every name once";
}

/* The walk also yields names the engine would never create: up to 1,023
 * bytes (four 255-byte components). 1,024 of them overflow the buffer. */
TEST_F(Catalog, APageThatWouldOverflowTheBufferEndsEarly)
{
    SKIP_ON_WINDOWS(testsupport::kNeedsLongPaths);
    const std::string a(255, 'a'), b(255, 'b');
    Names expected;
    for (int i = 0; i < 1024; ++i) {
        std::string c3 = std::string(254, 'c') + std::to_string(i / 512);
        std::string idx = std::to_string(1000 + i);
        std::string name = a + "/" + b + "/" + c3 + "/" + std::string(255 - idx.size(), 'd') + idx;
        ASSERT_EQ(name.size(), kRepoNameCap - 1);
        make_repo(name);
        expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    expect_cut_then_rest(expected);
}

/* So do valid names once there are enough of them: 4,200 of 255 bytes. */
TEST_F(Catalog, ThousandsOfTheLongestValidNamesEndEarlyToo)
{
    SKIP_ON_WINDOWS(testsupport::kNeedsLongPaths);
    Names expected;
    for (int i = 0; i < 4200; ++i) {
        std::string name = "g" + std::to_string(i / 600) + "/" + std::to_string(1000 + i);
        name.append(kRepoNameMax - name.size(), 'n');
        make_repo(name);
        expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    expect_cut_then_rest(expected);
}

} // namespace
