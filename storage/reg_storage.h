/*
 * reg_storage.h - the storage engine: every piece of registry data as
 * plain files under one storage root.
 *
 * Statuses are 0 for success and -1 for failure with a message that
 * reg_storage_last_error() returns. Documents are returned in one result
 * buffer owned by the engine; the next document-returning call
 * overwrites it, and the caller never frees it.
 */
#ifndef REGISTRY_REG_STORAGE_H
#define REGISTRY_REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>

#include "digest_text.h" /* DIGEST_TEXT_CAP: every out_digest below */

#ifdef __cplusplus
extern "C" {
#endif

int reg_storage_init(const char *root);
void reg_storage_cleanup(void);
const char *reg_storage_last_error(void);
/* How many times this process made a directory again because another
 * process removed it between its making and its use (pruning). */
long reg_storage_dir_retries(void);
/* What the OS said when the last failure happened: the store had no room
 * (REG_ERROR_FULL), or could not be written (REG_ERROR_NOT_WRITABLE: a
 * read-only file system or missing permissions). A hint for answering a
 * client; the message above stays the account of what failed. */
#define REG_ERROR_OTHER 0
#define REG_ERROR_FULL 1
#define REG_ERROR_NOT_WRITABLE 2
int reg_storage_last_error_kind(void);
const char *reg_catalog_json_page(int n, const char *last, int *out_more, char *out_last,
                                  size_t out_last_size);
const char *reg_catalog_json(int n, const char *last);
/* 0 when the repositories directory can be listed: what a health probe
 * asks of the catalog, at a cost that does not grow with the store.
 * -1 with the error set otherwise. */
int reg_catalog_readable(void);
const char *reg_storage_get_stats_json(void);
/* The engine's version, as the statistics document names it. */
const char *reg_storage_version(void);
/* Uploads in progress: {"uploads":[{"id","bytes","idle_seconds"}],"total"},
 * at most max of them (in directory order); idle_seconds counts from the
 * last write to now. NULL when the uploads cannot be listed. */
const char *reg_uploads_json(int64_t now, int max);

int reg_blob_start_upload(char *out_upload_uuid); /* >= 37 bytes */
int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t length);
/* Streamed appends: the upload stays open from begin to end, one process
 * at a time, and its running digest is saved beside it at the end, so the
 * finish need not read the upload again. reg_blob_append_chunk is the three
 * in one call. After a failed write the rest are refused; end always
 * closes. 0 or -1. */
int reg_blob_append_begin(const char *upload_uuid);
int reg_blob_append_write(const void *data, size_t length);
int reg_blob_append_end(void);
int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest); /* DIGEST_TEXT_CAP bytes */
int reg_blob_cancel_upload(const char *upload_uuid);
int reg_blob_upload_size(const char *upload_uuid, int64_t *out_bytes);
int reg_blob_exists(const char *digest);
/* reg_blob_exists for a push that names the blob: renews its last-write
 * time first, so a collection spares it for a whole window (1 stored, 0
 * not, -1 invalid). */
int reg_blob_hold(const char *digest);
int64_t reg_blob_get_size(const char *digest);
int reg_blob_get_filepath(const char *digest, char *dst, size_t dst_size);
/* Both of the above in one look at the file (a round trip each on a
 * cluster file system). 0, or -1 with "blob not found: DIGEST". */
int reg_blob_locate(const char *digest, char *dst, size_t dst_size, int64_t *out_size);
int reg_blob_delete(const char *digest);

/* A digest reference (sha256 or sha512) keeps the manifest under that
 * algorithm; a tag under the algorithm of the config (image) or first entry
 * (index), sha256 when there is none. out_digest: DIGEST_TEXT_CAP bytes. */
int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     size_t body_len, const char *content_type, char *out_digest);
/* reg_manifest_put that also points each of tags[0..tag_count) at the
 * manifest. Every tag (and a tag reference) is checked first: of the
 * grammar, and none differing only in case from a stored tag or another
 * of the push ("invalid tag reference: ..." naming it); then all are set
 * or, when a check fails, nothing is written. A tag differing only in case
 * is refused by reg_manifest_put too. */
int reg_manifest_put_tags(const char *repo_name, const char *reference, const void *body,
                          size_t body_len, const char *content_type, const char *const *tags,
                          size_t tag_count, char *out_digest);
const char *reg_manifest_get(const char *repo_name, const char *reference, char *out_content_type,
                             char *out_digest);
int reg_manifest_delete(const char *repo_name, const char *reference);
/* Where a stored manifest's body lies, for callers that stream it rather
 * than read it into the result buffer (bodies up to 4 MiB are accepted by
 * put; get returns at most 1 MiB). out_content_type: >= 127 bytes,
 * out_digest: DIGEST_TEXT_CAP bytes. 0 or -1. */
int reg_manifest_locate(const char *repo_name, const char *reference, char *out_content_type,
                        char *out_digest, char *out_path, size_t out_path_size, int64_t *out_size);
/* Removes one tag; the manifest it named stays (other tags, digests, indexes
 * may still reach it). 0 or -1 ("tag not found: ..." when absent). */
int reg_tag_delete(const char *repo_name, const char *tag);
/* The "subject" digest a manifest body names into out_digest
 * (DIGEST_TEXT_CAP bytes; "" when it names none). 0, or -1 for a body that is not a JSON
 * object or whose subject has no valid digest. */
int reg_manifest_subject(const void *body, size_t body_len, char *out_digest);
/* 1 when the repository has been pushed to, 0 when not, -1 for a bad name. */
int reg_repo_exists(const char *repo_name);
/* The referrers of subject_digest in repo_name as an OCI image index: one
 * descriptor (mediaType, digest, size, artifactType, annotations) per
 * stored manifest whose "subject" is that digest, sorted by digest, only
 * those of artifact_type when it is not NULL or "". An empty index when
 * there are none. *out_truncated is 1 when the result buffer cut the list. */
