/*
 * Directories that vanish under a write: another process (a collection, a
 * delete) prunes an empty directory between its making and the file put
 * into it, or prunes it and makes it again, or a cluster file system
 * answers ESTALE for it. The platform's fault hook stands in for the other
 * process, so these run on any local disk.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "manifest_fixture.h"
#include "platform.h"

namespace
{

using blobtest::digest_of;
using manifesttest::ManifestStore;
namespace fs = std::filesystem;

#ifdef ESTALE
constexpr int kStale = ESTALE;
#else
constexpr int kStale = ENOENT; /* Windows knows no stale handles */
#endif

/* What the hook does to calls of op whose path (with '/' for every
 * separator) contains where, for the
 * first times of them: fail with err, or (err 0) remove the directory the
 * call works in first, as a concurrent prune would, and let it go on. */
struct fault {
    const char *op;
    std::string where;
    int err;
    int times;
    int seen = 0;
};

int hook(const char *op, const char *path, void *ctx)
{
    auto *f = static_cast<fault *>(ctx);
    const std::string p = path;
    std::string slashed = p;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    if (std::string(op) != f->op || slashed.find(f->where) == std::string::npos) return 0;
    if (f->seen++ >= f->times) return 0;
    if (f->err == 0) {
        std::error_code ec;
        fs::remove(fs::path(p).parent_path(), ec);
        return 0;
    }
    return f->err;
}

class VanishingDir : public ManifestStore
{
  protected:
    void TearDown() override
    {
        plat_set_fault_hook(nullptr, nullptr);
        ManifestStore::TearDown();
    }
    /* Finishes an upload of data under fault f; the finish's status. */
    int finish_under(fault &f, const std::string &data, std::string *id_out = nullptr)
    {
        const std::string digest = digest_of(data);
        const std::string id = upload(data);
        if (id_out) *id_out = id;
        if (f.where.empty()) f.where = digest.substr(7);
        char out[DIGEST_TEXT_CAP];
        plat_set_fault_hook(hook, &f);
        const long before = reg_storage_dir_retries();
        const int rc = reg_blob_finish_upload(id.c_str(), digest.c_str(), out);
        retries = reg_storage_dir_retries() - before;
        plat_set_fault_hook(nullptr, nullptr);
        return rc;
    }
    long retries = 0;
};

TEST_F(VanishingDir, ABlobFinishMakesItsDirectoryAgainUntilItHolds)
{
    const struct {
        const char *what;
        int err;
        int times;
    } cases[] = {
        {"pruned before the rename", 0, 3},
        {"stale handle (cluster file system)", kStale, 5},
        {"pruned and made again by another: ENOENT while it stands", ENOENT, 4},
        {"many rounds against a busy pruner", kStale, storage::kPlaceAttempts - 1},
    };
    int k = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string data = "content " + std::to_string(k++);
        fault f{"rename", "", c.err, c.times};
        ASSERT_EQ(finish_under(f, data), 0) << error();
        EXPECT_EQ(retries, c.times);
        EXPECT_EQ(testsupport::read_text(blob_path(digest_of(data))), data);
    }
}

TEST_F(VanishingDir, ABlobFinishGivesUpWithAClearErrorAndKeepsTheUpload)
{
    const std::string data = "never placed";
    std::string id;
    fault f{"rename", "", kStale, 1 << 30};
    ASSERT_EQ(finish_under(f, data, &id), -1);
    const std::string gave_up =
        "kept vanishing: gave up after " + std::to_string(storage::kPlaceAttempts) + " attempts";
    EXPECT_NE(error().find(gave_up), std::string::npos) << error();
    EXPECT_EQ(f.seen, storage::kPlaceAttempts);
    EXPECT_EQ(upload_bytes(id), static_cast<int64_t>(data.size())) << "the upload is whole";
    char out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest_of(data).c_str(), out), 0) << error();
}

TEST_F(VanishingDir, FailuresThatAnotherAttemptCannotMendAreNotRepeated)
{
    /* A read-only or full store, and an upload another process finished
     * first: one attempt, the step's own message. */
    const struct {
        const char *what;
        const char *op;
        int err;
        const char *message;
    } cases[] = {
        {"read-only store", "mkdir", EROFS, "mkdirs blob dir failed"},
        {"no room", "rename", ENOSPC, "rename to CAS failed: "},
    };
    int k = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string data = "refused " + std::to_string(k++);
        const std::string digest = digest_of(data);
        fault f{c.op, c.err == EROFS ? "sha256/" + digest.substr(7, 2) : "", c.err,
                1 << 30};
        ASSERT_EQ(finish_under(f, data), -1);
        EXPECT_EQ(f.seen, 1);
        EXPECT_EQ(retries, 0);
        EXPECT_EQ(error().rfind(c.message, 0), 0u) << error();
    }

    /* The upload vanished (finished elsewhere): gone is not mended by a
     * directory. */
    const std::string data = "finished elsewhere";
    const std::string id = upload(data);
    fs::remove(upload_path(id));
    char out[DIGEST_TEXT_CAP];
    const long before = reg_storage_dir_retries();
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest_of(data).c_str(), out), -1);
    EXPECT_EQ(reg_storage_dir_retries(), before);
}

TEST_F(VanishingDir, AManifestPushRidesOutItsDirectoriesVanishing)
{
    /* Every file a push writes goes through the same loop: the body, its
     * type, the revision link and the tag link, and the parents mkdirs
     * makes on the way (a repository being deleted). */
    const struct {
        const char *what;
        const char *op;
        const char *where;
        int err;
    } cases[] = {
        {"tag link's directory", "rename", "current", ENOENT},
        {"revision link's directory", "rename", "revisions", kStale},
        {"body's directory", "rename", "_manifests/", kStale},
        {"a parent on the way", "mkdir", "_manifests", kStale},
    };
    int k = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string repo = "team/app" + std::to_string(k++);
        const std::string body = image_for(repo);
        fault f{c.op, c.where, c.err, 3};
        const long before = reg_storage_dir_retries();
        plat_set_fault_hook(hook, &f);
        const std::string digest = put(repo, "v1", body);
        plat_set_fault_hook(nullptr, nullptr);
        ASSERT_EQ(digest, digest_of(body)) << error();
        EXPECT_EQ(reg_storage_dir_retries() - before, 3);
        const got g = get(repo, "v1");
        ASSERT_TRUE(g.ok) << error();
        EXPECT_EQ(g.body, body);
    }
}

} // namespace
