/*
 * storage_usage.cpp - the blob store's usage without a walk per request:
 * the snapshot R/_usage/blobs.json, the journals R/_usage/journal-ID/ of
 * blobs placed since a count began, and the count that renews both.
 *
 * Invariant: a journal is made before the count that names it begins to
 * walk, and a finish that places a blob (reg_usage_keep on) writes into every
 * journal present after placing it. So a blob placed after a count began
 * is in that count's journal, one placed before stood throughout the walk
 * and is in the count, and snapshot plus journal is never less than the
 * store holds, but for journal entries that could not be written and
 * blobs placed by processes that do not journal; the next count sees
 * those. It may be more: a blob placed while the count walked can be in
 * both, and a deleted blob stays until the next count (deletes drop the
 * snapshot so that one comes at once).
 *
 * Nothing is locked: the snapshot is replaced by one rename, journal
 * entries are created exclusively, a recount is claimed by an exclusive
 * create that a crashed process's successor outwaits, and journals no
 * snapshot names are removed by a later count.
 */
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <yyjson.h>

#include "storage_internal.h"

namespace storage
{

namespace
{

constexpr char kJournalPrefix[] = "journal-";
constexpr size_t kJournalPrefixLen = sizeof kJournalPrefix - 1;
/* ID: 8 hex digits of the creation time (seconds), 8 random ones. */
constexpr size_t kJournalIdLen = 16;                                      /* hex digits */
constexpr size_t kJournalNameCap = kJournalPrefixLen + kJournalIdLen + 1; /* NUL included */
constexpr size_t kSnapshotCap = 512;  /* the snapshot is one short line */
constexpr size_t kEntryNameCap = 160; /* "HEX.SIZE": 128 hex, '.', 19 digits */
constexpr int64_t kClockSkewSecs = 5; /* a count this far ahead is believed */
constexpr int64_t kClaimSecs = 600;   /* an older recount claim was abandoned */
constexpr int64_t kOrphanSecs = 3600; /* unnamed journals this old go */
constexpr char kClaimName[] = "recounting";

/* Set by reg_usage_keep; read by usage_note_blob and usage_count. */
bool s_keep = false;

struct snapshot {
    char journal[kJournalNameCap];
    int64_t counted_at;
    int64_t blobs;
    int64_t bytes;
};

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

int64_t add_capped(int64_t a, int64_t b)
{
    return b > INT64_MAX - a ? INT64_MAX : a + b;
}

bool journal_name_valid(const char *name)
{
    if (std::strncmp(name, kJournalPrefix, kJournalPrefixLen) != 0) return false;
    const char *id = name + kJournalPrefixLen;
    if (std::strlen(id) != kJournalIdLen) return false;
    for (const char *p = id; *p; ++p)
        if (!std::strchr(hx, *p)) return false;
    return true;
}

/* R/_usage/NAME into out (kPathCap). */
int usage_path(const char *name, char *out)
{
    char dir[kPathCap];
    return usage_dir(dir) == 0 ? path_join(out, dir, name) : -1;
}

/* A whole, non-negative integer member, or -1. */
int64_t json_count(yyjson_val *obj, const char *key)
{
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_uint(v)) {
        const uint64_t u = yyjson_get_uint(v);
        return u > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(u);
    }
    if (yyjson_is_sint(v)) return yyjson_get_sint(v) < 0 ? -1 : yyjson_get_sint(v);
    return -1;
}

/* 0 when the snapshot reads back whole and every field is sane; a file
 * longer than kSnapshotCap is no snapshot. plat_read_file, because on
 * Windows it lets a count rename the next snapshot over the one read. */
int snapshot_read(snapshot *out)
{
    char path[kPathCap], text[kSnapshotCap];
    size_t len = 0;
    if (usage_snapshot_path(path) != 0 || plat_read_file(path, text, sizeof text, &len) != 0)
        return -1;
    std::unique_ptr<yyjson_doc, doc_deleter> doc(yyjson_read_opts(text, len, 0, nullptr, nullptr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    const char *journal = yyjson_get_str(yyjson_obj_get(root, "journal"));
    if (!journal || !journal_name_valid(journal)) return -1;
    copy_cut(out->journal, sizeof out->journal, journal);
    out->counted_at = json_count(root, "counted_at");
    out->blobs = json_count(root, "blobs");
    out->bytes = json_count(root, "blob_bytes");
    return out->counted_at < 0 || out->blobs < 0 || out->bytes < 0 ? -1 : 0;
}

/* The size an entry "HEX.SIZE" records, or -1 for any other name (a
 * stray file is no blob). */
int64_t entry_size(const char *name)
{
    const char *dot = std::strrchr(name, '.');
    if (!dot || dot == name || dot[1] == '\0') return -1;
    int64_t n = 0;
    for (const char *p = dot + 1; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        if (n > (INT64_MAX - (*p - '0')) / 10) return -1;
        n = n * 10 + (*p - '0');
    }
    return n;
}

/* Blobs and bytes the journal holds. 0, or -1 when it cannot be listed
 * (gone with a snapshot replaced meanwhile, or never made). */
int journal_sum(const char *journal, int64_t *out_blobs, int64_t *out_bytes)
{
    char dir[kPathCap];
    dir_listing_full listing;
    if (usage_path(journal, dir) != 0 || list_dir_full(dir, &listing) != 0) return -1;
    int64_t blobs = 0, bytes = 0;
    for (int i = 0; i < listing.count(); ++i) {
        const int64_t size = listing.is_dir(i) ? -1 : entry_size(listing.name(i));
        if (size < 0) continue;
        ++blobs;
        bytes = add_capped(bytes, size);
    }
    *out_blobs = blobs;
    *out_bytes = bytes;
    return 0;
}

/* When the journal was made, from its name. */
int64_t journal_made_at(const char *name)
{
    return static_cast<int64_t>(std::strtoull(
        std::string(name + kJournalPrefixLen, kJournalIdLen / 2).c_str(), nullptr, 16));
}

/* Makes a new journal R/_usage/journal-ID and names it in out
 * (kJournalNameCap). 0, or -1 when nothing can be made there. */
int journal_new(char *out, int64_t now)
{
    uint32_t random = 0;
    if (plat_random_bytes(&random, sizeof random) != 0)
        /* Unique enough without the random source: the mkdir below
         * refuses a name that exists. */
        random = static_cast<uint32_t>(plat_tick_ms()) ^ static_cast<uint32_t>(plat_pid() << 16);
    std::snprintf(out, kJournalNameCap, "%s%08" PRIx32 "%08" PRIx32, kJournalPrefix,
                  static_cast<uint32_t>(now), random);

    char dir[kPathCap], path[kPathCap];
    if (usage_dir(dir) != 0 || mkdirs(dir) != 0 || path_join(path, dir, out) != 0) return -1;
    return plat_mkdir(path) == PLAT_MKDIR_CREATED ? 0 : -1;
}

void journal_remove(const char *journal)
{
    char path[kPathCap];
    if (usage_path(journal, path) == 0) delete_tree(path);
}

/* Removes journals other than keep made kOrphanSecs ago: left by counts
 * that crashed, lost a race or whose snapshot a delete dropped. Their age
 * is in their name, as finishes keep writing into them. */
void journals_sweep(const char *keep, int64_t now)
{
    char dir[kPathCap], path[kPathCap];
    dir_listing_full listing;
    if (usage_dir(dir) != 0 || list_dir_full(dir, &listing) != 0) return;
    for (int i = 0; i < listing.count(); ++i) {
        const char *name = listing.name(i);
        if (!listing.is_dir(i) || !journal_name_valid(name) || std::strcmp(name, keep) == 0)
            continue;
        if (journal_made_at(name) < now - kOrphanSecs && path_join(path, dir, name) == 0)
            delete_tree(path);
    }
}

/* Saves the count as the snapshot naming journal, then drops the journal
 * of the snapshot it replaced. 0, or -1 (then journal is removed too). */
int snapshot_write(const char *journal, int64_t counted_at, int64_t blobs, int64_t bytes)
{
    snapshot old;
    const bool had_old = snapshot_read(&old) == 0;
    char path[kPathCap], text[kSnapshotCap];
    const int n = std::snprintf(text, sizeof text,
                                "{\"journal\":\"%s\",\"counted_at\":%" PRId64 ",\"blobs\":%" PRId64
                                ",\"blob_bytes\":%" PRId64 "}\n",
                                journal, counted_at, blobs, bytes);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text || usage_snapshot_path(path) != 0 ||
        write_file_atomic(path, text, static_cast<size_t>(n)) != 0) {
        journal_remove(journal);
        return -1;
    }
    if (had_old && std::strcmp(old.journal, journal) != 0) journal_remove(old.journal);
    journals_sweep(journal, counted_at);
    return 0;
}

/* The blob walk, saved as a snapshot whose journal was made before the
 * walk began. out_journal (kJournalNameCap) gets its name, or "" when
 * nothing could be saved. */
int64_t count_and_save(int *out_count, char *out_journal, int64_t *out_counted_at)
{
    const int64_t counted_at = plat_time();
    const bool begun = journal_new(out_journal, counted_at) == 0;
    int blobs = 0;
    const int64_t bytes = count_blobs(&blobs);
    if (!begun || snapshot_write(out_journal, counted_at, blobs, bytes) != 0) out_journal[0] = '\0';
    if (out_count) *out_count = blobs;
    if (out_counted_at) *out_counted_at = counted_at;
    return bytes;
}

/* The snapshot and its journal's sums. The journal of a snapshot read
 * just before another count replaced it may be gone: one more read. */
int usage_read(snapshot *snap, int64_t *journal_blobs, int64_t *journal_bytes)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (snapshot_read(snap) != 0) return -1;
        if (journal_sum(snap->journal, journal_blobs, journal_bytes) == 0) return 0;
    }
    return -1;
}