const char *reg_referrers_json(const char *repo_name, const char *subject_digest,
                               const char *artifact_type, int *out_truncated);
int reg_repo_delete(const char *repo_name);
const char *reg_tags_list_json_page(const char *repo_name, int n, const char *last, int *out_more,
                                    char *out_last, size_t out_last_size);
const char *reg_tags_list_json(const char *repo_name);
const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                               int *out_truncated);
/* The window a collection spares a blob for after its last hold (its file
 * time: set by the push that finished it, reg_blob_hold, a manifest put),
 * in seconds; REG_GC_SPARE_SECONDS_DEFAULT until set. Uploads untouched for
 * 900 seconds are removed whatever it is, and younger ones never hold a run
 * back. Applies to this process's next runs; 0, or -1 for a window under
 * one second. */
#define REG_GC_SPARE_SECONDS_DEFAULT 7200
int reg_gc_set_spare_seconds(int64_t seconds);
const char *reg_gc_json(int dry_run);
const char *reg_gc_progress_json(void);
/* The report of the last collection that was not a dry run, as it returned
 * it; NULL when none has finished. */
const char *reg_gc_last_json(void);
int reg_gc_cancel(void);
/* Follows a collection run by this process: fn(ctx, snapshot) is called,
 * in the collecting thread, with every progress document the run writes
 * (the text reg_gc_progress_json reads back), from its start to its
 * "done". The text is valid during the call only. NULL fn: none. fn must
 * not call back into the engine, except reg_gc_cancel. */
typedef void (*reg_gc_progress_fn)(void *ctx, const char *snapshot_json);
void reg_gc_on_progress(reg_gc_progress_fn fn, void *ctx);

/* Blob usage (storage_usage.cpp): the stored blobs' bytes, read cheaply
 * by any process. A snapshot (R/_usage/blobs.json) holds the last count
 * and names a journal (R/_usage/journal-ID/), into which every finish that
 * places a new blob writes its size (one empty file per blob, "HEX.SIZE")
 * when its process keeps the figure (reg_usage_keep). Each count makes its
 * journal before it walks, and finishes write into every journal present,
 * so the snapshot plus its journal never misses a blob placed after the
 * count began; it may count one twice (placed while the count walked),
 * and deleted blobs until the next count (deletes drop the snapshot). The
 * statistics refresh it in a process that keeps the figure. */
typedef struct reg_usage {
    int64_t blob_bytes;    /* the count plus the journal */
    int64_t blobs;         /* the same in blobs */
    int64_t journal_bytes; /* of that, what the journal adds */
    int64_t counted_at;    /* when the count began, seconds since 1970 */
    int recounted;         /* 1 when this call walked the blob store */
} reg_usage;
/* The usage, counting the blob store again (and saving the count for
 * the others) when the snapshot is missing, unreadable, from the future,
 * its journal gone, or at least max_age_seconds old (0: always). While
 * another process is counting, a stale snapshot is used as it is. When
 * nothing can be written (a read-only root) the count is still made.
 * 0, or -1 when not initialised. */
int reg_usage_get(int64_t max_age_seconds, reg_usage *out);
/* on = 1: this process keeps the figure up: blobs it finishes from now
 * are journaled, and the statistics save their count as the snapshot
 * (what the quota check turns on before its finish, and the status page
 * and the admin command when a quota is set). Off unless asked: without a
 * quota nothing reads the figure, a journal would grow until the next
 * count, and a health probe, which reads the statistics, writes nothing. */
void reg_usage_keep(int on);

/* Maintenance (storage_maintenance.cpp). */
/* Calls fn(ctx, digest, size) for every blob file of the store, fan-out
 * directory by directory, in the platform's order; fn returns 0 to go on.
 * 0 (also when fn stopped), or -1 when the blob store cannot be listed. */
typedef int (*reg_blob_visit_fn)(void *ctx, const char *digest, int64_t size);
int reg_blob_foreach(reg_blob_visit_fn fn, void *ctx);
/* Calls fn(ctx, repo, manifest_digest, layer_digest) for every foreign
 * (non-distributable) layer a stored image manifest names whose blob the
 * store does not hold: such layers are pulled from their urls, and are no
 * damage. Repositories in byte order; fn returns 0 to go on. 0 (also when
 * fn stopped), or -1 (not initialised, out of memory). */
typedef int (*reg_foreign_visit_fn)(void *ctx, const char *repo, const char *manifest_digest,
                                    const char *layer_digest);
int reg_foreign_layers_foreach(reg_foreign_visit_fn fn, void *ctx);
/* Moves a stored blob out of the store into R/_quarantine/HEX (HEX.1,
 * HEX.2, ... when that name is taken), never deleting anything; the new
 * path goes to out_path. 0 or -1 ("blob not found: ..." when absent). */
int reg_blob_quarantine(const char *digest, char *out_path, size_t out_path_size);
/* Calls fn(ctx, digest) once for every distinct digest the stored
 * manifests of repo_name name (config, layers, index entries), in digest
 * order; fn returns 0 to go on. *out_unread (when given) gets the number
 * of bodies that could not be read or parsed. 0, or -1 for a bad name or
 * a repository whose manifests cannot be listed. */
typedef int (*reg_digest_visit_fn)(void *ctx, const char *digest);
int reg_repo_digests(const char *repo_name, reg_digest_visit_fn fn, void *ctx, int *out_unread);

#ifdef __cplusplus
}
#endif

#endif
