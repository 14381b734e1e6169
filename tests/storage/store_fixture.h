/*
 * store_fixture.h - helpers for the storage engine's tests: a storage root
 * in a private temporary directory and ways to lay out repositories, tags,
 * blobs and uploads on disk without going through the engine.
 */
#ifndef REGISTRY_STORE_FIXTURE_H
#define REGISTRY_STORE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <string>
#include <vector>

#include "reg_storage.h"
#include "storage_internal.h"
#include "test_support.h"

namespace storetest
{

namespace fs = std::filesystem;

/* Joins with the platform separator, as the engine does. */
inline std::string join(const std::string &a, const std::string &b)
{
    return a + PLAT_SEP_STR + b;
}

/* True when file permissions do not stop this process (it runs as root):
 * checked by writing into a directory that should refuse it. */
inline bool permissions_ignored(const fs::path &locked_dir)
{
    fs::path probe = locked_dir / "probe";
    FILE *f = std::fopen(probe.string().c_str(), "wb");
    if (!f) return false;
    std::fclose(f);
    std::error_code ec;
    fs::remove(probe, ec);
    return true;
}

/* An initialised, empty store under a fresh temporary directory. */
class EmptyStore : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    fs::path repos() const { return fs::path(root) / "repositories"; }

    /* A repository: its directories and a "_manifests" directory. */
    void make_repo(const std::string &name) const
    {
        fs::create_directories(repos() / name / "_manifests");
    }
    void add_tag(const std::string &repo, const std::string &tag, const std::string &link) const
    {
        testsupport::write_text(repos() / repo / "_manifests" / "tags" / tag / "current" / "link",
                                link);
    }
    void add_blob(const std::string &fan, const std::string &name, size_t bytes) const
    {
        testsupport::write_text(fs::path(root) / "blobs" / "sha256" / fan / name,
                                std::string(bytes, 'x'));
    }
    void add_upload(const std::string &name, size_t bytes) const
    {
        testsupport::write_text(fs::path(root) / "uploads" / name, std::string(bytes, 'u'));
    }

    testsupport::TempDir tmp;
    std::string root = tmp.sub("store");
};

/* Walks the store's repositories like every caller does; sorted names. */
inline std::vector<std::string> walked_names()
{
    storage::repo_list list;
    EXPECT_EQ(list.collect(), 0);
    std::vector<std::string> out;
    for (int i = 0; i < list.count(); ++i)
        out.emplace_back(list[i]);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace storetest

#endif
