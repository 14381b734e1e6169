/*
 * storage_gc.h - internals of garbage collection, shared by the run
 * (storage_gc.cpp), the progress snapshot and cancel marker
 * (storage_gc_progress.cpp) and their tests.
 *
 * A run talks to other processes through two files in R/_gc: it writes
 * progress.json (read back by reg_gc_progress_json) and looks for cancel
 * (created by reg_gc_cancel). Nothing else is shared.
 */
#ifndef REGISTRY_STORAGE_GC_H
#define REGISTRY_STORAGE_GC_H

#include <cstddef>
#include <cstdint>

#include <yyjson.h>

#include "storage_internal.h"

namespace storage
{

/* ---- limits and windows --------------------------------------------------- */

constexpr int64_t kUploadStaleSecs = 900;   /* an upload untouched this long is removed */
constexpr int64_t kSnapshotFreshSecs = 600; /* older snapshots read as idle */
constexpr int kGcStepEvery = 256;           /* bodies or blobs between periodic steps */
constexpr uint64_t kSnapshotEveryMs = 200;  /* a snapshot when at least this much passed */
constexpr int kSnapshotEveryBlobs = 256;    /* ... or this many blobs were scanned */
constexpr size_t kSnapshotCap = 512;        /* progress document buffer */
constexpr size_t kPhaseCap = 16;            /* phase text, NUL included */
constexpr int kDigestSetFirst = 256;        /* first allocation of the reachable set */

/* ---- progress --------------------------------------------------------- */

/* The progress of one run, as written to and read back from the snapshot. */
struct gc_progress {
    int running = 0;
    char phase[kPhaseCap] = "idle"; /* "walking", "deleting", "done" or "idle" */
    int32_t blobs_scanned = 0;
    int32_t blobs_total = 0;
    int32_t blobs_deleted = 0;
    int64_t bytes_freed = 0;
    int dry_run = 0;
    int64_t started_unix = 0;
    int64_t elapsed_ms = 0;
    int cancelled = 0;
};

/* Formats p as the one-line progress document into out (kSnapshotCap). The
 * phase is JSON-escaped, so a snapshot edited by hand cannot break the
 * document a reader returns. */
void gc_snapshot_json(const gc_progress &p, char *out);
/* Writes p to R/_gc/progress.json (creating R/_gc), replacing the file in
 * one rename so that a reader never meets half a snapshot. 0 or -1; a run
 * ignores the result. */
int gc_write_snapshot(const gc_progress &p);
/* 1 when R/_gc/cancel exists and is not a directory, else 0. */
int gc_cancel_requested();
/* Removes R/_gc/cancel when it exists and is not a directory. */
void gc_cancel_clear();

/* The first member of obj named key: 1 when it is the literal true. */
int gc_json_bool(yyjson_val *obj, const char *key);
/* The first member of obj named key when it is an integer, else 0. */
int64_t gc_json_int(yyjson_val *obj, const char *key);

/* ---- the reachable set --------------------------------------------------- */

/* Every digest the mark found, duplicates included; sorted once after the
 * mark and searched by bisection. DIGEST_TEXT_CAP bytes per reference. */
struct digest_set {
    char (*items)[DIGEST_TEXT_CAP] = nullptr;
    int count = 0;
    int capacity = 0;
    /* A digest was dropped because the set could not grow. */
    bool dropped = false;

    digest_set() = default;
    ~digest_set();
    digest_set(const digest_set &) = delete;
    digest_set &operator=(const digest_set &) = delete;
};

/* Adds digest when it is one the store keeps (digest_parse); anything else
 * is ignored. Grows by doubling from kDigestSetFirst; when it
 * cannot grow the digest is dropped and set->dropped is set. */
void hashset_add_digest(digest_set *set, const char *digest);
/* strcmp of two entries: the sort and search order of the set. */
int digest_cmp(const void *a, const void *b);
/* Sorts the set for digest_set_has. */
void digest_set_sort(digest_set *set);
/* 1 when the sorted set holds digest. */
int digest_set_has(const digest_set &set, const char *digest);

/* Adds the config, layer and index-entry digests of one parsed manifest
 * body to set. A root that is not an object adds nothing. */
void gc_add_manifest_digests(digest_set *set, yyjson_val *root);

/* ---- test seam ------------------------------------------------------------ */

/* Called at every periodic step of the mark and the sweep, before the
 * cancel test, with the progress as it stands; nullptr in production. Lets
 * a test act in the middle of a run (ask for a cancel during the sweep)
 * and see where the steps fall. */
extern void (*gc_step_observer)(const gc_progress &p);

} // namespace storage

#endif
