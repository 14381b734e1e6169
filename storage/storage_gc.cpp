/*
 * storage_gc.cpp - garbage collection: stale uploads, the mark over every
 * manifest body, the sweep over every blob, and the report.
 *
 * Safety rules, each of which keeps a referenced blob from being deleted:
 *   - The mark sees every repository and every body (the full walk and
 *     full listings, not the capped ones of the catalog). What it still
 *     cannot see (an unreadable or unparsable body, an unlistable
 *     directory, a digest the set could not hold, a repository deeper than
 *     the walk goes) makes the mark incomplete, and a real run on an
 *     incomplete mark deletes nothing and fails, naming the first thing
 *     missed. A dry run reports as usual and leaves that message in the
 *     error slot.
 *   - The sweep spares every blob whose time is less than the spare window
 *     (reg_gc_set_spare_seconds) before the run started, or later: its
 *     manifest may still be on the way. Such blobs count as kept.
 *   - Uploads in progress do not hold a run back: a blob enters the store
 *     only by a finish, which gives it the current time, so what they
 *     become is young whenever the sweep meets it. Uploads untouched for
 *     kUploadStaleSecs are removed.
 *   - A push sets the time of every blob it names before it tests that the
 *     blob is stored, and the sweep takes a blob aside before it reads the
 *     time once more: a manifest stored after the mark keeps its blobs.
 *     (A process killed between the two steps leaves HEX.gc-PID behind.)
 * A dry run takes every decision a real run takes; it only skips removals.
 */
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "storage_gc.h"

