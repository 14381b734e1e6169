/* A collection run: stale uploads and runs while others are in progress,
 * the sweep with its spare window and periodic steps, cancels, holds made
 * during a run, the report and the final snapshot. The mark's inputs are in
 * storage_gc_mark_test.cpp. */
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "gc_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using gctest::age;
using gctest::parse_doc;
using testsupport::write_text;

using Gc = gctest::GcStore;

TEST(GcUninitialised, FailsAndTouchesNothing)
{
    reg_storage_cleanup();
    EXPECT_EQ(reg_gc_json(0), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

TEST_F(Gc, AnEmptyStoreGivesTheExactReport)
{
    const char *doc = reg_gc_json(0);
    ASSERT_NE(doc, nullptr) << error();
    const std::string text = doc;
    const std::string elapsed = std::to_string(parse_doc(doc)["elapsed_ms"]);
    EXPECT_EQ(text, "{\"dry_run\":false,\"blobs_total\":0,\"blobs_reachable\":0,"
                    "\"blobs_deleted\":0,\"bytes_freed\":0,\"blobs_kept\":0,"
                    "\"stale_uploads\":0,\"stale_upload_bytes\":0,\"cancelled\":false,"
                    "\"elapsed_ms\":" +
                        elapsed + "}");
}

TEST_F(Gc, SuccessEmptiesTheErrorSlot)
{
    EXPECT_EQ(reg_blob_exists("sha256:nope"), -1);
    ASSERT_STRNE(reg_storage_last_error(), "");
    ASSERT_NE(reg_gc_json(1), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "");
}

/* ---- uploads -------------------------------------------------------------- */

TEST_F(Gc, StaleUploadsAreRemovedByARealRunAndCountedByBoth)
{
    const std::string id = upload(std::string(1234, 'u'));
    age(upload_path(id), 20 * 60);
    for (int dry : {1, 0}) {
        const auto v = gc(dry);
        EXPECT_EQ(v["stale_uploads"], 1) << "dry " << dry;
        EXPECT_EQ(v["stale_upload_bytes"], 1234) << "dry " << dry;
        EXPECT_EQ(fs::exists(upload_path(id)), dry == 1);
    }
    EXPECT_EQ(gc(0)["stale_uploads"], 0);
}

/* Uploads in progress hold no run back: a registry that is never quiet is
 * collected all the same. Each upload is untouched for its age; only the
 * stale ones go, and the old garbage goes in the same run. */
TEST_F(Gc, ARunGoesOnWhileUploadsAreInProgressAndLeavesThem)
{
    struct {
        int64_t age;
        bool removed;
    } cases[] = {{0, false}, {10 * 60, false}, {899, false}, {-600, false}, {900, true}};
    const std::string garbage = store("unreferenced");
    old_blobs();
    ASSERT_EQ(reg_gc_cancel(), 0); /* asked before the run: not for it */
    for (auto c : cases) {
        /* Only a try within one clock second decides: the upload is made
         * afresh for each try, since a tick can age it past 900 seconds. */
        std::string id;
        const char *doc = nullptr;
        gctest::within_one_second([&] {
            if (!id.empty()) reg_blob_cancel_upload(id.c_str());
            id = upload("in flight");
            age(upload_path(id), c.age);
            doc = reg_gc_json(0);
        });
        ASSERT_NE(doc, nullptr) << "age " << c.age << ": " << error();
        const auto v = parse_doc(doc);
        EXPECT_EQ(v["cancelled"], 0);
        EXPECT_EQ(v["stale_uploads"], c.removed ? 1 : 0) << "age " << c.age;
        EXPECT_EQ(fs::exists(upload_path(id)), !c.removed) << "age " << c.age;
        EXPECT_FALSE(has(garbage)) << "age " << c.age;
        if (!c.removed) {
            EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
        }
    }
    /* What an upload left in progress becomes is held from its finish. */
    const std::string id = upload("finished after the run");
    age(upload_path(id), 899);
    gc(0);
    char out[DIGEST_TEXT_CAP];
    const std::string d = blobtest::digest_of("finished after the run");
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), d.c_str(), out), 0) << error();
    EXPECT_EQ(gc(0)["blobs_deleted"], 0);
    EXPECT_TRUE(has(d));
}

