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

#ifdef __cplusplus
extern "C" {
#endif

int reg_storage_init(const char *root);
void reg_storage_cleanup(void);
const char *reg_storage_last_error(void);
const char *reg_catalog_json_page(int n, const char *last, int *out_more, char *out_last,
                                  size_t out_last_size);
const char *reg_catalog_json(int n, const char *last);
const char *reg_storage_get_stats_json(void);

int reg_blob_start_upload(char *out_upload_uuid); /* >= 37 bytes */
int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t length);
int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest); /* >= 72 bytes */
int reg_blob_cancel_upload(const char *upload_uuid);
int reg_blob_upload_size(const char *upload_uuid, int64_t *out_bytes);
int reg_blob_exists(const char *digest);
int64_t reg_blob_get_size(const char *digest);
int reg_blob_get_filepath(const char *digest, char *dst, size_t dst_size);
int reg_blob_delete(const char *digest);

int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     size_t body_len, const char *content_type, char *out_digest);
const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest);
int reg_manifest_delete(const char *repo_name, const char *reference);
int reg_repo_delete(const char *repo_name);
const char *reg_tags_list_json_page(const char *repo_name, int n, const char *last,
                                    int *out_more, char *out_last, size_t out_last_size);
const char *reg_tags_list_json(const char *repo_name);
const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                               int *out_truncated);
const char *reg_gc_json(int dry_run);
const char *reg_gc_progress_json(void);
int reg_gc_cancel(void);

#ifdef __cplusplus
}
#endif

#endif
