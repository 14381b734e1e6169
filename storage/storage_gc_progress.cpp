/*
 * storage_gc_progress.cpp - the two files through which other processes
 * see and steer a garbage collection: the progress snapshot
 * (R/_gc/progress.json) and the cancel marker (R/_gc/cancel).
 *
 * The reader trusts nothing in the snapshot: a missing, stale, half-written,
 * binary or oversized file reads as idle, and what it does take is formatted
 * anew, so the document it returns is always well-formed.
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

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

constexpr const char *json_bool(int b)
{
    return b ? "true" : "false";
}

/* Copies src into dst (kPhaseCap) cut to kPhaseCap - 1 bytes, but never
 * inside a UTF-8 sequence, which would leave the document invalid. */
void copy_phase(char *dst, const char *src)
{
    size_t n = std::strlen(src);
    if (n > kPhaseCap - 1) {
        n = kPhaseCap - 1;
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

/* Makes R/_gc when it is not a directory yet. */
int ensure_gc_dir()
{
    char dir[kPathCap];
    if (gc_dir(dir) != 0) return -1;
    return plat_is_dir(dir) ? 0 : mkdirs(dir);
}

} // namespace

void (*gc_step_observer)(const gc_progress &p) = nullptr;

namespace
{
/* The follower reg_gc_on_progress set; one per process, like the run. */
reg_gc_progress_fn s_progress_fn = nullptr;
void *s_progress_ctx = nullptr;
} // namespace

void gc_snapshot_json(const gc_progress &p, char *out)
{
    /* The phases a run writes need no escaping; anything else read back
     * from a snapshot does. 15 bytes escape to at most 90. */
    char phase[kPhaseCap * 6 + 8];
    json_escape_append(phase, sizeof phase, p.phase);
    std::snprintf(out, kSnapshotCap,
                  "{\"running\":%s,\"phase\":\"%s\",\"blobs_scanned\":%" PRId32
                  ",\"blobs_total\":%" PRId32 ",\"blobs_deleted\":%" PRId32
                  ",\"bytes_freed\":%" PRId64 ",\"dry_run\":%s,\"started_unix\":%" PRId64
                  ",\"elapsed_ms\":%" PRId64 ",\"cancelled\":%s}",
                  json_bool(p.running), phase, p.blobs_scanned, p.blobs_total, p.blobs_deleted,
                  p.bytes_freed, json_bool(p.dry_run), p.started_unix, p.elapsed_ms,
                  json_bool(p.cancelled));
}

int gc_write_snapshot(const gc_progress &p)
{
    char path[kPathCap];
    ensure_gc_dir(); /* a failure shows in the write */
    if (gc_progress_path(path) != 0) return -1;
    char text[kSnapshotCap];
    gc_snapshot_json(p, text);
    const int rc = write_file_atomic(path, text, std::strlen(text));
    /* Told even when the file could not be written: the follower in this
     * process needs no file. */
    if (s_progress_fn) s_progress_fn(s_progress_ctx, text);
    return rc;
}

int gc_cancel_requested()
{
    char path[kPathCap];
    return gc_cancel_path(path) == 0 && plat_is_file(path) ? 1 : 0;
}

void gc_cancel_clear()
{
    char path[kPathCap];
    if (gc_cancel_path(path) == 0 && plat_is_file(path)) plat_remove(path);
}

int gc_json_bool(yyjson_val *obj, const char *key)
{
    return yyjson_is_true(yyjson_obj_get(obj, key)) ? 1 : 0;
}

int64_t gc_json_int(yyjson_val *obj, const char *key)
{
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_sint(v)) return yyjson_get_sint(v);
    if (yyjson_is_uint(v)) return static_cast<int64_t>(yyjson_get_uint(v));
    return 0;
}

} // namespace storage

using namespace storage;

namespace
{

/* Fills p from the snapshot when there is a fresh, parsable one. */
void read_snapshot(gc_progress *p)
{
    char path[kPathCap];
    if (gc_progress_path(path) != 0) return;
    size_t len = 0;
    std::unique_ptr<char, free_deleter> text(read_file_alloc(path, &len));
    if (!text) return;
    plat_file_info info;
    const int64_t now = plat_time();
    if (plat_stat(path, &info) != 0 || info.mtime < 0) return;
    if (now - info.mtime > kSnapshotFreshSecs) return;

    std::unique_ptr<yyjson_doc, doc_deleter> doc(
        yyjson_read_opts(text.get(), len, 0, nullptr, nullptr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return;

    p->running = gc_json_bool(root, "running");
    p->dry_run = gc_json_bool(root, "dry_run");
    p->cancelled = gc_json_bool(root, "cancelled");
    /* Counts keep their low 32 bits, as the writer's fields hold no more. */
    p->blobs_scanned = static_cast<int32_t>(gc_json_int(root, "blobs_scanned"));
    p->blobs_total = static_cast<int32_t>(gc_json_int(root, "blobs_total"));
    p->blobs_deleted = static_cast<int32_t>(gc_json_int(root, "blobs_deleted"));
    p->bytes_freed = gc_json_int(root, "bytes_freed");
    p->started_unix = gc_json_int(root, "started_unix");
    if (const char *phase = yyjson_get_str(yyjson_obj_get(root, "phase")))
        copy_phase(p->phase, phase);
    p->elapsed_ms = gc_json_int(root, "elapsed_ms");
    if (p->elapsed_ms <= 0) {
        p->elapsed_ms = 0;
        /* A start in the future (clock skew, a forged file) gives 0 rather
         * than a negative time or an overflow. */
        if (p->started_unix > 0 && now > p->started_unix)
            p->elapsed_ms = (now - p->started_unix) * 1000;
    }
}

} // namespace

/* Never fails. Before initialisation there is no store to look in, so the
 * answer is idle rather than whatever lies at "/_gc" of the file system. */
extern "C" const char *reg_gc_progress_json(void)
{
    gc_progress p;
    if (s_ready) read_snapshot(&p);
    gc_snapshot_json(p, s_result);
    return s_result;
}

extern "C" void reg_gc_on_progress(reg_gc_progress_fn fn, void *ctx)
{
    s_progress_fn = fn;
    s_progress_ctx = ctx;
}

extern "C" int reg_gc_cancel(void)
{
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return -1;
    }
    if (ensure_gc_dir() != 0) {
        set_error("cannot create gc state directory");
        return -1;
    }
    char path[kPathCap];
    /* Empty: only its presence counts. */
    if (gc_cancel_path(path) != 0 || write_file(path, "", 0) != 0) {
        set_error("cannot write gc cancel marker");
        return -1;
    }
    return 0;
}