TEST_F(Gc, FilesThatAreNoUploadsAreIgnored)
{
    const fs::path uploads = fs::path(root) / "uploads";
    write_text(uploads / ".part", "five-byte name");
    write_text(uploads / "abc.tmp", "other suffix");
    fs::create_directories(uploads / "x.part");
    for (const char *n : {".part", "abc.tmp", "x.part"})
        age(uploads / n, 0);
    const auto v = gc(0);
    EXPECT_EQ(v["stale_uploads"], 0);
    for (const char *n : {".part", "abc.tmp", "x.part"})
        EXPECT_TRUE(fs::exists(uploads / n)) << n;
}

/* ---- sweep ---------------------------------------------------------------- */

TEST_F(Gc, WithoutRepositoriesEveryOldBlobGoes)
{
    const std::vector<std::string> blobs = {store("one"), store("two"), store("three!")};
    old_blobs();

    const auto dry = gc(1);
    EXPECT_EQ(dry["blobs_total"], 3);
    EXPECT_EQ(dry["blobs_deleted"], 3);
    EXPECT_EQ(dry["bytes_freed"], 3 + 3 + 6);
    EXPECT_EQ(dry["blobs_kept"], 0);
    for (const auto &d : blobs)
        EXPECT_TRUE(fs::exists(fan_dir(d))) << "a dry run removes nothing";

    const auto real = gc(0);
    EXPECT_EQ(real["blobs_deleted"], 3);
    EXPECT_EQ(real["bytes_freed"], 12);
    for (const auto &d : blobs) {
        EXPECT_FALSE(has(d));
        EXPECT_FALSE(fs::exists(fan_dir(d))) << "emptied fan-out directory stays";
    }
}

/* The window counts back from the run's start to each blob's time (its
 * last hold), by the length set, the default until one is. */
TEST_F(Gc, BlobsHeldWithinTheSpareWindowBeforeTheStartAreSpared)
{
    constexpr int64_t kDefault = REG_GC_SPARE_SECONDS_DEFAULT;
    struct {
        const char *content;
        int64_t window; /* 0: never set (so these cases come first) */
        int64_t age;
        bool kept;
    } cases[] = {
        {"just finished", 0, 0, true},
        {"an hour, by default", 0, 3600, true},
        {"almost two hours, by default", 0, kDefault - 60, true},
        {"from the future", 0, -3600, true},
        {"past the default", 0, kDefault + 60, false},
        {"a day", 0, 86400, false},
        {"within a short window", 10, 5, true},
        {"past a short window", 10, 15, false},
        {"an hour, past a 15-minute window", 900, 3600, false},
        {"a day, within a week", 604800, 86400, true},
    };
    for (auto c : cases) {
        if (c.window) {
            ASSERT_EQ(reg_gc_set_spare_seconds(c.window), 0);
        }
        const std::string d = store(c.content);
        age(blob_path(d), c.age);
        for (int dry : {1, 0}) {
            const auto v = gc(dry);
            EXPECT_EQ(v["blobs_total"], 1) << c.content;
            EXPECT_EQ(v["blobs_deleted"], c.kept ? 0 : 1) << c.content << ", dry " << dry;
        }
        EXPECT_EQ(has(d), c.kept) << c.content;
        if (c.kept) {
            ASSERT_EQ(reg_blob_delete(d.c_str()), 0);
        }
    }
}

TEST_F(Gc, TheSpareWindowCanOnlyBeSetToASecondOrMore)
{
    for (int64_t bad : {int64_t{0}, int64_t{-1}, INT64_MIN}) {
        EXPECT_EQ(reg_gc_set_spare_seconds(bad), -1) << bad;
        EXPECT_EQ(error(), "spare window must be at least 1 second, not " + std::to_string(bad));
    }
    /* A refused value leaves the window as it was. */
    const std::string d = store("an hour old");
    age(blob_path(d), 3600);
    EXPECT_EQ(gc(0)["blobs_deleted"], 0);
    ASSERT_EQ(reg_gc_set_spare_seconds(1), 0);
    EXPECT_EQ(reg_gc_set_spare_seconds(0), -1);
    EXPECT_EQ(gc(0)["blobs_deleted"], 1);
}

/* A push's blob is held from its push (the finish or the mount), not from
 * its bytes' last write: the manifest that follows has a whole window,
 * even when the upload sat idle for most of one or when the same content
 * is stored already, old and named by nothing. */