namespace storage
{

namespace
{

constexpr std::string_view kPartSuffix = ".part";

/* Seconds before a run's start from which blobs are spared; set once by
 * the caller (registry-admin reads it from the settings). */
int64_t s_spare_seconds = REG_GC_SPARE_SECONDS_DEFAULT;

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

bool is_upload_name(const char *name)
{
    std::string_view n(name);
    return n.size() > kPartSuffix.size() && n.ends_with(kPartSuffix);
}

/* A file's last-write time, or -1 when it has none. */
int64_t file_time(const char *path, int64_t *size)
{
    plat_file_info info;
    if (plat_stat(path, &info) != 0) {
        if (size) *size = 0;
        return -1;
    }
    if (size) *size = info.size > 0 ? info.size : 0;
    return info.mtime >= 0 ? info.mtime : -1;
}

/* Adds the "digest" of v when v is an object holding it as a string. */
void add_member_digest(digest_set *set, yyjson_val *v)
{
    if (yyjson_is_obj(v)) hashset_add_digest(set, yyjson_get_str(yyjson_obj_get(v, "digest")));
}

void add_array_digests(digest_set *set, yyjson_val *arr)
{
    if (!yyjson_is_arr(arr)) return;
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(arr, i, n, v) add_member_digest(set, v);
}

} // namespace

/* ---- the reachable set ---------------------------------------------------- */

digest_set::~digest_set()
{
    std::free(items);
}

void hashset_add_digest(digest_set *set, const char *digest)
{
    if (!digest_text_valid(digest)) return;
    if (set->count == set->capacity) {
        int cap = set->capacity ? set->capacity * 2 : kDigestSetFirst;
        void *p = set->capacity <= INT32_MAX / 2
                      ? std::realloc(set->items, static_cast<size_t>(cap) * sizeof set->items[0])
                      : nullptr;
        if (!p) {
            set->dropped = true;
            return;
        }
        set->items = static_cast<char(*)[DIGEST_TEXT_CAP]>(p);
        set->capacity = cap;
    }
    copy_cut(set->items[set->count++], DIGEST_TEXT_CAP, digest);
}

int digest_cmp(const void *a, const void *b)
{
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

void digest_set_sort(digest_set *set)
{
    if (set->count >= 2) std::qsort(set->items, set->count, sizeof set->items[0], digest_cmp);
}

int digest_set_has(const digest_set &set, const char *digest)
{
    if (set.count == 0) return 0;
    return std::bsearch(digest, set.items, set.count, sizeof set.items[0], digest_cmp) ? 1 : 0;
}

void gc_add_manifest_digests(digest_set *set, yyjson_val *root)
{
    if (!yyjson_is_obj(root)) return;
    add_member_digest(set, yyjson_obj_get(root, "config"));
    add_array_digests(set, yyjson_obj_get(root, "layers"));
    add_array_digests(set, yyjson_obj_get(root, "manifests"));
}

namespace
{

/* ---- one run -------------------------------------------------------------- */

struct gc_run {
    gc_progress p;
    uint64_t start_tick = 0;
    uint64_t last_tick = 0;  /* of the last snapshot written */
    int32_t last_scanned = 0; /* blobs_scanned at that snapshot */
    int stale = 0;
    int64_t stale_bytes = 0;
    int reachable = 0;
    digest_set set;
    unseen_log unseen;
    dir_listing_full listing;
    dir_listing_full inner;
    char path[kPathCap];
    char sub[kPathCap];
};

void update_elapsed(gc_run &r, uint64_t tick)
{
    r.p.elapsed_ms = static_cast<int64_t>(tick - r.start_tick);
}

/* The periodic step of mark and sweep: a snapshot when one is due, then
 * the cancel test. true when a cancel was requested. */
bool periodic_step(gc_run &r)
{
    const uint64_t tick = plat_tick_ms();
    update_elapsed(r, tick);
    if (tick - r.last_tick >= kSnapshotEveryMs ||
        r.p.blobs_scanned - r.last_scanned >= kSnapshotEveryBlobs) {
        gc_write_snapshot(r.p);
        r.last_tick = tick;
        r.last_scanned = r.p.blobs_scanned;
    }
    if (gc_step_observer) gc_step_observer(r.p);
    return gc_cancel_requested() != 0;
}

/* Upload files of R/uploads, each with its time; f(path, time, size). */
template <class F> void each_upload(gc_run &r, F &&f)
{
    char dir[kPathCap];
    if (uploads_dir(dir) != 0 || list_dir_full(dir, &r.listing) != 0) return;
    for (int i = 0; i < r.listing.count(); ++i) {
        if (r.listing.is_dir(i) || !is_upload_name(r.listing.name(i))) continue;
        if (path_join(r.path, dir, r.listing.name(i)) != 0) continue;
        int64_t size = 0;
        const int64_t t = file_time(r.path, &size);
        if (t >= 0) f(r.path, t, size);
    }
}

/* Saved digests whose upload is gone (finished, cancelled or removed as
 * stale) and that no append touched within the window: a process that died
 * between its upload and its state leaves them, as do temporaries. */
void remove_orphaned_upload_states(gc_run &r, int64_t now)
{
    char dir[kPathCap], part[kPathCap];
    if (upload_state_dir(dir) != 0 || list_dir_full(dir, &r.listing) != 0) return;
    for (int i = 0; i < r.listing.count(); ++i) {
        const char *name = r.listing.name(i);
        if (r.listing.is_dir(i) || path_join(r.path, dir, name) != 0) continue;
        const bool upload_open = std::strlen(name) == kUploadIdLen && uuid_valid(name) &&
                                 upload_path_for_uuid(name, part) == 0 && plat_is_file(part);
        const int64_t t = file_time(r.path, nullptr);
        if (!upload_open && t >= 0 && now - t >= kUploadStaleSecs) plat_remove(r.path);
    }
    plat_rmdir(dir); /* only when nothing is left in it */
}

/* Counts stale uploads and, in a real run, removes them. */
void remove_stale_uploads(gc_run &r)
{
    const int64_t now = plat_time();
    each_upload(r, [&](const char *path, int64_t t, int64_t size) {
        if (now - t < kUploadStaleSecs) return;
        ++r.stale;
        r.stale_bytes += size;
        if (!r.p.dry_run && plat_is_file(path)) plat_remove(path);
    });
    if (!r.p.dry_run) remove_orphaned_upload_states(r, now);
}

/* Calls f(fan_dir, blob_name, digest) for every blob of every fan-out
 * directory of every algorithm, and done(fan_dir) after each fan-out
 * directory; f returns false to stop. r.path holds the fan-out directory
 * meanwhile. */
template <class F, class Done> void each_blob(gc_run &r, F &&f, Done &&done)
{
    char top[kPathCap], digest[DIGEST_TEXT_CAP];
    for (digest_algorithm algorithm : kAlgorithms) {
        if (blob_algorithm_dir(algorithm, top) != 0 || list_dir_full(top, &r.listing) != 0)
            continue;
        for (int i = 0; i < r.listing.count(); ++i) {
            /* Files lying directly in blobs/ALG are no blobs. */
            if (!r.listing.is_dir(i) || path_join(r.path, top, r.listing.name(i)) != 0) continue;
            if (list_dir_full(r.path, &r.inner) != 0) continue;
            for (int j = 0; j < r.inner.count(); ++j) {
                if (r.inner.is_dir(j) || digest_of_name(algorithm, r.inner.name(j), digest) != 0)
                    continue;
                if (!f(r.path, r.inner.name(j), digest)) {
                    done(r.path);
                    return;
                }
            }
            done(r.path);
        }
    }
}

int count_blob_files(gc_run &r)
{
    int n = 0;
    each_blob(
        r,
        [&](const char *, const char *, const char *) {
            ++n;
            return true;
        },
        [](const char *) {});
    return n;
}

/* ---- mark ----------------------------------------------------------------- */

/* Reads one body and adds its digests. false when it was not read (then
 * it is not counted); unreadable and unparsable bodies are noted. */
bool mark_body(gc_run &r, const char *repo, const char *digest)
{
    if (manifest_body_path(repo, digest, r.sub) != 0) {
        r.unseen.note("manifest %s@%s has a path too long to read", repo, digest);
        return false;
    }
    size_t len = 0;
    std::unique_ptr<char, free_deleter> body(read_file_alloc(r.sub, &len));
    if (!body) {
        /* Deleted since the listing: it protects nothing any more. */
        plat_file_info info;
        if (plat_stat(r.sub, &info) == 0)
            r.unseen.note("manifest %s@%s cannot be read", repo, digest);
        return false;
    }
    std::unique_ptr<yyjson_doc, doc_deleter> doc(
        yyjson_read_opts(body.get(), len, 0, nullptr, nullptr));
    if (!doc)
        r.unseen.note("manifest %s@%s is not valid JSON", repo, digest);
    else
        gc_add_manifest_digests(&r.set, yyjson_doc_get_root(doc.get()));
    return true;
}

/* Marks every body of every repository. false when a cancel stopped it. */
bool mark(gc_run &r, const repo_list &repos)
{
    int bodies = 0;
    char digest[DIGEST_TEXT_CAP];
    for (int k = 0; k < repos.count(); ++k) {
        const char *repo = repos[k];
        for (digest_algorithm algorithm : kAlgorithms) {
            if (manifest_body_dir(repo, algorithm, r.path) != 0) {
                r.unseen.note("repository %s has a path too long to read", repo);
                continue;
            }
            if (list_dir_full(r.path, &r.listing) != 0) {
                /* Gone since the walk (a repository delete), or never
                 * made (no body of that algorithm), is no loss. */
                if (plat_is_dir(r.path))
                    r.unseen.note("manifests of repository %s cannot be listed", repo);
                continue;
            }
            for (int i = 0; i < r.listing.count(); ++i) {
                if (r.listing.is_dir(i) ||
                    digest_of_name(algorithm, r.listing.name(i), digest) != 0)
                    continue;
                if (!mark_body(r, repo, digest)) continue;
                if (++bodies % kGcStepEvery == 0 && periodic_step(r)) return false;
            }
        }
    }
    if (r.set.dropped) r.unseen.note("%s", "reachable set out of memory: digests dropped");
    return true;
}

/* ---- sweep ---------------------------------------------------------------- */

/* Removes the blob at r.sub unless a push has held it (set its time, see
 * reg_blob_hold in storage_blobs.cpp) since the sweep read its time: such a
 * push may have stored a manifest after the mark. The blob is first moved
 * aside under a name only this process uses, so a hold either reached it
 * before the move (and the time read now shows it) or failed (and the push
 * refuses). A held blob goes back; when a finish has stored the same
 * content again meanwhile, the copy aside is redundant. */
bool remove_unless_held(gc_run &r, int64_t spare_from)
{
    char aside[kPathCap];
    const int n = std::snprintf(aside, sizeof aside, "%s.gc-%ld", r.sub, plat_pid());
    if (n < 0 || static_cast<size_t>(n) >= sizeof aside) return false;
    if (plat_rename_noreplace(r.sub, aside) != 0) return false; /* gone or taken: kept */
    if (file_time(aside, nullptr) < spare_from && plat_remove(aside) == 0) return true;
    if (plat_rename_noreplace(aside, r.sub) != 0 && plat_is_file(r.sub)) plat_remove(aside);
    return false;
}

/* Deletes (or, dry, counts) every unreachable blob old enough to go.
 * false when a cancel stopped it. */
bool sweep(gc_run &r)
{
    const bool real = !r.p.dry_run;
    /* Blobs held at or after this time may belong to a manifest still
     * being pushed. */
    const int64_t spare_from = r.p.started_unix - s_spare_seconds + 1;
    bool cancelled = false;
    each_blob(
        r,
        [&](const char *fan, const char *name, const char *digest) {
            ++r.p.blobs_scanned;
            if (digest_set_has(r.set, digest)) {
                ++r.reachable;
                return true;
            }
            int64_t size = 0;
            int64_t t = -1;
            if (path_join(r.sub, fan, name) == 0) t = file_time(r.sub, &size);
            /* No time, or too young: kept. */
            if (t >= 0 && t < spare_from && (!real || remove_unless_held(r, spare_from))) {
                ++r.p.blobs_deleted;
                r.p.bytes_freed += size;
            }
            if (r.p.blobs_scanned % kGcStepEvery == 0 && periodic_step(r)) {
                cancelled = true;
                return false;
            }
            return true;
        },
        [&](const char *fan) {
            /* Succeeds only when the directory is empty. */
            if (real) plat_rmdir(fan);
        });
    return !cancelled;
}

/* ---- finish --------------------------------------------------------------- */

void finish(gc_run &r)
{
    r.p.running = 0;
    copy_cut(r.p.phase, sizeof r.p.phase, "done");
    update_elapsed(r, plat_tick_ms());
    gc_write_snapshot(r.p);
    gc_cancel_clear();
}

/* "mark incomplete, nothing deleted: <first thing missed>[ (and N more)]" */
void set_unseen_error(const unseen_log &u)
{
    if (u.count > 1)
        set_error("mark incomplete, nothing deleted: %s (and %d more)", u.first, u.count - 1);
    else
        set_error("mark incomplete, nothing deleted: %s", u.first);
}

const char *report(const gc_run &r)
{
    std::snprintf(s_result, kResultCap,
                  "{\"dry_run\":%s,\"blobs_total\":%" PRId32 ",\"blobs_reachable\":%d"
                  ",\"blobs_deleted\":%" PRId32 ",\"bytes_freed\":%" PRId64
                  ",\"blobs_kept\":%" PRId32 ",\"stale_uploads\":%d,\"stale_upload_bytes\":%" PRId64
                  ",\"cancelled\":%s,\"elapsed_ms\":%" PRId64 "}",
                  r.p.dry_run ? "true" : "false", r.p.blobs_total, r.reachable, r.p.blobs_deleted,
                  r.p.bytes_freed, r.p.blobs_total - r.p.blobs_deleted, r.stale, r.stale_bytes,
                  r.p.cancelled ? "true" : "false", r.p.elapsed_ms);
    return s_result;
}

} // namespace

} // namespace storage

using namespace storage;

extern "C" int reg_gc_set_spare_seconds(int64_t seconds)
{
    if (seconds < 1) {
        set_error("spare window must be at least 1 second, not %lld",
                  static_cast<long long>(seconds));
        return -1;
    }
    s_spare_seconds = seconds;
    return 0;
}

extern "C" const char *reg_gc_json(int dry_run)
{
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    /* About 1 MiB of paths and listings: on the heap, not the stack. */
    std::unique_ptr<gc_run> run(new (std::nothrow) gc_run);
    if (!run) {
        set_error("out of memory");
        return nullptr;
    }
    gc_run &r = *run;
    r.p.dry_run = dry_run ? 1 : 0;

    remove_stale_uploads(r);
    gc_cancel_clear(); /* a cancel asked for before the run is not for it */

    r.p.running = 1;
    copy_cut(r.p.phase, sizeof r.p.phase, "walking");
    r.p.started_unix = plat_time();
    r.start_tick = plat_tick_ms();
    gc_write_snapshot(r.p);

    r.p.blobs_total = count_blob_files(r);
    r.last_tick = plat_tick_ms();
    update_elapsed(r, r.last_tick);
    gc_write_snapshot(r.p);

    repo_list repos;
    if (repos.collect(&r.unseen) != 0) {
        set_error("out of memory");
        return nullptr;
    }
    bool complete = mark(r, repos);
    digest_set_sort(&r.set);
    copy_cut(r.p.phase, sizeof r.p.phase, "deleting");

    if (!complete || gc_cancel_requested()) {
        r.p.cancelled = 1;
    } else if (r.unseen.count > 0 && !r.p.dry_run) {
        finish(r);
        set_unseen_error(r.unseen);
        return nullptr;
    } else if (!sweep(r)) {
        r.p.cancelled = 1;
    }
    finish(r);
    if (r.p.blobs_deleted > 0 && !r.p.dry_run) usage_forget();
    const char *doc = report(r);
    /* Only a real run changes the store, so only its report is kept. */
    if (!r.p.dry_run) gc_keep_report(doc);
    /* A dry run on an incomplete mark says why a real run would refuse. */
    if (r.unseen.count > 0)
        set_unseen_error(r.unseen);
    else
        s_error[0] = '\0';
    return doc;
}
