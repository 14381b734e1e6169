/*
 * storage_internal.h - the storage engine's shared internals: module state,
 * error slot, validators, path builders, file and directory utilities, the
 * repository walk and the counters behind the statistics.
 *
 * Every file of the engine (root and layout, blobs, manifests, tag listing,
 * retention, garbage collection) includes this header; nothing outside the
 * engine and its tests does. The public interface is reg_storage.h.
 *
 * Conventions:
 *   - Utilities report failure by their result alone (0 / -1, 1 / 0, NULL)
 *     and never write the error slot; only the public reg_ operations call
 *     set_error.
 *   - Paths are composed into caller buffers of kPathCap bytes. A path that
 *     would not fit is never acted on: builders return -1 and leave "".
 *   - On disk, components are joined with PLAT_SEP. A backslash inside a
 *     repository name also separates components; on POSIX it becomes '/'
 *     when the name enters a path, so names read back from the walk always
 *     use '/'.
 *   - Nothing here follows a symbolic link while enumerating: plat_dir_next
 *     reports a link as a non-directory, so walks stay inside the tree.
 */
#ifndef REGISTRY_STORAGE_INTERNAL_H
#define REGISTRY_STORAGE_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "platform.h"
#include "digest_text.h"
#include "reg_storage.h"

#if defined(__MINGW_PRINTF_FORMAT)
/* mingw: check against the printf the runtime really uses (C99 with %zu). */
#define REG_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define REG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define REG_PRINTF(f, a)
#endif

struct yyjson_val; /* a parsed JSON value (yyjson) */

