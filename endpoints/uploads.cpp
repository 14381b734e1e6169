/*
 * uploads.cpp - /v2/<name>/blobs/uploads/[<id>]: blob uploads.
 *   POST          starts an upload (202), or mounts a stored blob (201), or
 *                 with ?digest= takes the whole blob in one request (201)
 *   PATCH <id>    appends the body, streamed; with Content-Range only at
 *                 the upload's end (416 otherwise, nothing appended)
 *   PUT <id>      appends an optional last body, checks the quota and
 *                 finishes with digest verification (201)
 *   GET <id>      the upload's progress (204); DELETE <id> cancels it (204)
 * The body goes to the upload file through one fixed buffer, never whole in
 * memory.
 */
#include "oci_common.h"
#include "reg_storage.h"

#include <stdlib.h>
#include <string.h>

namespace
{

constexpr size_t kLineCap = 512;

oci_route s_route;
const char *const s_name = s_route.name;
char *const s_id = s_route.ref; /* "" at the collection URL */

void header_fmt(const char *format, const char *a)
{
    char line[kLineCap];
    tv_snprintf(line, sizeof line, format, a);
    cgi_header_extra(line);
}

/* "Range: 0-<last byte>" as the protocol writes progress: "0-0" for none. */
void range_header(int64_t size)
{
    char line[kLineCap];
    tv_snprintf(line, sizeof line, "Range: 0-%lld",
                static_cast<long long>(size > 0 ? size - 1 : 0));
    cgi_header_extra(line);
}

int64_t upload_size(void)
{
    int64_t size = 0;
    if (reg_blob_upload_size(s_id, &size) != 0) oci_fail_storage();
    return size;
}

/* The headers that tell a client where its upload stands. */
void progress_answer(int status)
{
    const int64_t size = upload_size();
    char location[kLineCap];
    tv_snprintf(location, sizeof location, "/v2/%s/blobs/uploads/%s", s_name, s_id);
    oci_response_begin(status);
    header_fmt("Location: %s", location);
    range_header(size);
    header_fmt("Docker-Upload-UUID: %s", s_id);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
}

void blob_answer(const char *digest)
{
    char location[kLineCap];
    tv_snprintf(location, sizeof location, "/v2/%s/blobs/%s", s_name, digest);
    oci_response_begin(201);
    header_fmt("Location: %s", location);
    header_fmt("Docker-Content-Digest: %s", digest);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
}

int append_cb(void *, const void *data, size_t len)
{
    return reg_blob_append_write(data, len);
}

/* The request body appended to the upload, held open for the whole body. */
int stream_body(uint64_t *total)
{
    if (reg_blob_append_begin(s_id) != 0) return -1;
    const int rc = cgi_stream_post(append_cb, nullptr, total);
    return reg_blob_append_end() == 0 ? rc : -1;
}

/* A chunk with Content-Range must start where the upload ends and be as
 * long as its body; checked before a byte is appended. */
void check_content_range(void)
{
    const char *header = getenv("HTTP_CONTENT_RANGE");
    if (!header) return;
    int64_t first = 0, last = 0;
    const int64_t size = upload_size();
    const long long length = strtoll(cgi_env("CONTENT_LENGTH", "0"), nullptr, 10);
    if (cgi_parse_content_range(header, &first, &last) == 0 && first == size &&
        last - first + 1 == length)
        return;
    char line[kLineCap];
    tv_snprintf(line, sizeof line, "Range: 0-%lld",
                static_cast<long long>(size > 0 ? size - 1 : 0));
    oci_send_error_with(416, "BLOB_UPLOAD_INVALID", "Content-Range does not continue the upload",
                        line);
}

/* Appends the request body; a body cut short (the client went away) keeps
 * what arrived, which the next PATCH continues from. */
void append_body(void)
{
    uint64_t total = 0;
    if (stream_body(&total) != 0) oci_fail_storage();
    const long long announced = strtoll(cgi_env("CONTENT_LENGTH", "0"), nullptr, 10);
    if (announced > 0 && total != static_cast<uint64_t>(announced))
        oci_fail("SIZE_INVALID", "body shorter than its Content-Length");
}

/* Hashes, verifies and stores the upload into stored, or answers the
 * failure (cancelling the upload first when asked). When another upload of
 * the same content was renamed into the store between the engine's
 * existence test and its rename, the finish fails though the blob is
 * stored, and the upload is still there: once more, the engine finds the
 * blob stored and drops this upload. A mismatch removes the upload, so it
 * is never retried. */
void store_upload(const char *digest, char *stored, bool cancel_on_failure)
{
    if (reg_blob_finish_upload(s_id, digest, stored) == 0) return;
    char message[512];
    tv_strlcpy(message, reg_storage_last_error(), sizeof message);
    const int kind = reg_storage_last_error_kind();
    int64_t size = 0;
    if (reg_blob_exists(digest) == 1 && reg_blob_upload_size(s_id, &size) == 0 &&
        reg_blob_finish_upload(s_id, digest, stored) == 0)
        return;
    if (cancel_on_failure) reg_blob_cancel_upload(s_id);
    oci_fail_storage_as(message, kind);
}

/* The digest a finish names, checked before any body is appended: a
 * refused finish leaves the upload as it was. */
void check_finish_digest(const char *digest)
{
    if (!*digest) oci_fail("DIGEST_INVALID", "digest parameter missing");
    oci_require_digest(digest);
}

/* Verifies and stores the upload as the blob digest names. */
void finish(const char *digest)
{
    char message[256];
    if (!oci_quota_check(s_id, message, sizeof message)) oci_fail("DENIED", message);
    char stored[DIGEST_TEXT_CAP];
    store_upload(digest, stored, false);
    blob_answer(stored);
}

void start(void)
{
    /* The store is shared, so a mount is a check that the blob is there,
     * allowed only from a repository the caller may pull: otherwise it
     * would read another team's blob by its digest. Refused, it is a plain
     * upload (202), as the protocol lets a registry answer any mount. A
     * mount is a push of the blob, so it is held for the manifest to come. */
    const char *mount = cgi_query("mount");
    if (*mount && oci_valid_digest(mount) && oci_may_mount_from(cgi_query("from")) &&
        reg_blob_hold(mount) == 1) {
        char digest[DIGEST_TEXT_CAP];
        tv_strlcpy(digest, mount, sizeof digest);
        blob_answer(digest);
        return;
    }
    char digest[160];
    tv_strlcpy(digest, cgi_query("digest"), sizeof digest);
    if (*digest) oci_require_digest(digest);
    if (reg_blob_start_upload(s_id) != 0) oci_fail_storage();
    if (!*digest) {
        append_body();
        progress_answer(202);
        return;
    }
    /* Monolithic: the whole blob in this one request. Nothing half-done
     * stays behind when it fails. */
    uint64_t total = 0;
    const int rc = stream_body(&total);
    const long long announced = strtoll(cgi_env("CONTENT_LENGTH", "0"), nullptr, 10);
    if (rc != 0 || (announced > 0 && total != static_cast<uint64_t>(announced))) {
        reg_blob_cancel_upload(s_id);
        if (rc != 0) oci_fail_storage();
        oci_fail("SIZE_INVALID", "body shorter than its Content-Length");
    }
    char message[256];
    if (!oci_quota_check(s_id, message, sizeof message)) {
        reg_blob_cancel_upload(s_id);
        oci_fail("DENIED", message);
    }
    char stored[DIGEST_TEXT_CAP];
    store_upload(digest, stored, true);
    blob_answer(stored);
}

} // namespace

