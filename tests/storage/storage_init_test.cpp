/* reg_storage_init, reg_storage_cleanup and the error slot. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "store_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using storetest::join;
using testsupport::read_text;
using testsupport::TempDir;
using testsupport::write_text;

const char kMarker[] = "{\n  \"schemaVersion\": 2,\n  \"title\": \"tarnvale-registry-storage\",\n"
                       "  \"version\": \"1.9.0\",\n  \"maxUploadSize\": -1\n}\n";

/* Ends every test uninitialised, whatever it did. */
class Init : public ::testing::Test
{
  protected:
    void TearDown() override { reg_storage_cleanup(); }
    TempDir tmp;
};

/* A path of exactly len bytes under dir, in components of at most 200. */
std::string path_of_length(const std::string &dir, size_t len)
{
    std::string s = dir;
    while (len - s.size() > 201)
        s += PLAT_SEP_STR + std::string(200, 'r');
    s += PLAT_SEP_STR + std::string(len - s.size() - 1, 'r');
    return s;
}

TEST_F(Init, CreatesTheLayoutAndTheMarkerFile)
{
    const std::string root = tmp.sub("store");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    EXPECT_EQ(s_ready, 1);
    EXPECT_EQ(std::string(s_root), root);
    for (const char *dir : {"blobs/sha256", "repositories", "uploads"})
        EXPECT_TRUE(fs::is_directory(fs::path(root) / dir)) << dir;
    EXPECT_EQ(read_text(fs::path(root) / "config.json"), kMarker);
    EXPECT_EQ(fs::file_size(fs::path(root) / "config.json"), 110u);
    EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(Init, TrailingBackslashHandling)
{
    struct Case {
        const char *label;
        std::string suffix;   /* appended to <tmp>/data */
        std::string expected; /* what s_root holds after <tmp>/data */
    };
    const Case cases[] = {
        {"no separator", "", ""},
        {"one backslash removed", "\\", ""},
        {"trailing slash kept", "/", "/"},
        {"only the last of two backslashes", "\\\\", "\\"},
    };
    for (const auto &c : cases) {
        const std::string base = join(tmp.str(), "data");
        ASSERT_EQ(reg_storage_init((base + c.suffix).c_str()), 0)
            << c.label << ": " << reg_storage_last_error();
        EXPECT_EQ(std::string(s_root), base + c.expected) << c.label;
        EXPECT_TRUE(fs::is_directory(join(join(base + c.expected, "blobs"), "sha256"))) << c.label;
    }
}

TEST_F(Init, ALoneSeparatorRootIsNeverStrippedToNothing)
{
    SKIP_ON_WINDOWS("a lone backslash names the drive's root on Windows");
    testsupport::ScopedCwd cwd(tmp.path()); /* "\" is a relative name here */
    ASSERT_EQ(reg_storage_init("\\"), 0) << reg_storage_last_error();
    EXPECT_STREQ(s_root, "\\");
    EXPECT_TRUE(fs::is_directory(tmp.path() / "\\" / "repositories"));
}

TEST_F(Init, ARootThatIsALinkToADirectoryIsUsed)
{
    SKIP_ON_WINDOWS("the Windows C++ runtime here cannot make symbolic links");
    fs::create_directories(tmp.path() / "real");
    fs::create_directory_symlink(tmp.path() / "real", tmp.path() / "link");
    ASSERT_EQ(reg_storage_init(tmp.sub("link").c_str()), 0) << reg_storage_last_error();
    EXPECT_TRUE(fs::is_directory(tmp.path() / "real" / "repositories"));
}

TEST_F(Init, RootLengthLimitIs3499Bytes)
{
    SKIP_ON_WINDOWS(testsupport::kNeedsLongPaths);
    const std::string ok = path_of_length(tmp.str(), kRootMax);
    ASSERT_EQ(ok.size(), 3499u);
    EXPECT_EQ(reg_storage_init(ok.c_str()), 0) << reg_storage_last_error();
    EXPECT_TRUE(fs::is_directory(join(ok, "repositories")));

    const std::string too_long = path_of_length(tmp.sub("other"), kRootMax + 1);
    ASSERT_EQ(too_long.size(), 3500u);
    EXPECT_EQ(reg_storage_init(too_long.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "storage root dir too long (max 3499 chars)");
    EXPECT_EQ(s_ready, 0) << "a failed re-initialisation leaves the engine uninitialised";
    EXPECT_STREQ(s_root, "");
    EXPECT_FALSE(fs::exists(tmp.path() / "other")) << "nothing is created";
}

TEST_F(Init, EmptyRootChangesNothing)
{
    const std::string root = tmp.sub("store");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    for (const char *bad : {static_cast<const char *>(nullptr), ""}) {
        EXPECT_EQ(reg_storage_init(bad), -1);
        EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
        EXPECT_EQ(s_ready, 1);
        EXPECT_EQ(std::string(s_root), root);
    }
    EXPECT_NE(reg_storage_get_stats_json(), nullptr) << "still initialised";
}

TEST_F(Init, AnExistingMarkerFileIsLeftAlone)
{
    const std::string root = tmp.sub("store");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    write_text(fs::path(root) / "config.json", "edited");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(read_text(fs::path(root) / "config.json"), "edited");
}

TEST_F(Init, FileSystemFailuresNameWhatFailed)
{
    struct Case {
        const char *label;
        std::string occupied; /* a regular file placed here first, relative to tmp */
        std::string root;
        std::string message;
    };
    const std::string store = tmp.sub("s");
    const Case cases[] = {
        {"root is a file", "s", store, "mkdirs failed: " + store},
        {"parent of root is a file", "s", join(store, "sub"),
         "mkdirs failed: " + join(store, "sub")},
        {"blobs is a file", join("s", "blobs"), store,
         "mkdirs failed: " + join(join(store, "blobs"), "sha256")},
        {"uploads is a file", join("s", "uploads"), store,
         "mkdirs failed: " + join(store, "uploads")},
    };
    for (const auto &c : cases) {
        fs::remove_all(store);
        write_text(tmp.path() / c.occupied, "x");
        EXPECT_EQ(reg_storage_init(c.root.c_str()), -1) << c.label;
        EXPECT_EQ(std::string(reg_storage_last_error()), c.message) << c.label;
        EXPECT_EQ(s_ready, 0) << c.label;
    }

    fs::remove_all(store);
    fs::create_directories(fs::path(store) / "config.json");
    EXPECT_EQ(reg_storage_init(store.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "write config.json failed");
    EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
}

TEST_F(Init, UnwritableParentFails)
{
    SKIP_ON_WINDOWS("Windows has no POSIX permission bits to take away");
    fs::create_directories(tmp.path() / "locked");
    fs::permissions(tmp.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    if (storetest::permissions_ignored(tmp.path() / "locked"))
        GTEST_SKIP() << "permissions do not apply to this user";
    const std::string root = tmp.sub("locked/store");
    EXPECT_EQ(reg_storage_init(root.c_str()), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), "mkdirs failed: " + root);
}

TEST_F(Init, ErrorSlotKeepsTheLastFailureUntilTheNextInit)
{
    ASSERT_EQ(reg_storage_init(""), -1);
    EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
    /* Not initialised: a failure replaces the message. */
    EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");

    ASSERT_EQ(reg_storage_init(tmp.sub("store").c_str()), 0);
    EXPECT_STREQ(reg_storage_last_error(), "") << "a successful init empties the slot";
    EXPECT_EQ(reg_storage_init(nullptr), -1);
    EXPECT_NE(reg_catalog_json(0, nullptr), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty") << "success leaves it";
}

TEST(InitFreshProcess, ErrorSlotIsEmptyBeforeAnyFailure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); /* a re-executed, fresh process */
    EXPECT_EXIT(
        {
            const char *e = reg_storage_last_error();
            std::exit(e && *e == '\0' && s_ready == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Init, CleanupForgetsTheRootAndMayRepeat)
{
    ASSERT_EQ(reg_storage_init(tmp.sub("store").c_str()), 0);
    reg_storage_cleanup();
    reg_storage_cleanup();
    EXPECT_EQ(s_ready, 0);
    EXPECT_STREQ(s_root, "");
    EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_TRUE(fs::is_directory(tmp.path() / "store" / "repositories")) << "no file is touched";
}

TEST_F(Init, SeedsTheUploadIdGenerator)
{
    const int64_t before = plat_time();
    ASSERT_EQ(reg_storage_init(tmp.sub("store").c_str()), 0);
    const int64_t after = plat_time();
    EXPECT_NE(s_seed, 0u);
    const uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s_seed));
    const uint32_t pid = static_cast<uint32_t>(plat_pid()) * 0x9E3779B9u;
    bool matched = false;
    for (int64_t t = before; t <= after; ++t) {
        uint32_t v = static_cast<uint32_t>(t) ^ addr ^ pid;
        matched = matched || s_seed == (v ? v : kSeedFallback);
    }
    EXPECT_TRUE(matched) << "time XOR the seed's own address XOR the spread process id";
}

} // namespace