namespace storage
{

/* ---- limits ------------------------------------------------------------- */

constexpr size_t kRootMax = 3499;               /* longest storage root, bytes */
constexpr size_t kPathCap = 4096;               /* every composed path buffer */
constexpr size_t kErrorCap = 1024;              /* error slot, NUL included */
constexpr size_t kResultCap = 1048576;          /* result buffer, NUL included */
constexpr size_t kRepoNameCap = 1024;           /* walked name, NUL included */
constexpr size_t kRepoNameMax = 255;            /* longest valid repository name */
constexpr int64_t kReadAllocMax = 67108864;     /* read_file_alloc refuses more */
constexpr size_t kTagLinkCap = DIGEST_TEXT_CAP; /* buffer a link is read into */
constexpr size_t kUploadNameCap = 128;          /* "ID.part" file name buffer */
constexpr uint32_t kSeedFallback = 0x9E3779B9u; /* the seed is never 0 */
constexpr size_t kUploadIdLen = 36;             /* "8-4-4-4-12" lower-case hex */
constexpr int kUploadCreateTries = 16;          /* ids drawn before start gives up */

constexpr char kStorageVersion[] = "1.9.0";
constexpr char kManifestsDir[] = "_manifests";
constexpr char kNotInitialized[] = "not initialized - call reg_storage_init first";
constexpr char hx[] = "0123456789abcdef";

/* ---- module state ------------------------------------------------------- */
/* Invariant: s_ready == 1 exactly when s_root holds the root of the last
 * successful reg_storage_init (without its trailing backslash) and the
 * layout's top directories were created. Otherwise s_root is "". */

extern char s_root[kRootMax + 1];
extern int s_ready;
extern uint32_t s_seed;           /* upload-id generator; never 0 once set */
extern char s_error[kErrorCap];   /* "" until the first failure */
extern char s_result[kResultCap]; /* documents returned to callers */

/* Fills the error slot (printf rules, cut to kErrorCap - 1 bytes). */
void set_error(const char *format, ...) REG_PRINTF(1, 2);
/* Keeps why an OS call failed (plat_last_failure, read at once) for the
 * next set_error, when other calls come between the failure and the
 * message and would change what the OS reports. PLAT_FAIL_OTHER keeps
 * nothing. */
void note_failure(int plat_failure);

/* ---- validators (1 valid, 0 not) ---------------------------------------- */

int uuid_valid(const char *s);      /* caller checked: non-NULL, 36 bytes */
int repo_name_valid(const char *s); /* caller checked: non-NULL, non-empty */

/* ---- digests ------------------------------------------------------------ */
/* Digest forms are digest_parse's (digest_text.h) alone; the store keeps
 * each algorithm in a directory of its name, in this order. */

constexpr digest_algorithm kAlgorithms[] = {DIGEST_SHA256, DIGEST_SHA512};

/* The hex part of a digest text already checked (what follows its ':'). */
const char *digest_hex(const char *digest);
/* "ALGORITHM:NAME" into out (DIGEST_TEXT_CAP bytes), for a file named by
 * the hex of its digest: 0 when that is a digest the store keeps, else -1
 * with out = "". */
int digest_of_name(digest_algorithm algorithm, const char *name, char *out);
/* The same for a name whose algorithm its directory does not tell: the
 * one algorithm whose hex it is. */
int digest_of_any_name(const char *name, char *out);

/* ---- path builders ------------------------------------------------------ */
/* Each writes one layout path under s_root into out (kPathCap bytes) and
 * returns 0, or -1 with out = "" when the path would not fit. None tests
 * its arguments; callers validate identifiers first. */

int path_join(char *out, const char *left, const char *right); /* left SEP right */
int repositories_dir(char *out);                               /* R/repositories */
int blobs_dir(char *out);                                      /* R/blobs/sha256 */
int blob_algorithm_dir(digest_algorithm algorithm, char *out); /* R/blobs/ALG */
int uploads_dir(char *out);                                    /* R/uploads */
int repo_dir(const char *repo, char *out);                     /* R/repositories/NAME */
int repo_manifests_dir(const char *repo, char *out);           /* .../NAME/_manifests */
/* Builders named after a manifest take its digest text (checked): the
 * algorithm picks the directory. */
int manifest_rev_dir(const char *repo, const char *digest, char *out); /* revisions/ALG/HEX */
int manifest_rev_path(const char *repo, const char *digest, char *out);
int manifest_tags_dir(const char *repo, char *out);
int manifest_tag_path(const char *repo, const char *tag, char *out);
/* The bodies of one algorithm: sha256 ones lie in _manifests itself (as
 * they always have), others in _manifests/ALG. */
int manifest_body_dir(const char *repo, digest_algorithm algorithm, char *out);
int manifest_body_path(const char *repo, const char *digest, char *out); /* .../HEX */
int manifest_ct_path(const char *repo, const char *digest, char *out);   /* .../HEX.ct */
/* .../_manifests/referrers/ALG/SUBJECT: one link file per manifest of the
 * repository whose "subject" is ALG:SUBJECT, named by its own HEX. */
int manifest_referrers_dir(const char *repo, const char *subject, char *out);
int manifest_referrer_path(const char *repo, const char *subject, const char *digest, char *out);
int upload_path_for_uuid(const char *uuid, char *out); /* R/uploads/ID.part */
int upload_state_dir(char *out);                       /* R/uploads/sha256-state */
int upload_state_path(const char *uuid, char *out);    /* R/uploads/sha256-state/ID */
int gc_dir(char *out);                                 /* R/_gc */
int gc_progress_path(char *out);                       /* R/_gc/progress.json */
int gc_cancel_path(char *out);                         /* R/_gc/cancel */
int gc_last_path(char *out);                           /* R/_gc/last.json */
int usage_dir(char *out);                              /* R/_usage */
int usage_snapshot_path(char *out);                    /* R/_usage/blobs.json */
/* Keeps a finished collection's report as R/_gc/last.json (atomically). */
void gc_keep_report(const char *doc);
/* R/_quarantine: blobs whose content does not match their name, moved
 * aside by reg_blob_quarantine. Nothing walks it: the collection, the
 * listings and the statistics look only under blobs, uploads and
 * repositories. */
int quarantine_dir(char *out);
/* R/blobs/ALG/HH/HEX from "ALG:HEX"; a text that names no algorithm the
 * store keeps, or has fewer than 2 hex digits, is refused rather than read
 * past. */
int blob_path_for_digest(const char *digest, char *out);

/* R/blobs/ALG/HH, the fan-out directory of a digest, composed as the
 * layout has always had it: "%s/blobs/ALG/%c%c" (forward slashes on every
 * platform). Same refusals as blob_path_for_digest. */
int blob_fan_dir(const char *digest, char *out);

/* 32 bytes -> 64 lower-case hex digits and a NUL (out: 65 bytes). */
void bin_to_hex(const uint8_t *bytes, char *out);

/* ---- files -------------------------------------------------------------- */

/* Creates or truncates path and writes len bytes unchanged. 0 or -1. */
int write_file(const char *path, const void *data, size_t len);
/* Reads at most size - 1 bytes and a NUL into buf; *out_len (if given) gets
 * the count. A longer file is cut without notice. 0, or -1 when it cannot
 * be opened or read (out_len untouched). */
int read_file(const char *path, char *buf, size_t size, size_t *out_len);
/* The whole file plus a NUL in a malloc'd buffer the caller frees; NULL for
 * a missing file, a directory, more than kReadAllocMax bytes, no memory or
 * a read error. */
char *read_file_alloc(const char *path, size_t *out_len);
/* Creates path and its missing parents. 0 only when a directory stands at
 * path afterwards (an existing file of that name, or as a parent, is -1).
 * On -1, *vanished (if given) tells whether it failed because a parent it
 * had made or seen was removed meanwhile, which making them again mends. */
int mkdirs(const char *path, bool *vanished = nullptr);

/* Makes dir (mkdirs) and runs place(), which puts a file into it and returns
 * 0, -1, or -2 for a failure that making dir again cannot mend (what was to
 * be placed is gone). Another process removes a directory it finds empty (a
 * collection sweeping fan-out directories, a delete pruning what it
 * emptied), possibly between those two steps, and yet another may make it
 * again before the failure is looked at: whenever either step failed
 * because a name on the path vanished (plat_error_vanished), or dir is
 * gone, both are repeated. On a cluster file system a busy pruner was seen
 * to need a few hundred rounds, hence the generous bound; past it the
 * error says so (placed::gave_up). A failure while dir stands (a full or
 * read-only store, a name taken) is not repeated. */
enum class placed { ok, dir_failed, place_failed, gave_up };
constexpr int kPlaceAttempts = 1000;
/* Counts one repeated round (reg_storage_dir_retries). */
void note_place_retry();
/* The gave_up error: "DIR kept vanishing: gave up after N attempts". */
void set_place_gave_up(const char *dir);
template <class Place> placed place_in_dir(const char *dir, Place &&place)
{
    for (int attempt = 1; attempt <= kPlaceAttempts; ++attempt) {
        if (attempt > 1) note_place_retry();
        bool vanished = false;
        if (mkdirs(dir, &vanished) != 0) {
            if (!vanished) return placed::dir_failed;
            continue;
        }
        const int rc = place();
        if (rc == 0) return placed::ok;
        const int why = plat_last_failure();
        const bool gone = plat_error_vanished() != 0;
        if (rc < -1 || (!gone && plat_dir_exists(dir))) {
            note_failure(why);
            return placed::place_failed;
        }
    }
    set_place_gave_up(dir);
    return placed::gave_up;
}

/* ---- directories -------------------------------------------------------- */

/* Every entry of one directory, however many: names in one growing text.
 * This is the engine's one listing; a listing kept across calls (cleared,
 * not freed) reuses the room it grew to, so a walk allocates per level,
 * not per directory. */
class dir_listing_full
{
  public:
    int count() const { return count_; }
    char *name(int i) const { return text_.get() + entries_.get()[i].offset; }
    int is_dir(int i) const { return entries_.get()[i].is_dir; }

