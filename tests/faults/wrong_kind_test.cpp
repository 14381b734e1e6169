/* Entries of the wrong kind: a file where the layout has a directory, or a
 * directory where it has a file. Every operation answers (success, or
 * failure with a message), and everything else stored stays as it was. */
#include <gtest/gtest.h>

#include <string>

#include "fault_fixture.h"
#include "v2_healthz.h"

namespace
{

using namespace faulttest;
using testsupport::ScopedEnv;

class WrongKind : public FaultStore
{
  protected:
    /* Replaces path with an empty directory, or with a small file. */
    static void replace(const fs::path &path, bool with_dir)
    {
        fs::remove_all(path);
        if (with_dir)
            fs::create_directories(path / "inner");
        else
            testsupport::write_text(path, "not what the layout expects");
    }

    /* Every operation once; a failure must say why. The store was
     * initialised before the fault; the probe initialises it again. */
    void exercise_everything()
    {
        auto answered = [](int rc, const char *what) {
            if (rc != 0) {
                EXPECT_EQ(rc, -1) << what;
                EXPECT_STRNE(reg_storage_last_error(), "") << what;
            }
        };
        char id[37] = "", out[DIGEST_TEXT_CAP], digest[DIGEST_TEXT_CAP], type[127];
        const int started = reg_blob_start_upload(id);
        answered(started, "start");
        if (started == 0) {
            answered(reg_blob_append_chunk(id, "new layer", 9), "append");
            int64_t n;
            answered(reg_blob_upload_size(id, &n), "size");
            answered(reg_blob_finish_upload(id, digest_of("new layer").c_str(), out), "finish");
            answered(reg_blob_cancel_upload(id), "cancel");
        }
        /* Content that lands in v1's own fan-out directory and blob file. */
        for (const std::string &content : {std::string("config of app v1"),
                                           std::string("layer 0 of app v1")}) {
            if (reg_blob_start_upload(id) != 0) break;
            answered(reg_blob_append_chunk(id, content.data(), content.size()), "append");
            answered(reg_blob_finish_upload(id, digest_of(content).c_str(), out), "finish again");
            answered(reg_blob_cancel_upload(id), "cancel");
        }
        for (auto &b : v1.blobs) {
            EXPECT_GE(reg_blob_exists(b.c_str()), -1);
            reg_blob_get_size(b.c_str());
            char path[4096];
            answered(reg_blob_get_filepath(b.c_str(), path, sizeof path) == 0 ? 0 : -1, "path");
        }
        const std::string body = manifest_json(base.blobs);
        answered(reg_manifest_put("app", "v2", body.data(), body.size(), nullptr, digest), "put");
        answered(reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest),
                 "put over a tag");
        answered(reg_manifest_put("other", "t", body.data(), body.size(), nullptr, digest),
                 "put new");
        answered(reg_manifest_get("app", "v1", type, digest) ? 0 : -1, "get");
        answered(reg_manifest_get("app", v1.manifest.c_str(), type, digest) ? 0 : -1, "get");
        answered(reg_tags_list_json("app") ? 0 : -1, "tags");
        answered(reg_catalog_json(0, nullptr) ? 0 : -1, "catalog");
        answered(reg_storage_get_stats_json() ? 0 : -1, "stats");
        answered(reg_gc_json(1) ? 0 : -1, "dry gc");
        answered(reg_gc_json(0) ? 0 : -1, "gc");
        answered(reg_gc_progress_json() ? 0 : -1, "progress");
        answered(reg_gc_cancel(), "gc cancel");
        int truncated;
        answered(reg_retention_json(1, 1, 0, 1, &truncated) ? 0 : -1, "retention");

        ScopedEnv env("REGISTRY_STORAGE_ROOT", root.c_str());
        health_report r;
        reg_health_check(&r);
        if (!r.ok) {
            EXPECT_STRNE(r.reason, "");
        }
    }
};

TEST_F(WrongKind, EveryOperationAnswersAndNothingElseIsLost)
{
    const std::string cfg = v1.blobs[0].substr(7), layer = v1.blobs[1].substr(7);
    const std::string v1_hex = v1.manifest.substr(7);
    struct {
        const char *what;
        std::string path;  /* under the root */
        bool with_dir;
        std::string spoils; /* stored paths the fault itself takes away */
        bool refuses_init = false; /* a top directory of the layout */
    } cases[] = {
        {"blob file as a directory", "blobs/sha256/" + cfg.substr(0, 2) + "/" + cfg, true,
         "sha256/" + cfg.substr(0, 2) + "/" + cfg},
        {"fan-out directory as a file", "blobs/sha256/" + layer.substr(0, 2), false,
         "sha256/" + layer.substr(0, 2) + "/"},
        {"_manifests as a file", "repositories/app/_manifests", false,
         "repositories/app/_manifests/"},
        {"manifest body as a directory", "repositories/app/_manifests/" + v1_hex, true,
         "repositories/app/_manifests/" + v1_hex},
        {"tag link as a directory", "repositories/app/_manifests/tags/v1/current/link", true,
         "repositories/app/_manifests/tags/v1/"},
        {"tags directory as a file", "repositories/app/_manifests/tags", false,
         "repositories/app/_manifests/tags/"},
        {"uploads directory as a file", "uploads", false, "", true},
        {"repositories directory as a file", "repositories", false, "repositories/", true},
        {"_gc as a file", "_gc", false, ""},
        {"GC snapshot as a directory", "_gc/progress.json", true, ""},
        {"first_seen as a directory", "_health/first_seen", true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        fs::remove_all(root);
        SetUp();
        {
            ScopedEnv env("REGISTRY_STORAGE_ROOT", root.c_str());
            health_report r;
            ASSERT_EQ(reg_health_check(&r), 1) << r.reason; /* makes _health/first_seen */
            ASSERT_EQ(reg_storage_init(root.c_str()), 0);
        }
        ASSERT_NE(reg_gc_json(1), nullptr) << error(); /* makes _gc/progress.json */
        const auto before = snapshot();
        replace(fs::path(root) / c.path, c.with_dir);

        exercise_everything();
        /* A top directory of the wrong kind: the store does not come up,
         * and the probe says so; nothing is touched. */
        const int init = reg_storage_init(root.c_str());
        if (c.refuses_init) {
            EXPECT_EQ(init, -1);
            EXPECT_EQ(error(), "mkdirs failed: " + storetest::join(root, c.path));
            ScopedEnv env("REGISTRY_STORAGE_ROOT", root.c_str());
            health_report r;
            EXPECT_EQ(reg_health_check(&r), 0);
            EXPECT_STREQ(r.reason, "init_failed");
        } else {
            ASSERT_EQ(init, 0) << error();
        }

        /* The put moved tag v1; nothing else the fault did not touch changed. */
        std::vector<std::string> except{"repositories/app/_manifests/tags/v1/"};
        if (!c.spoils.empty()) except.push_back(c.spoils);
        expect_kept(before, snapshot(), except);
        if (init != 0) continue;
        char type[127], digest[DIGEST_TEXT_CAP];
        if (c.spoils.rfind("repositories/", 0) != 0) {
            EXPECT_NE(reg_manifest_get("lib/base", "stable", type, digest), nullptr) << error();
        }
        for (auto &b : base.blobs) EXPECT_EQ(reg_blob_exists(b.c_str()), 1) << b;
        expect_blobs_verify(root);
    }
}

} // namespace