TEST_F(Gc, AFinishedOrMountedBlobIsHeldForAWholeWindow)
{
    struct {
        const char *how;
        std::string digest;
    } cases[] = {{"upload idle for 890 s, then finished", ""},
                 {"content stored a day ago, uploaded again", ""},
                 {"content stored a day ago, mounted", ""}};
    const int64_t t0 = plat_time();

    const std::string idle = "idle upload";
    const std::string id = upload(idle);
    age(upload_path(id), 890);
    cases[0].digest = blobtest::digest_of(idle);
    char out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), cases[0].digest.c_str(), out), 0) << error();

    cases[1].digest = store("stored again");
    age(blob_path(cases[1].digest), 86400);
    EXPECT_EQ(store("stored again"), cases[1].digest);

    cases[2].digest = store("mounted");
    age(blob_path(cases[2].digest), 86400);
    EXPECT_EQ(reg_blob_hold(cases[2].digest.c_str()), 1);

    for (const auto &c : cases) {
        plat_file_info info{};
        ASSERT_EQ(plat_stat(blob_path(c.digest).c_str(), &info), 0) << c.how;
        EXPECT_GE(info.mtime, t0) << c.how << ": the window starts at the push";
    }
    const auto v = gc(0);
    EXPECT_EQ(v["blobs_deleted"], 0);
    for (const auto &c : cases)
        EXPECT_TRUE(has(c.digest)) << c.how;
}

TEST_F(Gc, HoldingAMissingOrInvalidBlob)
{
    const std::string missing = "sha256:" + std::string(64, '0');
    EXPECT_EQ(reg_blob_hold(missing.c_str()), 0);
    EXPECT_EQ(reg_blob_hold("sha256:nope"), -1);
    EXPECT_EQ(reg_blob_hold(nullptr), -1);
}

TEST_F(Gc, TheSpareWindowEndsExactlyItsLengthBeforeTheStart)
{
    for (int64_t window : {int64_t{REG_GC_SPARE_SECONDS_DEFAULT}, int64_t{900}, int64_t{5}}) {
        ASSERT_EQ(reg_gc_set_spare_seconds(window), 0);
        for (int64_t a : {window - 1, window}) {
            const std::string d = store("boundary " + std::to_string(a));
            gctest::within_one_second([&] {
                age(blob_path(d), a);
                gc(0);
            });
            EXPECT_EQ(has(d), a == window - 1) << "window " << window << ", age " << a;
        }
    }
}

TEST_F(Gc, BlobFilesAreOnlyWhatLooksLikeOne)
{
    const std::string hex(64, 'a'), upper(64, 'A');
    const fs::path top = fs::path(root) / "blobs" / "sha256";
    const struct {
        fs::path path;
        bool is_blob;
    } cases[] = {
        {top / "aa" / hex, true},
        {top / "zz" / hex, true},    /* fan-out directory of any name */
        {top / "ad" / upper, false}, /* own fan-out: Windows folds it onto the first */
        {top / "aa" / (hex + "0"), false},
        {top / "aa" / hex.substr(1), false},
        {top / "aa" / (hex + ".tmp"), false},
        {top / hex, false}, /* directly in blobs/sha256 */
    };
    for (const auto &c : cases) {
        write_text(c.path, "x");
        age(c.path, gctest::kOld);
    }
    fs::create_directories(top / "ab" / std::string(64, 'b')); /* a directory, not a blob */
    fs::create_directories(top / "cc");                        /* an empty fan-out */

    EXPECT_EQ(gc(1)["blobs_total"], 2);
    const auto v = gc(0);
    EXPECT_EQ(v["blobs_total"], 2);
    EXPECT_EQ(v["blobs_deleted"], 2);
    for (const auto &c : cases)
        EXPECT_EQ(fs::exists(c.path), !c.is_blob) << c.path;
    EXPECT_TRUE(fs::is_directory(top / "ab" / std::string(64, 'b')));
    EXPECT_FALSE(fs::exists(top / "cc"));
    EXPECT_FALSE(fs::exists(top / "zz"));
}

