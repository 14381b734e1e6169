/*
 * fault_fixture.h - helpers for the fault tests: a store with images pushed
 * through the engine, a fingerprint of every stored byte to compare before
 * and after a fault, and a small tmpfs mount when the machine allows one.
 */
#ifndef REGISTRY_FAULT_FIXTURE_H
#define REGISTRY_FAULT_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "gc_fixture.h"

namespace faulttest
{

namespace fs = std::filesystem;
using blobtest::digest_of;

/* Every regular file under dir (relative path -> content). */
inline std::map<std::string, std::string> files_under(const fs::path &dir)
{
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) {
            out[fs::relative(it->path(), dir).generic_string()] =
                testsupport::read_text(it->path());
        }
    return out;
}

/* What is stored: the blob files and the manifest tree, not the uploads,
 * GC snapshots or health files that operations may rightly change. */
inline std::map<std::string, std::string> stored(const fs::path &root)
{
    auto out = files_under(root / "blobs");
    for (auto &[k, v] : files_under(root / "repositories")) out["repositories/" + k] = v;
    return out;
}

/* Fails unless every file of before is still there with the same bytes,
 * leaving out paths that begin with one of the given prefixes. */
inline void expect_kept(const std::map<std::string, std::string> &before,
                        const std::map<std::string, std::string> &after,
                        const std::vector<std::string> &except = {})
{
    for (auto &[path, content] : before) {
        bool skip = false;
        for (auto &p : except) skip = skip || path.rfind(p, 0) == 0;
        if (skip) continue;
        auto it = after.find(path);
        if (it == after.end())
            ADD_FAILURE() << "lost: " << path;
        else if (it->second != content)
            ADD_FAILURE() << "changed: " << path;
    }
}

/* Fails unless every blob file holds the bytes its name promises. */
inline void expect_blobs_verify(const fs::path &root)
{
    for (auto &[path, content] : files_under(root / "blobs" / "sha256")) {
        const std::string name = fs::path(path).filename().string();
        if (name.size() != 64) continue;
        EXPECT_EQ(digest_of(content), "sha256:" + name) << path;
    }
}

/* Fails unless every manifest that resolves under the walk names only
 * stored blobs, and its body matches its digest. */
inline void expect_manifests_whole(const fs::path &root)
{
    for (auto &[path, content] : files_under(root / "repositories")) {
        const fs::path p(path);
        if (p.parent_path().filename() != "_manifests" || p.filename().string().size() != 64)
            continue;
        EXPECT_EQ(digest_of(content), "sha256:" + p.filename().string()) << path;
        yyjson_doc *doc = yyjson_read(content.data(), content.size(), 0);
        ASSERT_NE(doc, nullptr) << path;
        storage::digest_set set;
        storage::gc_add_manifest_digests(&set, yyjson_doc_get_root(doc));
        yyjson_doc_free(doc);
        for (int i = 0; i < set.count; ++i)
            EXPECT_EQ(reg_blob_exists(set.items[i]), 1)
                << path << " names a missing blob " << set.items[i];
    }
}

/* Runs a shell command quietly; its exit status (-1 when it cannot run). */
inline int shell(const std::string &cmd)
{
    const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
#ifdef _WIN32
    return rc;
#else
    return rc == -1 ? -1 : WEXITSTATUS(rc);
#endif
}

/* A store with a pushed image ("app:v1") and the means to compare it. */
class FaultStore : public gctest::GcStore
{
  protected:
    void SetUp() override
    {
        gctest::GcStore::SetUp();
        v1 = push("app", "v1", 2, "app v1");
        base = push("lib/base", "stable", 1, "base");
    }
    std::map<std::string, std::string> snapshot() const { return stored(root); }

    gctest::image v1, base;
};

} // namespace faulttest

#endif
