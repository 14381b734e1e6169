/* The repository walk and the counters. */
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using storetest::walked_names;
using testsupport::write_text;
using Names = std::vector<std::string>;

using Walk = storetest::EmptyStore;

TEST_F(Walk, FindsEveryDirectoryHoldingManifests)
{
    make_repo("b");
    make_repo("a/x");
    make_repo("a");
    fs::create_directories(repos() / "plain" / "dir"); /* no _manifests */
    write_text(repos() / "file", "x");                 /* not a directory */
    write_text(repos() / "c" / "_manifests", "x");     /* _manifests not a directory */
    EXPECT_EQ(walked_names(), (Names{"a", "a/x", "b"}));
}

TEST_F(Walk, NeverSearchesBelowManifests)
{
    make_repo("x");
    fs::create_directories(repos() / "x" / "_manifests" / "y" / "_manifests");
    fs::create_directories(repos() / "_manifests" / "z" / "_manifests");
    EXPECT_EQ(walked_names(), (Names{"x"}));
}

TEST_F(Walk, FindsRepositoriesAtAnyDepth)
{
    std::string name = "l1";
    Names expected{name};
    make_repo(name);
    for (int level = 2; level <= 40; ++level) {
        name += "/l" + std::to_string(level);
        if (level % 3 == 0) {
            make_repo(name);
            expected.push_back(name);
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(walked_names(), expected);
}

TEST_F(Walk, KeepsEveryRepositoryPastTheOld1024)
{
    /* 1,100 repositories: 600 under one parent, the rest in two others. */
    for (int i = 0; i < 1100; ++i)
        make_repo("g" + std::to_string(i < 600 ? 0 : 1 + i % 2) + "/r" + std::to_string(i));
    const Names names = walked_names();
    EXPECT_EQ(names.size(), 1100u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 1100u);
    EXPECT_EQ(count_repos(), 1100);
}

TEST_F(Walk, ManifestsAmongManyEntriesStillMarkARepository)
{
    /* Wherever the platform enumerates "_manifests" among 600 entries. */
    make_repo("big");
    for (int i = 0; i < 600; ++i)
        fs::create_directories(repos() / "big" / ("d" + std::to_string(i)));
    const Names names = walked_names();
    EXPECT_TRUE(std::find(names.begin(), names.end(), "big") != names.end());
}

TEST_F(Walk, DoesNotFollowLinks)
{
    SKIP_ON_WINDOWS("the Windows C++ runtime here cannot make symbolic links");
    fs::create_directories(tmp.path() / "outside" / "repo" / "_manifests");
    fs::create_directory_symlink(tmp.path() / "outside", repos() / "linked");
    fs::create_directory_symlink(tmp.path() / "outside" / "repo", repos() / "direct");
    make_repo("real");
    EXPECT_EQ(walked_names(), (Names{"real"}));
}

TEST_F(Walk, AnUnreadableDirectoryCountsAsEmpty)
{
    SKIP_ON_WINDOWS("Windows has no POSIX permission bits to take away");
    make_repo("open");
    make_repo("shut/inner");
    fs::permissions(repos() / "shut", fs::perms::none);
    if (storetest::permissions_ignored(repos() / "shut")) {
        fs::permissions(repos() / "shut", fs::perms::owner_all);
        GTEST_SKIP() << "permissions do not apply to this user";
    }
    EXPECT_EQ(walked_names(), (Names{"open"}));
    fs::permissions(repos() / "shut", fs::perms::owner_all);
}

TEST_F(Walk, SkipsNamesLongerThan1023Bytes)
{
    SKIP_ON_WINDOWS(testsupport::kNeedsLongPaths);
    /* Four 255-byte components make a 1,023-byte name; a fifth is too long. */
    const std::string c(255, 'c');
    const std::string four = c + "/" + c + "/" + c + "/" + c;
    make_repo(four);
    make_repo(four + "/e");
    const Names names = walked_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].size(), 1023u);
}