TEST_F(Gc, TheSameLayerInTwoManifestsIsReachedOnce)
{
    const std::string shared = store("shared layer");
    const std::string c1 = store("config 1"), c2 = store("config 2");
    put("app", "v1", manifest_json({c1, shared}));
    put("tool", "v1", manifest_json({c2, shared}));
    const std::string garbage = store("garbage");
    old_blobs();

    const auto v = gc(0);
    EXPECT_EQ(v["blobs_total"], 4);
    EXPECT_EQ(v["blobs_reachable"], 3);
    EXPECT_EQ(v["blobs_deleted"], 1);
    EXPECT_EQ(v["blobs_kept"], 3);
    for (const auto &d : {shared, c1, c2})
        EXPECT_TRUE(has(d));
    EXPECT_FALSE(has(garbage));
}

/* A store where every kind of blob and upload is present; a dry run and a
 * real run must agree on every number, and the real run must delete
 * exactly the old unreferenced blobs. */
TEST_F(Gc, ADryRunDecidesExactlyLikeARealRun)
{
    const gctest::image tagged = push("library/app", "latest", 3, "app");
    const gctest::image untagged = push("library/app", "", 1, "app untagged");
    const gctest::image index_child = push("multi", "amd64", 1, "child");
    put("multi", "all",
        "{\"schemaVersion\":2,\"manifests\":[{\"digest\":\"" + index_child.manifest + "\"}]}");
    std::vector<std::string> garbage, young;
    for (int i = 0; i < 5; ++i)
        garbage.push_back(store("garbage " + std::to_string(i)));
    old_blobs();
    for (int i = 0; i < 2; ++i)
        young.push_back(store("young " + std::to_string(i)));
    const std::string stale = upload("stale upload");
    age(upload_path(stale), 7200);

    const auto dry = gc(1);
    const auto real = gc(0);
    for (const char *k : {"blobs_total", "blobs_reachable", "blobs_deleted", "bytes_freed",
                          "blobs_kept", "stale_uploads", "stale_upload_bytes", "cancelled"})
        EXPECT_EQ(dry[k], real[k]) << k;
    EXPECT_EQ(dry["dry_run"], 1);
    EXPECT_EQ(real["dry_run"], 0);
    EXPECT_EQ(real["blobs_total"], 4 + 2 + 2 + 5 + 2);
    EXPECT_EQ(real["blobs_reachable"], 8);
    EXPECT_EQ(real["blobs_deleted"], 5);
    EXPECT_EQ(real["stale_uploads"], 1);

    for (const auto *img : {&tagged, &untagged, &index_child})
        for (const auto &d : img->blobs)
            EXPECT_TRUE(has(d)) << d;
    for (const auto &d : young)
        EXPECT_TRUE(has(d)) << d;
    for (const auto &d : garbage)
        EXPECT_FALSE(has(d)) << d;
    EXPECT_EQ(blob_files(), 10u);
}

/* ---- periodic steps and cancels -------------------------------------------- */

struct step_log {
    std::vector<std::string> phases;
    std::vector<int> scanned;
    std::string cancel_in; /* reg_gc_cancel at the first step of this phase */
};
step_log *g_steps;

void record_step(const gc_progress &p)
{
    g_steps->phases.emplace_back(p.phase);
    g_steps->scanned.push_back(p.blobs_scanned);
    if (g_steps->cancel_in == p.phase) {
        EXPECT_EQ(reg_gc_cancel(), 0);
        g_steps->cancel_in.clear();
    }
}

class GcSteps : public gctest::GcStore
{
  protected:
    void SetUp() override
    {
        GcStore::SetUp();
        g_steps = &steps;
        gc_step_observer = record_step;
    }
    /* n unreferenced blobs, old enough to go. */
    std::vector<std::string> garbage(int n)
    {
        std::vector<std::string> out;
        for (int i = 0; i < n; ++i)
            out.push_back(store("garbage blob " + std::to_string(i)));
        old_blobs();
        return out;
    }
    step_log steps;
};

TEST_F(GcSteps, TheSweepStepsEvery256UnreachableBlobs)
{
    garbage(600);
    const auto v = gc(1);
    EXPECT_EQ(v["blobs_deleted"], 600);
    EXPECT_EQ(steps.scanned, (std::vector<int>{256, 512}));
    EXPECT_EQ(steps.phases, (std::vector<std::string>{"deleting", "deleting"}));
}

TEST_F(GcSteps, AReachableBlobAtAMultipleOf256TakesNoStep)
{
    /* Every blob reachable: the counts pass 256 without a step. */
    std::vector<std::string> blobs;
    for (int i = 0; i < 300; ++i)
        blobs.push_back(store("layer " + std::to_string(i)));
    put("big", "v1", manifest_json(blobs));
    old_blobs();
    const auto v = gc(0);
    EXPECT_EQ(v["blobs_reachable"], 300);
    EXPECT_TRUE(steps.scanned.empty());
}

