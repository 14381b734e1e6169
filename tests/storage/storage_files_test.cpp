/* File and directory utilities: write/read, mkdirs, list_dir_full, delete_tree. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "store_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using testsupport::read_text;
using testsupport::TempDir;
using testsupport::write_text;

TEST(Files, WriteThenReadKeepsBytesUnchanged)
{
    TempDir tmp;
    const std::string path = tmp.sub("f.bin");
    const std::string data("a\r\nb\0c\n", 7);
    ASSERT_EQ(write_file(path.c_str(), data.data(), data.size()), 0);
    EXPECT_EQ(read_text(path), data);

    char buf[32];
    size_t len = 99;
    ASSERT_EQ(read_file(path.c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(std::string(buf, len), data);
    EXPECT_EQ(buf[7], '\0');

    ASSERT_EQ(write_file(path.c_str(), "", 0), 0) << "length 0 truncates";
    EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(Files, ReadFileCutsAtSizeMinusOne)
{
    TempDir tmp;
    write_text(tmp.path() / "f", "0123456789");
    char buf[5];
    size_t len = 0;
    ASSERT_EQ(read_file(tmp.sub("f").c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 4u);
    EXPECT_STREQ(buf, "0123");
}

TEST(Files, FailuresLeaveTheLengthAlone)
{
    TempDir tmp;
    char buf[16];
    size_t len = 42;
    EXPECT_EQ(read_file(tmp.sub("missing").c_str(), buf, sizeof buf, &len), -1);
    EXPECT_EQ(read_file(tmp.str().c_str(), buf, sizeof buf, &len), -1) << "a directory";
    EXPECT_EQ(len, 42u);
    EXPECT_EQ(write_file(tmp.sub("no/such/dir/f").c_str(), "x", 1), -1);
    EXPECT_EQ(write_file(tmp.str().c_str(), "x", 1), -1) << "a directory";
}

TEST(Files, ReadFileAllocReturnsAWholeTerminatedCopy)
{
    TempDir tmp;
    write_text(tmp.path() / "f", std::string("ab\0cd", 5));
    size_t len = 0;
    char *p = read_file_alloc(tmp.sub("f").c_str(), &len);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(std::string(p, len), std::string("ab\0cd", 5));
    EXPECT_EQ(p[5], '\0');
    std::free(p);

    write_text(tmp.path() / "empty", "");
    p = read_file_alloc(tmp.sub("empty").c_str(), &len);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(len, 0u);
    std::free(p);

    EXPECT_EQ(read_file_alloc(tmp.sub("missing").c_str(), &len), nullptr);
    EXPECT_EQ(read_file_alloc(tmp.str().c_str(), &len), nullptr) << "a directory";
}

TEST(Files, ReadFileAllocRefusesMoreThan64MiB)
{
    TempDir tmp;
    const fs::path big = tmp.path() / "big";
    write_text(big, "");
    fs::resize_file(big, static_cast<uintmax_t>(kReadAllocMax) + 1); /* sparse */
    size_t len = 0;
    EXPECT_EQ(read_file_alloc(big.string().c_str(), &len), nullptr);

    fs::resize_file(big, static_cast<uintmax_t>(kReadAllocMax));
    char *p = read_file_alloc(big.string().c_str(), &len);
    ASSERT_NE(p, nullptr) << "exactly 64 MiB is allowed";
    EXPECT_EQ(len, static_cast<size_t>(kReadAllocMax));
    std::free(p);
}

