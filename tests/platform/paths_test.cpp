/*
 * paths_test.cpp - names and paths that Windows treats specially, given to
 * the storage engine: drive-letter and UNC-like roots, names that differ
 * only in letter case, reserved device names, and paths near Windows'
 * 260-character limit. Each must work, or fail with a clear error; a
 * shortened path is never acted on. On POSIX these are ordinary names, and
 * the same cases check that they stay ordinary there.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "reg_storage.h"
#include "storage_internal.h"
#include "test_support.h"

namespace
{

using namespace testsupport;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

std::vector<std::string> catalog()
{
    std::vector<std::string> names;
    const char *doc = reg_catalog_json(0, nullptr);
    EXPECT_NE(doc, nullptr) << reg_storage_last_error();
    if (!doc) return names;
    yyjson_doc *d = yyjson_read(doc, std::strlen(doc), 0);
    yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(d), "repositories");
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(list, i, n, v) names.emplace_back(yyjson_get_str(v));
    yyjson_doc_free(d);
    return names;
}

/* The entries of dir, "." and ".." left out. */
std::vector<std::string> entries(const fs::path &dir)
{
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    return out;
}

class WindowsNames : public ::testing::Test
{
  protected:
    void TearDown() override { reg_storage_cleanup(); }
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
};

/* A drive letter that names no drive here, or 0. */
char unmapped_drive()
{
    for (char c = 'Q'; c <= 'Y'; ++c) {
        std::error_code ec;
        if (!fs::exists(std::string(1, c) + ":\\", ec)) return c;
    }
    return 0;
}

TEST_F(WindowsNames, DriveLetterRootsOfAMissingDriveFailWithTheirPath)
{
    if (!kWindows) GTEST_SKIP() << "drive letters exist only on Windows";
    const char drive = unmapped_drive();
    if (!drive) GTEST_SKIP() << "every drive letter from Q to Y is mapped here";
    const std::string d(1, drive);
    // "X:" alone, "X:\dir", and the drive's root, which keeps its backslash.
    for (const std::string &root : {d + ":", d + ":\\x", d + ":\\x\\", d + ":\\"}) {
        std::string stored = root;
        if (root.size() > 3 && root.back() == '\\') stored.pop_back();
        EXPECT_EQ(reg_storage_init(root.c_str()), -1) << root;
        EXPECT_EQ(std::string(reg_storage_last_error()).rfind("mkdirs failed: " + stored, 0), 0u)
            << reg_storage_last_error();
    }
    EXPECT_TRUE(entries(tmp.path()).empty());
}

TEST_F(WindowsNames, AbsoluteDriveRootWithEitherSeparatorHoldsTheLayout)
{
    if (!kWindows) GTEST_SKIP() << "a backslash is an ordinary name byte on POSIX";
    // "C:\...\store\": the trailing backslash goes, as for any root.
    std::string root = tmp.sub("store") + "\\";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    root.pop_back();
    EXPECT_STREQ(storage::s_root, root.c_str());
    EXPECT_TRUE(fs::is_directory(tmp.path() / "store" / "repositories"));
    reg_storage_cleanup();

    std::string mixed = tmp.str() + "/other\\deeper/";
    ASSERT_EQ(reg_storage_init(mixed.c_str()), 0) << reg_storage_last_error();
    EXPECT_TRUE(fs::is_directory(tmp.path() / "other" / "deeper" / "blobs" / "sha256"));
}

TEST_F(WindowsNames, UncLikeRootsFailCleanly)
{
    if (!kWindows) GTEST_SKIP() << "UNC and device names exist only on Windows";
    const std::string roots[] = {
        "\\\\registry-test.invalid\\share\\store", // a server that cannot exist
        "//registry-test.invalid/share/store",
        "\\\\.\\NUL\\store",                        // the device namespace
        "\\\\?\\" + tmp.sub("store"),               // the extended-length prefix
    };
    for (const auto &root : roots) {
        EXPECT_EQ(reg_storage_init(root.c_str()), -1) << root;
        EXPECT_EQ(std::string(reg_storage_last_error()).rfind("mkdirs failed: ", 0), 0u)
            << reg_storage_last_error();
    }
    EXPECT_TRUE(entries(tmp.path()).empty()) << "nothing created in the working directory";
}

TEST_F(WindowsNames, NamesDifferingOnlyInCaseAreOneRepositoryOnWindows)
{
    ASSERT_EQ(reg_storage_init(tmp.sub("store").c_str()), 0) << reg_storage_last_error();
    char dir[storage::kPathCap];
    for (const char *name : {"lib/App", "lib/app", "LIB/APP"}) {
        ASSERT_EQ(storage::repo_manifests_dir(name, dir), 0);
        ASSERT_EQ(storage::mkdirs(dir), 0) << name;
    }
    // Windows folds case: the three are one directory, listed once under
    // the spelling that created it. POSIX keeps three.
    const auto names = catalog();
    if (kWindows) {
        EXPECT_EQ(names, (std::vector<std::string>{"lib/App"}));
    } else {
        EXPECT_EQ(names, (std::vector<std::string>{"LIB/APP", "lib/App", "lib/app"}));
    }
}