    void clear();
    int add(const char *name, int is_dir); /* 0, or -1 when memory runs out */

  private:
    struct entry {
        size_t offset;
        int is_dir;
    };
    struct free_deleter {
        void operator()(void *p) const { std::free(p); }
    };
    std::unique_ptr<char, free_deleter> text_;
    std::unique_ptr<entry, free_deleter> entries_;
    size_t text_len_ = 0, text_cap_ = 0;
    int count_ = 0, entry_cap_ = 0;
};

/* Fills listing with every entry of dir in the platform's order, "." and
 * ".." left out, each with its type as the enumeration reports it (no
 * stat). 0, or -1 with count 0 when dir cannot be enumerated or
 * memory runs out (a caller must not act on a partial listing). */
int list_dir_full(const char *dir, dir_listing_full *listing);

/* Adds the number of non-directory entries of dir (files and links) to
 * *files and their sizes to *bytes, sizes as the enumeration reports them
 * (no path is stat'ed; a link's own size). 0, or -1 when dir cannot be
 * enumerated. */
int sum_dir_files(const char *dir, int *files, int64_t *bytes);

/* Removes path and everything below it; links are removed, not followed.
 * Keeps going after a failure. 0 when every removal succeeded, else -1; an
 * entry that another process removed meanwhile counts as removed, a path
 * that could not be opened and does not exist as a failure. */
int delete_tree(const char *path);

/* Sorts count texts ascending by strcmp, in place. */
void sort_str(char **names, int count);

/* Writes the JSON string escape of src at dst; returns the bytes written
 * (NUL not counted). Stops before a source byte unless written + 8 < size,
 * so a cut never splits an escape; NUL-terminates when written < size. */
size_t json_escape_append(char *dst, size_t size, const char *src);
/* Bytes json_escape_append writes for src when given room enough. */
size_t json_escaped_len(const char *src);

/* Writes into s_result head, then one page of the sorted names as escaped
 * JSON strings between commas, then "]}", and returns s_result. The page
 * starts after last (NULL or "": at the first name) and holds at most n
 * names (n <= 0: all), fewer when the buffer would overflow; *out_more
 * tells whether names remain, out_last gets the page's last name (cut). */
const char *names_page_json(const char *head, char *const *names, int total, int n,
                            const char *last, int *out_more, char *out_last, size_t out_last_size);

/* ---- repository walk ---------------------------------------------------- */

/* What a walk could not see: how many things, and the first of them in
 * words, for an error message. */
constexpr size_t kUnseenCap = 512;
struct unseen_log {
    int count = 0;
    char first[kUnseenCap] = "";
    void note(const char *format, ...) REG_PRINTF(2, 3);
};

/* The names of one walk over R/repositories, the engine's one repository
 * walk (catalog, statistics, checks, retention, garbage collection);
 * frees them at scope end. */
class repo_list
{
  public:
    repo_list() = default;
    ~repo_list();
    repo_list(const repo_list &) = delete;
    repo_list &operator=(const repo_list &) = delete;

