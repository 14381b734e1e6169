/* A store on a full file system and a store that cannot be written: every
 * operation fails with its message or succeeds, reads keep working, and
 * nothing stored before is lost or changed. The full device is a small
 * tmpfs (mounting needs root); the read-only store is a tmpfs remounted
 * read-only, or, for an ordinary user, a tree without write permission. */
#include <gtest/gtest.h>

#include <string>

#include "fault_fixture.h"
#include "v2_healthz.h"

namespace
{

using namespace faulttest;
using testsupport::ScopedEnv;

constexpr char kNoMount[] = "cannot mount a tmpfs here (needs root and a kernel that allows it)";

/* The store's directory is a fresh tmpfs of `size` when mounting works. */
class MountedStore : public FaultStore
{
  protected:
    void mount_and_set_up(const char *size)
    {
#ifdef _WIN32
        static_cast<void>(size);
        GTEST_SKIP() << "tmpfs mounts are Linux only";
#else
        fs::create_directories(root);
        if (shell("mount -t tmpfs -o size=" + std::string(size) + " tmpfs '" + root + "'") != 0)
            GTEST_SKIP() << kNoMount;
        mounted_ = true;
        FaultStore::SetUp();
#endif
    }
    void TearDown() override
    {
        FaultStore::TearDown();
        if (mounted_) {
            EXPECT_EQ(shell("umount '" + root + "'"), 0) << "left mounted: " << root;
        }
    }
    /* Fills the device with a file outside the store until it is refused. */
    void fill(const char *name = "filler")
    {
        FILE *f = std::fopen((fs::path(root) / name).string().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::string chunk(4096, 'f');
        while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && std::fflush(f) == 0)
            ;
        std::fclose(f);
    }
    static health_report probe(const std::string &root)
    {
        ScopedEnv env("REGISTRY_STORAGE_ROOT", root.c_str());
        health_report r;
        reg_health_check(&r);
        return r;
    }
    bool mounted_ = false;
};

class FullDevice : public MountedStore
{
  protected:
    void SetUp() override { mount_and_set_up("1m"); }
};

TEST_F(FullDevice, EveryOperationFailsCleanlyAndNothingStoredIsLost)
{
    const std::string orphan = store("nobody references this blob");
    old_blobs();
    const std::string pending = upload("finished after the device filled");
    const auto before = snapshot();
    fill();

    /* Appends fail with their message; the upload can still be measured
     * and cancelled. */
    char id[37];
    if (reg_blob_start_upload(id) == 0) {
        const std::string big(256 * 1024, 'b');
        EXPECT_EQ(reg_blob_append_chunk(id, big.data(), big.size()), -1);
        EXPECT_EQ(error(), "write error appending chunk");
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_FULL);
        int64_t n = -1;
        EXPECT_EQ(reg_blob_upload_size(id, &n), 0) << error();
        EXPECT_EQ(reg_blob_cancel_upload(id), 0) << error();
    } else {
        EXPECT_EQ(error().rfind("cannot create upload file: ", 0), 0u) << error();
    }

    /* Finishing renames and needs no room: the blob is stored whole. */
    char out[DIGEST_TEXT_CAP];
    const std::string pending_digest = digest_of("finished after the device filled");
    EXPECT_EQ(reg_blob_finish_upload(pending.c_str(), pending_digest.c_str(), out), 0) << error();
    EXPECT_EQ(reg_blob_exists(pending_digest.c_str()), 1);
    fill("filler-2"); /* the finish freed the upload's saved digest */

    /* A put that would move an existing tag fails and leaves it in place. */
    const std::string body = manifest_json(base.blobs);
    char digest[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest), -1);
    EXPECT_EQ(error(), "write manifest body failed");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_FULL);
    char type[127];
    ASSERT_NE(reg_manifest_get("app", "v1", type, digest), nullptr) << error();
    EXPECT_EQ(digest, v1.manifest);

    /* A put to a new repository fails and stores no manifest (its empty
     * directories stay, so the catalog may list the name). */
    EXPECT_EQ(reg_manifest_put("fresh", "t", body.data(), body.size(), nullptr, digest), -1);
    EXPECT_EQ(error(), "write manifest body failed");
    EXPECT_EQ(reg_manifest_get("fresh", "t", type, digest), nullptr);
    const char *catalog = reg_catalog_json(0, nullptr);
    ASSERT_NE(catalog, nullptr) << error();
    EXPECT_NE(std::string(catalog).find("\"app\",\"fresh\",\"lib/base\""), std::string::npos);

    /* Collection needs no room (its snapshot is best effort): it removes
     * the old orphan and nothing referenced. */
    auto report = gc(0);
    EXPECT_EQ(report["blobs_deleted"], 1);
    EXPECT_FALSE(has(orphan));

    /* The probe says the store cannot be written. */
    const health_report r = probe(root);
    EXPECT_EQ(r.ok, 0);
    EXPECT_STREQ(r.reason, "not_writable");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << error();

    expect_kept(before, snapshot(), {"sha256/" + orphan.substr(7, 2) + "/" + orphan.substr(7)});
    expect_blobs_verify(root);
    expect_manifests_whole(root);

    /* With room again, the same put works. */
    fs::remove(fs::path(root) / "filler");
    EXPECT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest), 0)
        << error();
    EXPECT_EQ(probe(root).ok, 1);
}