TEST_F(WindowsNames, ReservedDeviceNamesNeverStandInForDirectories)
{
    ASSERT_EQ(reg_storage_init(tmp.sub("store").c_str()), 0) << reg_storage_last_error();
    for (const char *dev : {"CON", "con", "NUL", "nul.txt", "AUX", "PRN", "COM1", "LPT9"}) {
        SCOPED_TRACE(dev);
        // The storage rule allows these names: only the file system can
        // refuse them, and on Windows it must, cleanly.
        const std::string repo = std::string("lib/") + dev;
        ASSERT_EQ(storage::repo_name_valid(repo.c_str()), 1);
        char dir[storage::kPathCap], link[storage::kPathCap];
        ASSERT_EQ(storage::repo_manifests_dir(repo.c_str(), dir), 0);
        EXPECT_EQ(storage::mkdirs(dir), kWindows ? -1 : 0);

        // As a tag: the tag's directories, then its link file.
        ASSERT_EQ(storage::manifest_tag_path("lib/ok", dev, link), 0);
        std::string current = link;
        current.resize(current.size() - std::strlen(PLAT_SEP_STR "link"));
        EXPECT_EQ(storage::mkdirs(current.c_str()), kWindows ? -1 : 0);
        EXPECT_EQ(storage::write_file(link, "sha256:x", 8), kWindows ? -1 : 0);
    }
    // Nothing that failed shows up as a repository; "lib/ok" holds the tags.
    const auto names = catalog();
    EXPECT_EQ(names.size(), kWindows ? 1u : 9u);
    if (kWindows) {
        EXPECT_EQ(names, (std::vector<std::string>{"lib/ok"}));
    }
}

TEST_F(WindowsNames, RootsNearThe260CharacterLimitWorkWholeOrFailWhole)
{
    // Roots of exact lengths around the limit (248 is where Windows stops
    // creating directories), in components of at most 100 bytes so that
    // POSIX file systems take them all.
    const std::string base = tmp.str() + PLAT_SEP_STR;
    std::set<std::string> components;
    for (size_t len : {200u, 230u, 247u, 248u, 259u, 260u, 300u}) {
        SCOPED_TRACE(len);
        ASSERT_LT(base.size() + 1, len) << "temporary directory too deep for this test";
        const char letter = static_cast<char>('a' + len % 26);
        std::string root = base;
        while (root.size() < len) {
            if (root.back() != PLAT_SEP) root += PLAT_SEP;
            const size_t n = std::min<size_t>(100, len - root.size());
            components.insert(std::string(n, letter));
            root.append(n, letter);
        }
        ASSERT_EQ(root.size(), len);

        const int rc = reg_storage_init(root.c_str());
        if (rc == 0) {
            char path[storage::kPathCap];
            using builder = int (*)(char *);
            for (builder b : {storage::blobs_dir, storage::repositories_dir, storage::uploads_dir}) {
                ASSERT_EQ(b(path), 0);
                EXPECT_TRUE(plat_is_dir(path)) << path;
            }
        } else {
            // The message names a whole path under the root, never a cut one.
            const std::string error = reg_storage_last_error();
            EXPECT_EQ(error.rfind("mkdirs failed: " + root, 0), 0u) << error;
        }
        if (kWindows && len >= 260) {
            EXPECT_EQ(rc, -1) << "Windows refuses such a path";
        }
        if (!kWindows) {
            EXPECT_EQ(rc, 0) << reg_storage_last_error();
        }
        reg_storage_cleanup();
    }
    // Whatever was created carries a full component name, or is the layout.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tmp.path(), ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        EXPECT_TRUE(components.count(name) || name == "blobs" || name == "sha256" ||
                    name == "repositories" || name == "uploads" || name == "config.json")
            << "unexpected name: " << name;
    }
}

TEST_F(WindowsNames, LayoutPathsPastTheLimitAreRefusedNotCut)
{
    // A root that fits, and a repository whose path does not on Windows.
    ASSERT_EQ(reg_storage_init(tmp.sub("store").c_str()), 0) << reg_storage_last_error();
    const std::string repo = std::string(120, 'r') + "/" + std::string(120, 's');
    char dir[storage::kPathCap];
    ASSERT_EQ(storage::repo_manifests_dir(repo.c_str(), dir), 0);
    ASSERT_GT(std::strlen(dir), 260u);
    const int rc = storage::mkdirs(dir);
    if (kWindows) {
        EXPECT_EQ(rc, -1);
        EXPECT_TRUE(catalog().empty());
    } else {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(catalog(), (std::vector<std::string>{repo}));
    }
    // No directory with a shortened name appears under repositories.
    for (const auto &name : entries(tmp.path() / "store" / "repositories"))
        EXPECT_EQ(name, std::string(120, 'r'));
}

} // namespace