    /* Walks every entry of every directory, at any depth, and keeps every
     * name, however many: a directory that holds a "_manifests" directory
     * is a repository, '/' between components, in discovery order.
     * Nothing below a "_manifests" directory is searched. What it cannot
     * see (a directory that cannot be listed, a name or path that would be
     * cut, memory running out) is skipped and, when unseen is given,
     * noted there for work that must not miss a repository. -1 only when
     * the first allocation fails; an unreadable tree gives 0 names. */
    int collect(unseen_log *unseen = nullptr);
    /* Sorts the names ascending (byte-wise). */
    void sort();

    char **names() const { return names_; }
    int count() const { return count_; }
    const char *operator[](int i) const { return names_[i]; }

  private:
    void release();

    char **names_ = nullptr;
    int count_ = 0;
};

/* ---- counters (statistics) ---------------------------------------------- */

int count_repos();
int count_tags();
/* Tags of the given repositories: every entry of a tags directory whose
 * current link can be read. The statistics pass the names of their one walk. */
int count_tags_of(char *const *names, int count);
int64_t count_blobs(int *out_count);
int count_uploads(int64_t *out_bytes);

/* ---- blob usage snapshot (storage_usage.cpp) ---------------------------- */

/* count_blobs; when reg_usage_keep is on, the count is saved as the usage
 * snapshot with a journal made before the walk (nothing is saved when
 * that cannot be written). */
int64_t usage_count(int *out_count);
/* A blob this process has just placed at blob_path: its size journaled
 * when reg_usage_keep is on. Failures are absorbed. */
void usage_note_blob(const char *digest, const char *blob_path);
/* Blobs were removed: drops the snapshot, so the next reader counts. */
void usage_forget();

/* ---- an upload's running digest (storage_upload_hash.cpp) --------------- */

/* The SHA-256 state after the first `size` bytes of upload uuid, as the
 * last append saved it. 0 only when a state file exists, reads back whole,
 * names this upload and covers exactly size bytes; -1 otherwise, and the
 * caller hashes the upload file itself. */
int upload_hash_load(const char *uuid, int64_t size, sha256_ctx *out);
/* Saves ctx as the state after size bytes, replacing the last one
 * atomically. 0 or -1 (nothing is lost then but the shortcut). */
int upload_hash_save(const char *uuid, int64_t size, const sha256_ctx *ctx);
/* Removes the upload's saved state, if any. */
void upload_hash_forget(const char *uuid);

/* ---- upload ids (storage_upload_id.cpp) -------------------------------- */

/* Draws one upload id from the generator state: 16 xorshift32 steps (<<13,
 * >>17, <<5), one byte (the low 8 bits) per step, written as 8-4-4-4-12
 * lower-case hex, low nibble first. out gets 36 characters and a NUL
 * (37 bytes); *state gets the final state, or kSeedFallback when that is 0.
 * reg_blob_start_upload passes &s_seed; tests pass their own state. */
void upload_id_next(uint32_t *state, char *out);

/* Claims a new upload: draws ids from *state and creates R/uploads/ID.part
 * empty and exclusively, so an existing upload file is never truncated.
 * When the drawn id's file already exists, the next id is drawn, at most
 * kUploadCreateTries ids in all. 0 with the id in out_id (37 bytes); -1
 * with the last id drawn in out_id and the path that could not be created
 * in out_path (kPathCap bytes). *state is advanced by every draw. */
int upload_create(uint32_t *state, char *out_id, char *out_path);

/* ---- small helpers ------------------------------------------------------ */

/* Copies src into dst (size bytes), cut to fit and NUL-terminated. */
void copy_cut(char *dst, size_t size, std::string_view src);

/* ---- manifests and tags (storage_manifests.cpp, storage_files.cpp) ---- */

constexpr size_t kTagMax = 128;          /* longest tag the grammar allows */
constexpr size_t kManifestMax = 1048575; /* longest body get returns whole */
/* Longest body a push accepts: what clients cap manifests at. Longer than
 * the result buffer, so such bodies are read through reg_manifest_locate. */
constexpr size_t kManifestPutMax = 4194304;
constexpr size_t kContentTypeMax = 126; /* longest content type get returns */
constexpr char kDefaultManifestType[] = "application/vnd.docker.distribution.manifest.v2+json";

/* true when the len bytes at media_type name a foreign (non-distributable)
 * layer, which a push may name without the store holding it
 * (storage_foreign.cpp keeps the types). */
bool foreign_layer_type(const char *media_type, size_t len);

/* 1 when s is a tag of the registry API's grammar: a letter, digit or '_',
 * then up to 127 letters, digits, '_', '.' or '-'. Such a tag is one plain
 * directory name: never a separator, "." or "..", nor a control byte. */
int tag_valid(const char *s);

/* Writes path whole or not at all: the bytes go to a temporary file in the
 * same directory that then replaces path in one rename, so a concurrent
 * reader sees the old or the new content, never a part. 0 or -1 (then the
 * temporary is removed and path is unchanged). */
int write_file_atomic(const char *path, const void *data, size_t len);

/* Reads a link file (revision or tag link) into text, kTagLinkCap bytes:
 * at most kTagLinkCap - 1 bytes and a NUL, not examined. 0 or -1. */
int read_link(const char *path, char *text);

/* 1 when a link's text begins with digest (what follows it is not looked
 * at), else 0. */
int link_names_digest(const char *text, const char *digest);

/* 0 when reference names a stored manifest of repo, with its digest in
 * out_digest (DIGEST_TEXT_CAP bytes); -1 with the message in the error slot. A digest
 * reference resolves when its revision link or its body is a file; a tag
 * (refused unless tag_valid) when its link holds a valid digest. Arguments
 * are not tested for NULL. */
int manifest_resolve(const char *repo, const char *reference, char *out_digest);

/* 0 when tag may be written in repo: its own link is there (moving a tag),
 * or no stored tag differs from it only in case; -1 with "invalid tag
 * reference: ..." naming the stored tag. Such two tags would be one file
 * on Windows, so they are refused on every system. The tags directory is
 * read only when the exact link is missing (always where names fold case,
 * since there the exact test sees either). */
int tag_case_check(const char *repo, const char *tag);
/* true when a and b are the same but for the case of ASCII letters. */
bool tags_equal_nocase(const char *a, const char *b);

/* Deleting a tag, first half: resolves tag (as manifest_resolve) and
 * removes its link; the tag's directories and the manifest stay. 0, or -1
 * with "delete tag failed" or the resolve message. */
int tag_unlink(const char *repo, const char *tag, char *out_digest);

/* Deleting a tag, second half, for any number of manifests at once: removes
 * the body, content-type file and revision link of each digests[i] that no
 * tag of repo names any more. One pass over the tags directory serves them
 * all; when that directory exists but cannot be read in full, every
 * manifest is kept (a tag that was not seen may still name it). */
void manifests_drop_untagged(const char *repo, char (*digests)[DIGEST_TEXT_CAP], int count);

/* The checks a public operation on a repository runs first, in order:
 * arguments present ("NULL argument"), initialised, a valid name ("invalid
 * repository name", with ": NAME" when name_in_message). 0 or -1. */
int check_repo_op(bool args_present, const char *repo, bool name_in_message);

/* ---- referrers index (storage_referrers.cpp) ---------------------------- */

/* The "subject" digest of a parsed manifest body into out_digest
 * (DIGEST_TEXT_CAP bytes, "" when the body has no subject). 0, or -1 when
 * "subject" is present but names no valid digest. */
int manifest_subject_of(yyjson_val *root, char *out_digest);
/* Adds digest to the referrers of subject in repo (an atomic link file).
 * 0 or -1. */
int referrer_link(const char *repo, const char *subject, const char *digest);
/* Removes digest from the referrers index, reading its stored body for the
 * subject; nothing when it has none. Failures are absorbed: the listing
 * skips links whose manifest is gone. */
void referrer_unlink(const char *repo, const char *digest);

} // namespace storage

#endif