int main(void)
{
    oci_api_enter("GET, POST, PATCH, PUT, DELETE");
    const char *method = cgi_method();
    const bool is_post = strcmp(method, "POST") == 0;
    /* POST starts an upload at the collection URL; the rest need an id. An
     * id of any form makes the URL an upload's, where POST is not allowed. */
    constexpr char kUploadAllow[] = "Allow: GET, PATCH, PUT, DELETE, OPTIONS";
    if (is_post &&
        oci_route_parse(OCI_ROUTE_UPLOADS, cgi_path_info(), &s_route) == OCI_ROUTE_UPLOAD_UNKNOWN)
        oci_send_error_with(405, "UNSUPPORTED", "method not allowed", kUploadAllow);
    oci_api_route(OCI_ROUTE_UPLOADS, &s_route);
    if (is_post != (s_id[0] == '\0')) {
        if (is_post) oci_send_error_with(405, "UNSUPPORTED", "method not allowed", kUploadAllow);
        oci_fail("BLOB_UPLOAD_UNKNOWN", nullptr);
    }
    oci_api_storage();
    if (!is_post) upload_size(); /* 404 for an unknown id before any body is read */
    if (is_post) {
        start();
    } else if (strcmp(method, "PATCH") == 0) {
        check_content_range();
        append_body();
        progress_answer(202);
    } else if (strcmp(method, "PUT") == 0) {
        check_finish_digest(cgi_query("digest"));
        if (getenv("CONTENT_LENGTH") && atoll(getenv("CONTENT_LENGTH")) > 0) {
            check_content_range();
            append_body();
        }
        finish(cgi_query("digest"));
    } else if (strcmp(method, "DELETE") == 0) {
        if (reg_blob_cancel_upload(s_id) != 0) oci_fail_storage();
        oci_response_begin(204);
        cgi_headers_end();
    } else {
        progress_answer(204);
    }
    return 0;
}
