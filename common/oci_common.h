/*
 * oci_common.h - the registry service helpers shared by the endpoint
 * programs: configuration settings, storage bootstrap, registry responses,
 * the storage quota check and repository names in request paths.
 */
#ifndef REGISTRY_OCI_COMMON_H
#define REGISTRY_OCI_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "tv_cgi.h" /* TV_NORETURN */

#ifdef __cplusplus
extern "C" {
#endif

/* Settings from config.json in the working directory, read anew on every
 * call; a missing file or key, or a value of another form, gives the
 * default (0, or 1 for the protection of "latest"). key is searched with
 * its double quotes, e.g. "\"registry_retention_days\"". */
int64_t oci_config_int(const char *key);
int64_t oci_retention_keep_n(void);
int64_t oci_retention_days(void);
int oci_retention_protect_latest(void);
int64_t oci_quota_bytes(void);

/* Brings the storage engine up on the configured root, once per process.
 * 0, or reg_storage_init's failure (retried on the next call). */
int oci_init_storage(void);

/* Complete registry responses. oci_send_error ends the process (status 0,
 * the access log writes its line); NULL code / message give "UNKNOWN" /
 * "Unknown error". oci_send_json writes json (NULL or "": "{}") and a
 * line feed and returns. */
TV_NORETURN void oci_send_error(int status, const char *code, const char *message);
void oci_send_json(int status, const char *json);

/* Quota. Both overwrite the storage engine's result buffer. */
int64_t oci_quota_used_bytes(void);
/* 1 when the open upload fits within the quota or no decision can be made;
 * 0 with "quota exceeded: USED of QUOTA used" in out_msg otherwise. */
int oci_quota_check(const char *upload_uuid, char *out_msg, size_t out_msg_size);
#define OCI_FMT_BYTES_CAP 32
void oci_fmt_bytes(int64_t n, char *out); /* out: OCI_FMT_BYTES_CAP bytes */

/* Repository names in request paths (the request layer's rule). */
int oci_valid_repo_name(const char *name);
/* Splits "/v2/NAME<marker>REST" into NAME and REST; 1 when NAME is valid. */
int oci_parse_repo_marker(const char *path, const char *marker, char *out_name,
                          size_t out_name_size, char *out_rest, size_t out_rest_size);

#ifdef __cplusplus
}
#endif

#endif