/* Builds a repository whose path is longer than the platform allows from
 * the root, working relative to a directory near the limit. */
TEST(WalkLongRoot, SkipsRepositoriesWhosePathWouldBeCut)
{
    SKIP_ON_WINDOWS(testsupport::kNeedsLongPaths);
    testsupport::TempDir tmp;
    std::string root = tmp.str();
    while (root.size() < 3300)
        root += "/" + std::string(100, 'r');
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    const std::string c(255, 'c');
    const fs::path near = fs::path(root) / "repositories" / c;
    fs::create_directories(near / "_manifests");       /* ~3,600 bytes: found */
    fs::create_directories(near / "d" / "_manifests"); /* short: found */
    {
        testsupport::ScopedCwd cwd(near);
        fs::create_directories(fs::path(c) / c / "_manifests"); /* over 4,095: skipped */
    }
    const Names names = walked_names();
    EXPECT_EQ(names, (Names{c, c + "/d"}));
    const char *stats = reg_storage_get_stats_json();
    ASSERT_NE(stats, nullptr);
    EXPECT_NE(std::string(stats).find("\"repositories\":2,"), std::string::npos) << stats;
    {
        testsupport::ScopedCwd cwd(near); /* too long to remove from the root */
        fs::remove_all(c);
    }
    reg_storage_cleanup();
}

using Counters = storetest::EmptyStore;

TEST_F(Counters, TagsCountWhenTheirLinkCanBeRead)
{
    const std::string digest = "sha256:" + std::string(64, 'a');
    make_repo("a");
    make_repo("b/c");
    add_tag("a", "latest", digest);
    add_tag("a", "empty", "");                                              /* counts */
    add_tag("b/c", "v1", "not a digest");                                   /* counts */
    fs::create_directories(repos() / "b/c/_manifests/tags/nolink/current"); /* no link */
    write_text(repos() / "b/c/_manifests/tags/stray", "x"); /* not a tag directory */
    make_repo("notags");
    EXPECT_EQ(count_tags(), 3);
}

TEST_F(Counters, BlobsAreFilesInFanOutDirectories)
{
    add_blob("aa", "aa01", 10);
    add_blob("aa", "aa02", 0);
    add_blob("bb", "anything", 5);
    fs::create_directories(fs::path(root) / "blobs/sha256/cc/nested"); /* not a blob */
    write_text(fs::path(root) / "blobs/sha256/loose", "xxxx");         /* not in a fan-out */
    int blobs = -1;
    EXPECT_EQ(count_blobs(&blobs), 15);
    EXPECT_EQ(blobs, 3);
}

TEST_F(Counters, EveryBlobOfALargeFanOutDirectory)
{
    for (int i = 0; i < 600; ++i)
        add_blob("ab", "b" + std::to_string(i), 1 + i % 3);
    int blobs = 0;
    EXPECT_EQ(count_blobs(&blobs), 1200); /* 200 each of 1, 2 and 3 bytes */
    EXPECT_EQ(blobs, 600);
}

TEST_F(Counters, UploadsAreAnyFileInUploads)
{
    add_upload("12105cf4-1d0d-a12b-5247-bc73a8ea5f1b.part", 7);
    add_upload("junk", 3);
    fs::create_directories(fs::path(root) / "uploads" / "dir");
    int64_t bytes = -1;
    EXPECT_EQ(count_uploads(&bytes), 2);
    EXPECT_EQ(bytes, 10);
}

TEST_F(Counters, MissingDirectoriesCountZero)
{
    fs::remove_all(fs::path(root) / "blobs");
    fs::remove_all(fs::path(root) / "uploads");
    fs::remove_all(repos());
    int blobs = -1;
    int64_t bytes = -1;
    EXPECT_EQ(count_blobs(&blobs), 0);
    EXPECT_EQ(blobs, 0);
    EXPECT_EQ(count_uploads(&bytes), 0);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(count_repos(), 0);
    EXPECT_EQ(count_tags(), 0);
}

} // namespace