/* Claims the recount: 1 claimed here, 0 could not claim (a read-only
 * root: count anyway), -1 another process claimed it recently. A claim
 * older than kClaimSecs was left by a process that died: taken over. */
int claim_recount(int64_t now)
{
    char path[kPathCap];
    if (usage_path(kClaimName, path) != 0) return 0;
    if (plat_create_excl(path) == 0) return 1;
    plat_file_info info;
    if (plat_stat(path, &info) != 0) return 0;
    if (info.mtime >= now - kClaimSecs && info.mtime <= now + kClockSkewSecs) return -1;
    plat_remove(path);
    return plat_create_excl(path) == 0 ? 1 : 0;
}

void release_recount()
{
    char path[kPathCap];
    if (usage_path(kClaimName, path) == 0) plat_remove(path);
}

} // namespace

int64_t usage_count(int *out_count)
{
    if (!s_keep) return count_blobs(out_count);
    char journal[kJournalNameCap];
    return count_and_save(out_count, journal, nullptr);
}

void usage_note_blob(const char *digest, const char *blob_path)
{
    if (!s_keep) return;
    plat_file_info info;
    char entry[kEntryNameCap], dir[kPathCap], journal[kPathCap], path[kPathCap];
    const int n = std::snprintf(entry, sizeof entry, "%s.", digest_hex(digest));
    if (n < 0 || static_cast<size_t>(n) >= sizeof entry || plat_stat(blob_path, &info) != 0) return;
    std::snprintf(entry + n, sizeof entry - static_cast<size_t>(n), "%" PRId64, info.size);
    dir_listing_full listing;
    if (usage_dir(dir) != 0 || list_dir_full(dir, &listing) != 0) return;
    /* Every journal, not only the snapshot's: one made by a count walking
     * now must hold this blob if the walk went past its place. */
    for (int i = 0; i < listing.count(); ++i) {
        if (!listing.is_dir(i) || !journal_name_valid(listing.name(i))) continue;
        if (path_join(journal, dir, listing.name(i)) == 0 && path_join(path, journal, entry) == 0)
            plat_create_excl(path); /* taken: the same blob, already there */
    }
}

