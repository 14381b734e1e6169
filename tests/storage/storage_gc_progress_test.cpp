/* The progress snapshot and its reader, and the cancel marker. */
#include <gtest/gtest.h>

#include <string>

#include "gc_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using gctest::age;
using gctest::parse_doc;
using testsupport::write_text;

constexpr char kIdle[] =
    "{\"running\":false,\"phase\":\"idle\",\"blobs_scanned\":0,\"blobs_total\":0,"
    "\"blobs_deleted\":0,\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":0,"
    "\"elapsed_ms\":0,\"cancelled\":false}";

class Progress : public gctest::GcStore
{
  protected:
    fs::path snapshot() const { return gc_dir() / "progress.json"; }
    /* A snapshot file with the given text, written secs seconds ago. */
    void snapshot_file(const std::string &text, int64_t secs = 0) const
    {
        write_text(snapshot(), text);
        age(snapshot(), secs);
    }
    static std::string progress() { return reg_gc_progress_json(); }
};

TEST(ProgressUninitialised, IsIdleAndLooksAtNoFile)
{
    reg_storage_cleanup();
    EXPECT_STREQ(reg_gc_progress_json(), kIdle);
}

TEST_F(Progress, WithoutASnapshotIsIdle)
{
    EXPECT_EQ(progress(), kIdle);
}

TEST_F(Progress, ASnapshotReadsBackAsWritten)
{
    gc_progress p;
    p.running = 1;
    copy_cut(p.phase, sizeof p.phase, "deleting");
    p.blobs_scanned = 512;
    p.blobs_total = 70000;
    p.blobs_deleted = 300;
    p.bytes_freed = 5000000000LL; /* past 32 bits */
    p.dry_run = 1;
    p.started_unix = plat_time() - 3;
    p.elapsed_ms = 2999;
    ASSERT_EQ(gc_write_snapshot(p), 0);

    char expected[kSnapshotCap];
    gc_snapshot_json(p, expected);
    EXPECT_EQ(progress(), expected);
    EXPECT_EQ(testsupport::read_text(snapshot()), expected);
    /* No temporary is left beside it. */
    EXPECT_EQ(std::distance(fs::directory_iterator(gc_dir()), fs::directory_iterator()), 1);
}

TEST_F(Progress, FreshnessIs600Seconds)
{
    const std::string done = "{\"running\":false,\"phase\":\"done\",\"blobs_total\":7}";
    struct {
        int64_t age;
        bool fresh;
    } cases[] = {{0, true}, {599, true}, {-3600, true}, {601, false}, {86400, false}};
    for (auto c : cases) {
        gctest::within_one_second([&] {
            snapshot_file(done, c.age);
            const auto v = parse_doc(reg_gc_progress_json());
            EXPECT_EQ(v.str.at("phase"), c.fresh ? "done" : "idle") << "age " << c.age;
            EXPECT_EQ(v["blobs_total"], c.fresh ? 7 : 0) << "age " << c.age;
        });
    }
}

TEST_F(Progress, UnusableSnapshotsReadAsIdle)
{
    const std::string cases[] = {
        "",                                            /* truncated to nothing */
        "{\"running\":true,\"phase\":\"walk",          /* half-written */
        std::string("\x00\xff\xfe{\x01\x02", 6),       /* binary */
        "[\"running\",true]",                          /* not an object */
        "{\"running\":true} trailing",                 /* not one document */
        "\xef\xbb\xbf{\"running\":true,\"phase\":\"x\"}", /* bytes before the object */
    };
    for (const auto &text : cases) {
        snapshot_file(text);
        EXPECT_EQ(progress(), kIdle) << testing::PrintToString(text);
    }
}

TEST_F(Progress, AnEnormousSnapshotIsIdle)
{
    /* Sparse: past the 64 MiB read limit without writing it. */
    write_text(snapshot(), "{\"running\":true,\"phase\":\"walking\"}");
    fs::resize_file(snapshot(), (64u << 20) + 1);
    EXPECT_EQ(progress(), kIdle);
}

TEST_F(Progress, ADirectoryInPlaceOfTheSnapshotIsIdle)
{
    fs::create_directories(snapshot());
    EXPECT_EQ(progress(), kIdle);
}

TEST_F(Progress, MembersOfTheWrongTypeReadAsZero)
{
    snapshot_file("{\"running\":1,\"phase\":7,\"blobs_scanned\":\"5\",\"blobs_total\":2.5,"
                  "\"blobs_deleted\":1e3,\"bytes_freed\":null,\"dry_run\":\"true\","
                  "\"started_unix\":false,\"elapsed_ms\":-4,\"cancelled\":{}}");
    EXPECT_EQ(progress(), kIdle);
}

