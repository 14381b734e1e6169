/*
 * admin_gc.cpp - the subcommands that remove things: gc (garbage
 * collection, followed through the engine's progress snapshots) and
 * retention (old tags by the configured or given policy).
 */
#include "admin.h"
#include "admin_json.h"
#include "admin_progress.h"

#include "oci_common.h"
#include "reg_storage.h"
#include "tv_cgi.h"

#include <cstdio>
#include <climits>
#include <cstring>

namespace
{

constexpr size_t kPhaseCap = 16;

/* What the progress callback keeps between snapshots. */
struct gc_follow {
    admin_bar bar;
    char phase[kPhaseCap] = "";
    int64_t phase_start_ms = 0; /* elapsed when the current phase began */
    int64_t total = -1;
};

/* Called by the engine with each snapshot, in this thread. */
void follow_gc(void *ctx, const char *snapshot)
{
    auto *f = static_cast<gc_follow *>(ctx);
    /* An interruption that came before the run cleared old cancel
     * markers would be lost: ask again, until the run has stopped. */
    if (admin_interrupted()) reg_gc_cancel();
    admin_doc doc = admin_json_parse(snapshot);
    yyjson_val *root = admin_json_root(doc);
    if (!root) return;
    const char *phase = admin_json_str(root, "phase", "");
    const int64_t elapsed = admin_json_int(root, "elapsed_ms");
    const bool changed = std::strcmp(phase, f->phase) != 0;
    if (changed) {
        tv_strlcpy(f->phase, phase, sizeof f->phase);
        f->phase_start_ms = elapsed;
    }
    admin_progress_view v{};
    v.phase = f->phase;
    /* The mark counts no blobs: its line shows the total found and time. */
    v.total = admin_json_int(root, "blobs_total");
    v.done = admin_json_int(root, "blobs_scanned");
    v.elapsed_ms = elapsed;
    v.rate_ms = elapsed - f->phase_start_ms;
    /* A new phase or the total found are drawn at once, whatever the pace. */
    admin_bar_draw(&f->bar, &v, changed || v.total != f->total ? 1 : 0);
    f->total = v.total;
}

const char *plural(int64_t n, const char *one, const char *many)
{
    return n == 1 ? one : many;
}

void print_gc_summary(yyjson_val *r)
{
    const bool dry = admin_json_true(r, "dry_run");
    const bool cancelled = admin_json_true(r, "cancelled");
    const int64_t total = admin_json_int(r, "blobs_total");
    const int64_t deleted = admin_json_int(r, "blobs_deleted");
    const int64_t stale = admin_json_int(r, "stale_uploads");
    char freed[OCI_FMT_BYTES_CAP], stale_bytes[OCI_FMT_BYTES_CAP], took[ADMIN_DURATION_CAP];
    oci_fmt_bytes(admin_json_int(r, "bytes_freed"), freed);
    oci_fmt_bytes(admin_json_int(r, "stale_upload_bytes"), stale_bytes);
    admin_fmt_duration(admin_json_int(r, "elapsed_ms"), took);
    std::printf("gc%s: %s%s %lld of %lld %s (%s), kept %lld; %s %lld stale %s (%s); %s%s\n",
                dry ? " (dry run)" : "", cancelled ? "cancelled: " : "",
                dry ? "would delete" : "deleted", static_cast<long long>(deleted),
                static_cast<long long>(total), plural(total, "blob", "blobs"), freed,
                static_cast<long long>(admin_json_int(r, "blobs_kept")),
                dry ? "would remove" : "removed", static_cast<long long>(stale),
                plural(stale, "upload", "uploads"), stale_bytes, took,
                cancelled ? "; run again to finish" : "");
}

int clamp_int(int64_t v)
{
    return v > INT_MAX ? INT_MAX : (v < 0 ? 0 : static_cast<int>(v));
}

} // namespace

int admin_cmd_gc(const admin_opts *opts)
{
    /* Ctrl-C stops the run at its next check instead of killing it. */
    admin_catch_interrupt();
    gc_follow follow;
    admin_bar_init(&follow.bar, stderr);
    reg_gc_on_progress(follow_gc, &follow);
    /* The settings were found valid when the store was opened, so the
     * window is within its bounds. */
    if (reg_gc_set_spare_seconds(oci_gc_spare_seconds()) != 0) {
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    admin_gc_running(1);
    const char *report = reg_gc_json(opts->dry_run);
    admin_gc_running(0);
    reg_gc_on_progress(nullptr, nullptr);
    admin_bar_clear(&follow.bar);
    if (!report) {
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    /* A dry run on a store it could not read whole says so here. */
    const char *warning = reg_storage_last_error();
    const bool incomplete = warning && *warning;
    admin_doc doc = admin_json_parse(report);
    yyjson_val *r = admin_json_root(doc);
    if (opts->json)
        std::printf("%s\n", report);
    else if (r)
        print_gc_summary(r);
    if (incomplete)
        admin_error(opts, admin_root(), "a real run would delete nothing: %s", warning);
    if (r && admin_json_true(r, "cancelled")) return ADMIN_FAILED;
    return incomplete ? ADMIN_PROBLEM : ADMIN_OK;
}

int admin_cmd_retention(const admin_opts *opts)
{
    const int keep = opts->keep_n >= 0 ? opts->keep_n : clamp_int(oci_retention_keep_n());
    const int days = opts->days >= 0 ? opts->days : clamp_int(oci_retention_days());
    const int protect =
        opts->protect_latest >= 0 ? opts->protect_latest : oci_retention_protect_latest();
    int truncated = 0;
    const char *report = reg_retention_json(opts->dry_run, keep, days, !protect, &truncated);
    if (!report) {
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    if (opts->json) {
        std::printf("%s\n", report);
        return ADMIN_OK;
    }
    admin_doc doc = admin_json_parse(report);
    yyjson_val *r = admin_json_root(doc);
    const bool dry = opts->dry_run != 0;
    yyjson_val *list = yyjson_obj_get(r, "deleted");
    size_t i, n;
    yyjson_val *e;
    yyjson_arr_foreach(list, i, n, e)
    {
        const int64_t age = admin_json_int(e, "age_days");
        std::printf("%s %s:%s (%s, %lld %s old)\n", dry ? "would remove" : "removed",
                    admin_json_str(e, "repository"), admin_json_str(e, "tag"),
                    admin_json_str(e, "digest"), static_cast<long long>(age),
                    plural(age, "day", "days"));
    }
    const int64_t gone = admin_json_int(r, "tags_deleted");
    if (truncated)
        std::printf("... and %lld more not listed\n",
                    static_cast<long long>(gone - static_cast<int64_t>(yyjson_arr_size(list))));
    const int64_t total = admin_json_int(r, "tags_total");
    const int64_t spared = admin_json_int(r, "latest_protected");
    std::printf("retention%s: %s %lld of %lld %s in %lld %s (keep %d, days %d, latest %s", dry ? " (dry run)" : "",
                dry ? "would remove" : "removed", static_cast<long long>(gone),
                static_cast<long long>(total), plural(total, "tag", "tags"),
                static_cast<long long>(admin_json_int(r, "repos_scanned")),
                plural(admin_json_int(r, "repos_scanned"), "repository", "repositories"), keep,
                days, protect ? "protected" : "not protected");
    if (spared > 0) std::printf(", %lld spared", static_cast<long long>(spared));
    std::printf(")%s\n", keep == 0 && days == 0 ? "; no policy set, nothing to remove"
                         : gone > 0 && !dry      ? "; gc frees their blobs"
                                                 : "");
    return ADMIN_OK;
}