TEST(Mkdirs, CreatesOnlyWhereADirectoryCanStand)
{
    TempDir tmp;
    write_text(tmp.path() / "file", "x");
    fs::create_directories(tmp.path() / "existing" / "dir");
    struct Case {
        const char *label;
        std::string path;
        int expected;
    };
    const Case cases[] = {
        {"new nested", tmp.sub("a/b/c"), 0},
        {"existing", tmp.sub("existing/dir"), 0},
        {"trailing separator", tmp.sub("t/u") + PLAT_SEP_STR, 0},
        {"doubled separator", tmp.sub("d") + PLAT_SEP_STR + PLAT_SEP_STR + "e", 0},
        {"regular file of that name", tmp.sub("file"), -1},
        {"regular file as a parent", tmp.sub("file/sub"), -1},
        {"empty", "", -1},
        {"4096 bytes", tmp.sub(std::string(4096 - tmp.str().size() - 1, 'l')), -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(mkdirs(c.path.c_str()), c.expected) << c.label;
        if (c.expected == 0) {
            EXPECT_TRUE(fs::is_directory(c.path)) << c.label;
        }
    }
    EXPECT_EQ(mkdirs(nullptr), -1);
}

TEST(Mkdirs, AcceptsALinkToADirectory)
{
    SKIP_ON_WINDOWS("the Windows C++ runtime here cannot make symbolic links");
    TempDir tmp;
    fs::create_directories(tmp.path() / "real");
    fs::create_directory_symlink(tmp.path() / "real", tmp.path() / "link");
    EXPECT_EQ(mkdirs(tmp.sub("link").c_str()), 0);
    EXPECT_EQ(mkdirs(tmp.sub("link/new").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(tmp.path() / "real" / "new"));
}

TEST(Mkdirs, FailsUnderAnUnwritableParent)
{
    SKIP_ON_WINDOWS("Windows has no POSIX permission bits to take away");
    TempDir tmp;
    fs::create_directories(tmp.path() / "locked");
    fs::permissions(tmp.path() / "locked", fs::perms::none);
    if (storetest::permissions_ignored(tmp.path() / "locked")) {
        fs::permissions(tmp.path() / "locked", fs::perms::owner_all);
        GTEST_SKIP() << "permissions do not apply to this user";
    }
    EXPECT_EQ(mkdirs(tmp.sub("locked/sub").c_str()), -1);
    fs::permissions(tmp.path() / "locked", fs::perms::owner_all);
}

TEST(ListDir, ReportsTypesAndLeavesOutDotEntries)
{
    TempDir tmp;
    write_text(tmp.path() / "file", "x");
    write_text(tmp.path() / ".hidden", "x");
    fs::create_directories(tmp.path() / "dir");
#ifndef _WIN32
    fs::create_directory_symlink(tmp.path() / "dir", tmp.path() / "link");
#endif
    dir_listing_full listing;
    ASSERT_EQ(list_dir_full(tmp.str().c_str(), &listing), 0);
    std::set<std::pair<std::string, int>> got;
    for (int i = 0; i < listing.count(); ++i)
        got.emplace(listing.name(i), listing.is_dir(i));
    std::set<std::pair<std::string, int>> expected = {{"file", 0}, {".hidden", 0}, {"dir", 1}};
#ifndef _WIN32
    expected.emplace("link", 0); /* a link is never walked into */
#endif
    EXPECT_EQ(got, expected);

    fs::create_directories(tmp.path() / "empty");
    EXPECT_EQ(list_dir_full(tmp.sub("empty").c_str(), &listing), 0);
    EXPECT_EQ(listing.count(), 0);
}

TEST(ListDir, FailsForWhatIsNotADirectory)
{
    TempDir tmp;
    write_text(tmp.path() / "file", "x");
    dir_listing_full listing;
    ASSERT_EQ(list_dir_full(tmp.str().c_str(), &listing), 0);
    ASSERT_EQ(listing.count(), 1);
    EXPECT_EQ(list_dir_full(tmp.sub("file").c_str(), &listing), -1);
    EXPECT_EQ(listing.count(), 0);
    EXPECT_EQ(list_dir_full(tmp.sub("missing").c_str(), &listing), -1);
}

TEST(ListDir, SeesEveryEntryWithItsType)
{
    TempDir tmp;
    std::set<std::pair<std::string, int>> expected;
    for (int i = 0; i < 1500; ++i) {
        const std::string name = "t" + std::to_string(i) + std::string(i % 7 * 30, 'x');
        if (i % 3 == 0) {
            fs::create_directories(tmp.path() / name);
            expected.emplace(name, 1);
        } else {
            write_text(tmp.path() / name, "");
            expected.emplace(name, 0);
        }
    }
    dir_listing_full listing;
    ASSERT_EQ(list_dir_full(tmp.str().c_str(), &listing), 0);
    std::set<std::pair<std::string, int>> got;
    for (int i = 0; i < listing.count(); ++i)
        got.emplace(listing.name(i), listing.is_dir(i));
    EXPECT_EQ(listing.count(), 1500);
    EXPECT_EQ(got, expected);

    /* Reused for a second directory: nothing of the first remains. */
    fs::create_directories(tmp.path() / "t0" / "inner");
    ASSERT_EQ(list_dir_full(tmp.sub("t0").c_str(), &listing), 0);
    ASSERT_EQ(listing.count(), 1);
    EXPECT_STREQ(listing.name(0), "inner");
    EXPECT_EQ(list_dir_full(tmp.sub("t1").c_str(), &listing), -1) << "a file";
    EXPECT_EQ(listing.count(), 0);
}

TEST(WriteFileAtomic, ReplacesWholeAndLeavesNoTemporary)
{
    TempDir tmp;
    const std::string path = tmp.sub("link");
    ASSERT_EQ(write_file_atomic(path.c_str(), "old", 3), 0);
    ASSERT_EQ(write_file_atomic(path.c_str(), "newer", 5), 0);
    EXPECT_EQ(read_text(path), "newer");
    ASSERT_EQ(write_file_atomic(path.c_str(), "", 0), 0);
    EXPECT_EQ(read_text(path), "");
    int entries = 0;
    for (const auto &e : fs::directory_iterator(tmp.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "temporaries are renamed or removed";

    /* Into a missing directory: nothing is written, nothing is left. */
    EXPECT_EQ(write_file_atomic(tmp.sub("missing/link").c_str(), "x", 1), -1);
    /* Over a directory: the rename fails, the temporary goes. */
    fs::create_directories(tmp.path() / "d" / "link");
    EXPECT_EQ(write_file_atomic(tmp.sub("d/link").c_str(), "x", 1), -1);
    EXPECT_TRUE(fs::is_directory(tmp.path() / "d" / "link"));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path() / "d"), fs::directory_iterator()), 1);
}

TEST(Links, ReadAtMostTheLongestDigestAndMatchTheirDigest)
{
    TempDir tmp;
    const std::string hex(64, 'a');
    const std::string digest = "sha256:" + hex;
    write_text(tmp.path() / "long", digest + std::string(100, 'z'));
    char text[kTagLinkCap];
    ASSERT_EQ(read_link(tmp.sub("long").c_str(), text), 0);
    EXPECT_EQ(std::strlen(text), kTagLinkCap - 1);
    EXPECT_EQ(link_names_digest(text, digest.c_str()), 1)
        << "what follows the digits is not looked at";
    /* A sha512 link comes back whole. */
    const std::string digest512 = "sha512:" + std::string(128, 'b');
    write_text(tmp.path() / "link512", digest512);
    ASSERT_EQ(read_link(tmp.sub("link512").c_str(), text), 0);
    EXPECT_EQ(std::string(text), digest512);
    EXPECT_EQ(read_link(tmp.sub("missing").c_str(), text), -1);

    const struct {
        const char *label;
        std::string text;
        int expected;
    } cases[] = {
        {"exact", "sha256:" + hex, 1},
        {"other digits", "sha256:" + std::string(64, 'b'), 0},
        {"63 digits", "sha256:" + hex.substr(1), 0},
        {"prefix in upper case", "SHA256:" + hex, 0},
        {"same digits, other algorithm", "sha512:" + hex, 0},
        {"empty", "", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(link_names_digest(c.text.c_str(), digest.c_str()), c.expected) << c.label;
}

TEST(DeleteTree, RemovesEverythingBelowAndItself)
{
    TempDir tmp;
    write_text(tmp.path() / "t" / "a" / "b" / "f", "x");
    write_text(tmp.path() / "t" / "g", "y");
    fs::create_directories(tmp.path() / "t" / "empty");
    EXPECT_EQ(delete_tree(tmp.sub("t").c_str()), 0);
    EXPECT_FALSE(fs::exists(tmp.path() / "t"));
    EXPECT_EQ(delete_tree(tmp.sub("t").c_str()), -1) << "nothing left to remove";
}

TEST(DeleteTree, RemovesALinkWithoutEnteringIt)
{
    SKIP_ON_WINDOWS("the Windows C++ runtime here cannot make symbolic links");
    TempDir tmp;
    write_text(tmp.path() / "outside" / "keep", "x");
    fs::create_directories(tmp.path() / "t");
    fs::create_directory_symlink(tmp.path() / "outside", tmp.path() / "t" / "link");
    EXPECT_EQ(delete_tree(tmp.sub("t").c_str()), 0);
    EXPECT_FALSE(fs::exists(tmp.path() / "t"));
    EXPECT_TRUE(fs::exists(tmp.path() / "outside" / "keep"));
}

} // namespace