TEST_F(Progress, TheFirstOfTwoMembersCounts)
{
    snapshot_file("{\"phase\":\"done\",\"phase\":\"walking\",\"running\":false,"
                  "\"running\":true,\"blobs_total\":4,\"blobs_total\":9}");
    const auto v = parse_doc(reg_gc_progress_json());
    EXPECT_EQ(v.str.at("phase"), "done");
    EXPECT_EQ(v["running"], 0);
    EXPECT_EQ(v["blobs_total"], 4);
}

TEST_F(Progress, CountsKeepTheirLow32Bits)
{
    snapshot_file("{\"blobs_scanned\":4294967297,\"blobs_total\":-1,"
                  "\"blobs_deleted\":18446744073709551615,\"bytes_freed\":9007199254740993}");
    const auto v = parse_doc(reg_gc_progress_json());
    EXPECT_EQ(v["blobs_scanned"], 1);
    EXPECT_EQ(v["blobs_total"], -1);
    EXPECT_EQ(v["blobs_deleted"], -1);
    EXPECT_EQ(v["bytes_freed"], 9007199254740993LL);
}

TEST_F(Progress, ElapsedTimeFromTheStartWhenTheSnapshotHasNone)
{
    gctest::within_one_second([&] {
        const int64_t start = plat_time() - 42;
        snapshot_file("{\"running\":true,\"elapsed_ms\":0,\"started_unix\":" +
                      std::to_string(start) + "}");
        EXPECT_EQ(parse_doc(reg_gc_progress_json())["elapsed_ms"], 42000);
    });
    /* A start in the future gives 0, not a negative time or an overflow. */
    snapshot_file("{\"started_unix\":9223372036854775807}");
    EXPECT_EQ(parse_doc(reg_gc_progress_json())["elapsed_ms"], 0);
}

TEST_F(Progress, APhaseIsCutTo15BytesAndAlwaysEscaped)
{
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"abcdefghijklmnopqrst", "abcdefghijklmno"},
        {"a\\\"},\\\"x\\\":\\\"", "a\"},\"x\":\""}, /* cannot break out of the string */
        {"\\u0001\\n", "\x01\n"},
        /* 14 ASCII bytes and a 3-byte character: cut before the character. */
        {"abcdefghijklmn\xe2\x82\xac", "abcdefghijklmn"},
    };
    for (auto c : cases) {
        snapshot_file(std::string("{\"phase\":\"") + c.in + "\"}");
        const auto v = parse_doc(reg_gc_progress_json());
        ASSERT_TRUE(v.parsed) << reg_gc_progress_json();
        EXPECT_EQ(v.str.at("phase"), c.out);
    }
}

/* ---- the cancel marker ---------------------------------------------------- */

TEST(CancelUninitialised, Fails)
{
    reg_storage_cleanup();
    EXPECT_EQ(reg_gc_cancel(), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

using Cancel = Progress;

TEST_F(Cancel, CreatesAnEmptyMarkerAndTheStateDirectory)
{
    EXPECT_EQ(gc_cancel_requested(), 0);
    ASSERT_EQ(reg_gc_cancel(), 0) << reg_storage_last_error();
    EXPECT_EQ(fs::file_size(gc_dir() / "cancel"), 0u);
    EXPECT_EQ(gc_cancel_requested(), 1);
    /* Again over an existing marker, which is truncated. */
    write_text(gc_dir() / "cancel", "stale text");
    ASSERT_EQ(reg_gc_cancel(), 0);
    EXPECT_EQ(fs::file_size(gc_dir() / "cancel"), 0u);
}

TEST_F(Cancel, FailsWhereTheFilesCannotBe)
{
    write_text(gc_dir(), "a file where the directory belongs");
    EXPECT_EQ(reg_gc_cancel(), -1);
    EXPECT_STREQ(reg_storage_last_error(), "cannot create gc state directory");

    fs::remove(gc_dir());
    fs::create_directories(gc_dir() / "cancel");
    EXPECT_EQ(reg_gc_cancel(), -1);
    EXPECT_STREQ(reg_storage_last_error(), "cannot write gc cancel marker");
    /* A directory of that name is no cancel, and is left alone. */
    EXPECT_EQ(gc_cancel_requested(), 0);
    gc_cancel_clear();
    EXPECT_TRUE(fs::is_directory(gc_dir() / "cancel"));
}

} // namespace
