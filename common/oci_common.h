/*
 * oci_common.h - the registry service helpers shared by the endpoint
 * programs: configuration settings, storage bootstrap, registry responses,
 * the storage quota check and repository names in request paths.
 */
#ifndef REGISTRY_OCI_COMMON_H
#define REGISTRY_OCI_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "digest_text.h"
#include "oci_route.h"
#include "tv_cgi.h" /* TV_NORETURN */

#ifdef __cplusplus
extern "C" {
#endif

/* Settings of the settings file (tv_config.h): retention and quota. */
int64_t oci_retention_keep_n(void);
int64_t oci_retention_days(void);
int oci_retention_protect_latest(void);
/* The collection's spare window ("registry_gc_spare_seconds"), for
 * reg_gc_set_spare_seconds. */
int64_t oci_gc_spare_seconds(void);
int64_t oci_quota_bytes(void);
/* Age in seconds past which a quota check counts the blob store again
 * ("registry_quota_refresh_seconds", 600 unless set; 0: at every check). */
int64_t oci_quota_refresh_seconds(void);

/* Brings the storage engine up on the configured root, once per process.
 * 0, or reg_storage_init's failure (retried on the next call). */
int oci_init_storage(void);
/* The root oci_init_storage uses: REGISTRY_STORAGE_ROOT, else the
 * configured root, else "./registry_storage". Cut to out_size - 1 bytes. */
#define OCI_STORAGE_ROOT_CAP 1024
void oci_storage_root(char *out, size_t out_size);

/* Complete registry responses. oci_send_error ends the process (status 0,
 * the access log writes its line); NULL code / message give "UNKNOWN" /
 * "Unknown error". oci_send_json writes json (NULL or "": "{}") and a
 * line feed and returns. */
TV_NORETURN void oci_send_error(int status, const char *code, const char *message);
void oci_send_json(int status, const char *json);
/* oci_send_error with one more header line (an Allow, a Range). */
TV_NORETURN void oci_send_error_with(int status, const char *code, const char *message,
                                     const char *header_line);
/* The status line and the protocol's version header, which every answer
 * carries; the caller adds its headers and ends them. */
void oci_response_begin(int status);

/* The protocol's error codes. oci_fail answers code with its status and,
 * when message is NULL or "", its standard message. */
int oci_error_status(const char *code);
TV_NORETURN void oci_fail(const char *code, const char *message);
/* The code (and status) for a storage engine failure message: client
 * mistakes map to their 4xx code, everything else to UNKNOWN and 500. */
const char *oci_storage_error_code(const char *message, int *out_status);
/* Answers the storage engine's last failure with its code. */
TV_NORETURN void oci_fail_storage(void);
/* Answers a storage failure: message and kind (reg_storage_last_error_kind)
 * as saved when it happened. A failure that is no client mistake answers
 * 507 when the store is full and 503 when it cannot be written, both
 * UNKNOWN with the cause first in the message; else as
 * oci_storage_error_code says. */
TV_NORETURN void oci_fail_storage_as(const char *message, int kind);

/* The start of every endpoint program. oci_api_enter checks the
 * credentials (401), answers OPTIONS (204 with Allow) and refuses methods
 * not in allow ("GET, HEAD", 405 with Allow); it returns only when the
 * request may go on. oci_api_storage brings storage up or answers 503.
 * oci_api_route reads PATH_INFO for the program's kind (oci_route.h) and
 * answers what it refuses (and what the caller may not do, see
 * oci_route_actions): 404 for another URL, 400 NAME_INVALID,
 * TAG_INVALID or DIGEST_INVALID, 404 BLOB_UPLOAD_UNKNOWN for a malformed
 * upload id. */
void oci_api_enter(const char *allow);
void oci_api_storage(void);
void oci_api_route(oci_route_kind kind, oci_route *out);
/* What a request of method on a URL of kind does to its repository
 * (TV_ACTION_*): oci_api_route asks the caller's rights for it, and
 * answers 401 or 403 when they fall short. */
unsigned oci_route_actions(oci_route_kind kind, const char *method);
/* 1 when the caller may pull from repository, a mount's "from": always
 * without access control, else a valid name and the pull right there. */
int oci_may_mount_from(const char *repository);

/* Paged listings. oci_page_query copies "last" into out_last and returns
 * "n": -1 when absent (everything), 0 for an empty page; a malformed n is
 * answered with 400. oci_send_page answers 200 with json and, when more
 * follow, a Link to the next page of path after last. */
int oci_page_query(char *out_last, size_t out_last_size);
/* The "n" text read alone: 0 with *out_n as oci_page_query returns it
 * (-1 for "" or past OCI_PAGE_MAX), or -1 when it is not decimal digits. */
#define OCI_PAGE_MAX 100000
int oci_page_size(const char *text, int *out_n);
void oci_send_page(const char *json, int more, const char *path, int n, const char *last);

/* Quota. Both overwrite the storage engine's result buffer. */
int64_t oci_quota_used_bytes(void);
/* 1 when the open upload fits within the quota or no decision can be made;
 * 0 with "quota exceeded: USED of QUOTA used" in out_msg otherwise. */
int oci_quota_check(const char *upload_uuid, char *out_msg, size_t out_msg_size);
#define OCI_FMT_BYTES_CAP 32
void oci_fmt_bytes(int64_t n, char *out); /* out: OCI_FMT_BYTES_CAP bytes */

/* Repository names in request paths (the request layer's rule). */
int oci_valid_repo_name(const char *name);
/* A digest the registry keeps (digest_text_valid: sha256 or sha512 with
 * its lower-case hex); a tag of the protocol's grammar. */
int oci_valid_digest(const char *s);
/* The message of a digest naming an algorithm the registry does not keep. */
#define OCI_DIGEST_UNSUPPORTED "unsupported digest algorithm (supported: " DIGEST_SUPPORTED ")"
/* Returns when s is a digest the registry keeps; otherwise answers 400
 * DIGEST_INVALID, naming the supported algorithms when s is well formed
 * but of another one. */
void oci_require_digest(const char *s);
int oci_valid_tag(const char *s);
/* Splits "/v2/NAME<marker>REST" into NAME and REST; 1 when NAME is valid. */
int oci_parse_repo_marker(const char *path, const char *marker, char *out_name,
                          size_t out_name_size, char *out_rest, size_t out_rest_size);

#ifdef __cplusplus
}
#endif

#endif