TEST_F(GcSteps, ACancelDuringTheSweepStopsItAtTheNextStep)
{
    const gctest::image kept = push("app", "v1", 2, "app");
    const std::vector<std::string> blobs = garbage(700);
    steps.cancel_in = "deleting";

    const auto v = gc(0);
    EXPECT_EQ(v["cancelled"], 1);
    /* At 256, or at 512 when the 256th blob examined was a reachable one. */
    ASSERT_EQ(steps.scanned.size(), 1u) << "no step after the cancel";
    const int at = steps.scanned[0];
    EXPECT_TRUE(at == 256 || at == 512) << at;
    /* The blobs examined were decided; the rest were not looked at. */
    EXPECT_EQ(v["blobs_deleted"] + v["blobs_reachable"], at);
    EXPECT_EQ(v["blobs_kept"], v["blobs_total"] - v["blobs_deleted"]);
    EXPECT_EQ(v["blobs_total"], 703);
    EXPECT_EQ(static_cast<int64_t>(blob_files()), v["blobs_kept"]);
    for (const auto &d : kept.blobs)
        EXPECT_TRUE(has(d));

    /* The marker is gone and the final snapshot tells of the cancel. */
    EXPECT_FALSE(fs::exists(gc_dir() / "cancel"));
    const auto p = parse_doc(reg_gc_progress_json());
    EXPECT_EQ(p.str.at("phase"), "done");
    EXPECT_EQ(p["running"], 0);
    EXPECT_EQ(p["cancelled"], 1);
    EXPECT_EQ(p["blobs_scanned"], at);
    EXPECT_EQ(p["blobs_deleted"], v["blobs_deleted"]);

    /* The next run is not cancelled and finishes the work. */
    const auto next = gc(0);
    EXPECT_EQ(next["cancelled"], 0);
    EXPECT_EQ(next["blobs_deleted"], 700 - v["blobs_deleted"]);
    EXPECT_EQ(blob_files(), 3u);
}

TEST_F(GcSteps, ACancelBeforeTheRunIsDiscarded)
{
    garbage(3);
    ASSERT_EQ(reg_gc_cancel(), 0);
    const auto v = gc(0);
    EXPECT_EQ(v["cancelled"], 0);
    EXPECT_EQ(v["blobs_deleted"], 3);
    EXPECT_FALSE(fs::exists(gc_dir() / "cancel"));
}

TEST_F(GcSteps, ACancelDuringTheMarkDeletesNothing)
{
    /* 256 manifest bodies reach the mark's periodic step. */
    for (int i = 0; i < 256; ++i)
        push("repo" + std::to_string(i % 4), "", 0, "image " + std::to_string(i));
    garbage(5);
    steps.cancel_in = "walking";

    const auto v = gc(0);
    EXPECT_EQ(steps.phases, (std::vector<std::string>{"walking"}));
    EXPECT_EQ(v["cancelled"], 1);
    EXPECT_EQ(v["blobs_deleted"], 0);
    EXPECT_EQ(v["blobs_reachable"], 0);
    EXPECT_EQ(v["blobs_total"], 261);
    EXPECT_EQ(blob_files(), 261u);
}

/* Holds made once the sweep is under way, as pushes naming old blobs do
 * after the mark: every blob held before the sweep reached it stays, even
 * with a window of one second. */
struct late_holds {
    std::vector<std::string> garbage;
    std::vector<std::string> held; /* stored when held */
};
late_holds *g_holds;

void hold_at_sweep_step(const gc_progress &p)
{
    if (!g_holds->held.empty() || std::string(p.phase) != "deleting") return;
    for (const auto &d : g_holds->garbage)
        if (reg_blob_hold(d.c_str()) == 1) g_holds->held.push_back(d);
}

