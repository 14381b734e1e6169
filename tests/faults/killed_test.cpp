/* Processes killed by SIGKILL part-way through an upload, through pushes
 * and deletes, and through a collection's sweep. Afterwards uploads resume
 * or cancel, stored manifests, tags and blobs are whole, and a later
 * collection (once the killed uploads are stale) deletes nothing that a
 * stored manifest names. */
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "fault_fixture.h"

namespace
{

using namespace faulttest;

#ifdef FAULT_DRIVER
class Killed : public FaultStore
{
  protected:
    std::string state() const { return tmp.sub("state"); }
    /* Runs the driver to its end; true when SIGKILL ended it. */
    bool run_to_death(const char *mode) const
    {
        return shell(std::string("'") + FAULT_DRIVER + "' " + mode + " '" + root + "' '" +
                     state() + "'") == 128 + SIGKILL;
    }
    /* Starts the looping driver, lets it work past its first round and
     * kills it with SIGKILL wherever it is. */
    void kill_loop_once(int pause_ms) const
    {
        std::error_code ec;
        fs::remove(state(), ec);
        const std::string pid = tmp.sub("pid");
        std::thread runner([&] {
            shell("'" + std::string(FAULT_DRIVER) + "' loop '" + root + "' '" + state() +
                  "' & echo $! > '" + pid + "'; wait");
        });
        for (int i = 0; i < 6000 && !fs::exists(state()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        EXPECT_EQ(shell("kill -9 $(cat '" + pid + "')"), 0);
        runner.join();
        EXPECT_TRUE(fs::exists(state())) << "the driver never finished a round";
    }
    /* Every upload file made stale, every blob old enough to collect. */
    void age_everything() const
    {
        for (auto &e : fs::recursive_directory_iterator(fs::path(root) / "uploads"))
            gctest::age(e.path(), gctest::kOld);
        old_blobs();
    }
    void expect_whole() const
    {
        expect_blobs_verify(root);
        expect_manifests_whole(root);
        for (auto &b : v1.blobs) EXPECT_TRUE(has(b)) << b;
        for (auto &b : base.blobs) EXPECT_TRUE(has(b)) << b;
    }
};

TEST_F(Killed, MidUploadTheUploadResumesOrCancels)
{
    const auto before = snapshot();
    const std::string data = blobtest::pseudo_random(3000, 8) + "the rest";
    ASSERT_TRUE(run_to_death("upload"));
    const std::string resumed = testsupport::read_text(state());
    EXPECT_EQ(upload_bytes(resumed), 3000);
    ASSERT_EQ(reg_blob_append_chunk(resumed.c_str(), "the rest", 8), 0) << error();
    char out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_finish_upload(resumed.c_str(), digest_of(data).c_str(), out), 0) << error();
    EXPECT_TRUE(has(digest_of(data)));

    ASSERT_TRUE(run_to_death("upload"));
    const std::string dropped = testsupport::read_text(state());
    EXPECT_EQ(reg_blob_cancel_upload(dropped.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(upload_path(dropped)));

    /* A young upload left by a killed process does not hold collection
     * back and is left alone until it is stale; then it is removed and
     * nothing referenced goes. */
    ASSERT_TRUE(run_to_death("upload"));
    const std::string young = testsupport::read_text(state());
    EXPECT_EQ(gc(0)["stale_uploads"], 0);
    EXPECT_EQ(upload_bytes(young), 3000);
    age_everything();
    auto report = gc(0);
    EXPECT_EQ(report["stale_uploads"], 1);
    EXPECT_EQ(report["blobs_deleted"], 1); /* the finished blob nothing names */
    expect_kept(before, snapshot());
    expect_whole();
}

TEST_F(Killed, MidPushNothingStoredIsLostAndCollectionIsSafe)
{
    const auto before = snapshot();
    for (int pause : {0, 30, 150}) kill_loop_once(pause);

    expect_kept(before, snapshot());
    expect_whole();
    char type[127], digest[DIGEST_TEXT_CAP];
    const char *body = reg_manifest_get("loop", "t", type, digest);
    ASSERT_NE(body, nullptr) << error();
    EXPECT_EQ(digest_of(body), digest);
    EXPECT_NE(reg_tags_list_json("loop"), nullptr) << error();
    EXPECT_NE(reg_catalog_json(0, nullptr), nullptr) << error();

    age_everything();
    auto report = gc(0);
    ASSERT_TRUE(report.parsed) << error();
    expect_kept(before, snapshot());
    expect_whole();
    EXPECT_EQ(reg_manifest_get("loop", "t", type, digest) != nullptr, true) << error();
    /* The killed uploads went as stale; nothing is left for a second run. */
    EXPECT_TRUE(fs::is_empty(fs::path(root) / "uploads"));
    EXPECT_EQ(gc(0)["blobs_deleted"], 0);
}

TEST_F(Killed, MidSweepALaterCollectionFinishesTheWork)
{
    constexpr int kOrphans = 300; /* past the first periodic step of 256 */
    for (int i = 0; i < kOrphans; ++i) store("orphan " + std::to_string(i));
    old_blobs();
    const auto before = snapshot();
    ASSERT_TRUE(run_to_death("gc"));
    EXPECT_FALSE(fs::exists(state())) << "the collection was not killed";
    expect_whole();

    /* The dead run's snapshot still says it runs; a new run is not held
     * back by it and removes the rest. */
    auto progress = gctest::parse_doc(reg_gc_progress_json());
    EXPECT_EQ(progress["running"], 1);
    auto report = gc(0);
    EXPECT_EQ(report["blobs_total"] - report["blobs_deleted"], 5); /* v1: 3, base: 2 */
    EXPECT_EQ(blob_files(), 5u);
    EXPECT_EQ(gctest::parse_doc(reg_gc_progress_json())["running"], 0);
    std::map<std::string, std::string> referenced;
    for (auto &[k, v] : before)
        if (k.rfind("repositories/", 0) == 0) referenced[k] = v;
    expect_kept(referenced, snapshot());
    expect_whole();
}
#else
TEST(Killed, NeedsSignals)
{
    GTEST_SKIP() << "killing a process part-way needs POSIX signals (not on Windows)";
}
#endif

} // namespace