/* ---- read-only stores ------------------------------------------------------ */

/* Writes fail with their messages; every read still answers; nothing
 * stored changes. */
void expect_read_only_behaviour(const std::string &root, const gctest::image &v1,
                                const std::string &pending,
                                const std::map<std::string, std::string> &before)
{
    /* Each write failure also says the store is not writable, which the
     * programs answer with 503. */
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()).rfind("cannot create upload file: ", 0), 0u)
        << reg_storage_last_error();
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_NOT_WRITABLE);
    EXPECT_EQ(reg_blob_append_chunk(pending.c_str(), "x", 1), -1);
    EXPECT_STREQ(reg_storage_last_error(), "write error appending chunk");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_NOT_WRITABLE);
    char out[DIGEST_TEXT_CAP];
    const std::string pending_digest = digest_of("pending");
    EXPECT_EQ(reg_blob_finish_upload(pending.c_str(), pending_digest.c_str(), out), -1);
    EXPECT_STRNE(reg_storage_last_error(), "");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_NOT_WRITABLE) << reg_storage_last_error();

    const std::string body = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + v1.blobs[0] +
                             "\",\"size\":1},\"layers\":[]}";
    char digest[DIGEST_TEXT_CAP], type[127];
    EXPECT_EQ(reg_manifest_put("app", "v2", body.data(), body.size(), nullptr, digest), -1);
    EXPECT_STRNE(reg_storage_last_error(), "");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_NOT_WRITABLE) << reg_storage_last_error();
    EXPECT_EQ(reg_manifest_delete("app", "v1"), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_NOT_WRITABLE) << reg_storage_last_error();
    ASSERT_NE(reg_manifest_get("app", "v1", type, digest), nullptr) << reg_storage_last_error();
    EXPECT_EQ(digest, v1.manifest);
    EXPECT_NE(reg_tags_list_json("app"), nullptr) << reg_storage_last_error();
    EXPECT_NE(reg_catalog_json(0, nullptr), nullptr) << reg_storage_last_error();
    EXPECT_NE(reg_storage_get_stats_json(), nullptr) << reg_storage_last_error();
    for (auto &b : v1.blobs) EXPECT_EQ(reg_blob_exists(b.c_str()), 1) << b;

    /* A collection cannot remove anything and says it removed nothing. */
    const char *report = reg_gc_json(0);
    if (report) {
        EXPECT_EQ(gctest::parse_doc(report)["blobs_deleted"], 0) << report;
    }

    EXPECT_EQ(reg_blob_cancel_upload(pending.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "cancel failed");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERROR_NOT_WRITABLE);

    ScopedEnv env("REGISTRY_STORAGE_ROOT", root.c_str());
    health_report r;
    EXPECT_EQ(reg_health_check(&r), 0);
    EXPECT_STREQ(r.reason, "not_writable");

    expect_kept(before, stored(root));
    EXPECT_EQ(stored(root).size(), before.size());
}

class ReadOnlyMount : public MountedStore
{
  protected:
    void SetUp() override { mount_and_set_up("4m"); }
};

TEST_F(ReadOnlyMount, WritesFailReadsWorkNothingChanges)
{
    store("nobody references this blob");
    old_blobs();
    const std::string pending = upload("pending");
    gctest::age(upload_path(pending), 3600); /* stale: a collection would remove it */
    const auto before = snapshot();
    ASSERT_EQ(shell("mount -o remount,ro '" + root + "'"), 0);
    expect_read_only_behaviour(root, v1, pending, before);
    EXPECT_TRUE(fs::exists(upload_path(pending)));
}

/* Write permission taken from every directory of the store. */
class ReadOnlyPermissions : public FaultStore
{
  protected:
    void lock(bool on)
    {
        const auto bits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        std::vector<fs::path> dirs{root};
        for (auto &e : fs::recursive_directory_iterator(root))
            if (e.is_directory()) dirs.push_back(e.path());
        for (auto &d : dirs)
            fs::permissions(d, on ? bits : fs::perms::owner_all,
                            on ? fs::perm_options::remove : fs::perm_options::add);
        for (auto &e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file())
                fs::permissions(e.path(), on ? bits : fs::perms::owner_write,
                                on ? fs::perm_options::remove : fs::perm_options::add);
    }
    void TearDown() override
    {
        lock(false);
        FaultStore::TearDown();
    }
};

TEST_F(ReadOnlyPermissions, WritesFailReadsWorkNothingChanges)
{
    SKIP_ON_WINDOWS("Windows has no write bit on directories to take away");
    store("nobody references this blob");
    old_blobs();
    const std::string pending = upload("pending");
    gctest::age(upload_path(pending), 3600);
    const auto before = snapshot();
    lock(true);
    if (storetest::permissions_ignored(fs::path(root) / "uploads"))
        GTEST_SKIP() << "file permissions do not bind this process (running as root?)";
    expect_read_only_behaviour(root, v1, pending, before);
    EXPECT_TRUE(fs::exists(upload_path(pending)));
}

} // namespace