TEST_F(GcSteps, BlobsHeldDuringTheSweepAreKept)
{
    late_holds holds{garbage(600), {}};
    g_holds = &holds;
    gc_step_observer = hold_at_sweep_step;
    ASSERT_EQ(reg_gc_set_spare_seconds(1), 0);

    const auto v = gc(0);
    ASSERT_FALSE(holds.held.empty()) << "the sweep took everything before its first step";
    EXPECT_EQ(v["blobs_deleted"] + static_cast<int64_t>(holds.held.size()), 600);
    for (const auto &d : holds.held)
        EXPECT_TRUE(has(d)) << d << " was held during the run";
    EXPECT_EQ(static_cast<int64_t>(blob_files()), static_cast<int64_t>(holds.held.size()));
    for (auto &e : fs::recursive_directory_iterator(fs::path(root) / "blobs"))
        EXPECT_EQ(e.path().filename().string().find(".gc-"), std::string::npos)
            << "a copy taken aside is left: " << e.path();
}

/* A push made while a collection marks, into a repository the mark has
 * not listed, naming blobs stored long ago that nothing else names (a
 * reused layer). */
struct late_push {
    std::string body;
    bool done = false;
};
late_push *g_late;

void push_at_mark_step(const gc_progress &p)
{
    if (g_late->done || std::string(p.phase) != "walking") return;
    g_late->done = true;
    char digest[DIGEST_TEXT_CAP] = "";
    EXPECT_EQ(reg_manifest_put("late", "v1", g_late->body.data(), g_late->body.size(), nullptr,
                               digest),
              0)
        << reg_storage_last_error();
}

TEST_F(Gc, APushDuringTheMarkKeepsTheOldBlobsItNames)
{
    /* 256 bodies reach the mark's periodic step, where the push is made. */
    for (int i = 0; i < 256; ++i)
        push("repo" + std::to_string(i % 4), "", 0, "image " + std::to_string(i));
    const std::vector<std::string> reused = {store("old config"), store("old layer")};
    old_blobs();
    late_push late{manifest_json(reused)};
    g_late = &late;
    gc_step_observer = push_at_mark_step;

    const auto v = gc(0);
    ASSERT_TRUE(late.done);
    EXPECT_EQ(v["blobs_deleted"], 0);
    for (const auto &d : reused)
        EXPECT_TRUE(has(d)) << "the late manifest names " << d;
    /* The next run marks the late manifest and still keeps them. */
    gc_step_observer = nullptr;
    old_blobs();
    EXPECT_EQ(gc(0)["blobs_deleted"], 0);
    for (const auto &d : reused)
        EXPECT_TRUE(has(d));
}

TEST_F(Gc, TheFinalSnapshotMatchesTheReport)
{
    store("garbage");
    old_blobs();
    const auto v = gc(1);
    const auto p = parse_doc(reg_gc_progress_json());
    EXPECT_EQ(p.str.at("phase"), "done");
    EXPECT_EQ(p["running"], 0);
    EXPECT_EQ(p["dry_run"], 1);
    for (const char *k : {"blobs_total", "blobs_deleted", "bytes_freed", "elapsed_ms"})
        EXPECT_EQ(p[k], v[k]) << k;
    EXPECT_EQ(p["blobs_scanned"], 1);
    EXPECT_GT(p["started_unix"], 0);
}

} // namespace

namespace
{

/* Foreign layers are named by manifests without being stored: the mark
 * finds no file for them, which is no failure, and one that was stored
 * anyway is kept like any other. */
TEST_F(Gc, ForeignLayersThatAreNotStoredTripNothing)
{
    const std::string config = store("config"), held = store("foreign but stored");
    const std::string absent = blobtest::digest_of("fetched from elsewhere");
    const std::string body =
        "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config +
        "\",\"size\":1},\"layers\":[{\"mediaType\":\"application/"
        "vnd.docker.image.rootfs.foreign.diff.tar.gzip\",\"digest\":\"" +
        absent +
        "\",\"size\":1,\"urls\":[\"https://example.com/l\"]},{\"mediaType\":\"application/"
        "vnd.oci.image.layer.nondistributable.v1.tar\",\"digest\":\"" +
        held + "\",\"size\":1}]}";
    put("win", "v1", body);
    const std::string garbage = store("garbage");
    old_blobs();

    const auto v = gc(0);
    EXPECT_EQ(v["blobs_total"], 3);
    EXPECT_EQ(v["blobs_deleted"], 1);
    EXPECT_EQ(v["blobs_kept"], 2);
    EXPECT_TRUE(has(config));
    EXPECT_TRUE(has(held));
    EXPECT_FALSE(has(garbage));
    EXPECT_FALSE(has(absent));
}

} // namespace