void usage_forget()
{
    snapshot snap;
    const bool had = snapshot_read(&snap) == 0;
    char path[kPathCap];
    if (usage_snapshot_path(path) == 0) plat_remove(path);
    if (had) journal_remove(snap.journal); /* or finishes would go on filling it */
}

} // namespace storage

using namespace storage;

extern "C" void reg_usage_keep(int on)
{
    s_keep = on != 0;
}

extern "C" int reg_usage_get(int64_t max_age_seconds, reg_usage *out)
{
    if (!out) {
        set_error("NULL argument");
        return -1;
    }
    *out = reg_usage{};
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return -1;
    }
    const int64_t now = plat_time();
    snapshot snap;
    int64_t journal_blobs = 0, journal_bytes = 0;
    const bool readable = usage_read(&snap, &journal_blobs, &journal_bytes) == 0;
    int claim = 0;
    if (readable) {
        const int64_t age = now - snap.counted_at;
        const bool fresh = age >= -kClockSkewSecs && age < max_age_seconds;
        /* Stale but whole: while another process counts, it will do. */
        if (fresh || (claim = claim_recount(now)) == -1) {
            out->blobs = add_capped(snap.blobs, journal_blobs);
            out->blob_bytes = add_capped(snap.bytes, journal_bytes);
            out->journal_bytes = journal_bytes;
            out->counted_at = snap.counted_at;
            return 0;
        }
    } else {
        claim = claim_recount(now);
    }

    char journal[kJournalNameCap];
    int blobs = 0;
    const int64_t bytes = count_and_save(&blobs, journal, &out->counted_at);
    if (claim == 1) release_recount();
    /* What finished while the walk went on, as the next reader sees it. */
    journal_blobs = journal_bytes = 0;
    if (journal[0]) journal_sum(journal, &journal_blobs, &journal_bytes);
    out->blobs = add_capped(blobs, journal_blobs);
    out->blob_bytes = add_capped(bytes, journal_bytes);
    out->journal_bytes = journal_bytes;
    out->recounted = 1;
    return 0;
}
