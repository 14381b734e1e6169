/*
 * common_errors.cpp - the distribution protocol's error codes: each with
 * its HTTP status and standard message, and the storage engine's failure
 * messages translated into them.
 */
#include "oci_common.h"

#include "reg_storage.h"

#include <string.h>

#include <string_view>

namespace
{

struct error_code {
    const char *code;
    int status;
    const char *message;
};

constexpr error_code kCodes[] = {
    {"BLOB_UNKNOWN", 404, "blob unknown to registry"},
    {"BLOB_UPLOAD_INVALID", 400, "blob upload invalid"},
    {"BLOB_UPLOAD_UNKNOWN", 404, "blob upload unknown to registry"},
    {"DIGEST_INVALID", 400, "provided digest did not match uploaded content"},
    {"MANIFEST_BLOB_UNKNOWN", 400, "manifest references a manifest or blob unknown to registry"},
    {"MANIFEST_INVALID", 400, "manifest invalid"},
    {"MANIFEST_UNKNOWN", 404, "manifest unknown to registry"},
    {"NAME_INVALID", 400, "invalid repository name"},
    {"NAME_UNKNOWN", 404, "repository name not known to registry"},
    {"SIZE_INVALID", 400, "provided length did not match content length"},
    {"TAG_INVALID", 400, "manifest tag did not match URI"},
    {"UNAUTHORIZED", 401, "authentication required"},
    {"DENIED", 403, "requested access to the resource is denied"},
    {"UNSUPPORTED", 405, "the operation is unsupported"},
    {"TOOMANYREQUESTS", 429, "too many requests"},
    {"UNKNOWN", 500, "unknown error"},
};

const error_code &lookup(const char *code)
{
    for (const error_code &e : kCodes)
        if (code && strcmp(e.code, code) == 0) return e;
    return kCodes[sizeof kCodes / sizeof kCodes[0] - 1];
}

/* The engine's messages by their fixed beginning. Validation of what the
 * client sent maps to a 4xx code; anything else (a disk that refused a
 * write) stays UNKNOWN with status 500. */
struct storage_failure {
    std::string_view prefix;
    int status;
    const char *code;
};

constexpr storage_failure kStorageFailures[] = {
    {"BLOB_UNKNOWN: ", 400, "MANIFEST_BLOB_UNKNOWN"},
    {"manifest too large (max", 413, "SIZE_INVALID"},
    {"manifest not found", 404, "MANIFEST_UNKNOWN"},
    {"manifest body not found", 404, "MANIFEST_UNKNOWN"},
    {"tag not found", 404, "MANIFEST_UNKNOWN"},
    {"corrupt tag link", 500, "UNKNOWN"},
    {"manifest ", 400, "MANIFEST_INVALID"},
    {"invalid content type", 400, "MANIFEST_INVALID"},
    {"content type too long", 400, "MANIFEST_INVALID"},
    {"invalid tag reference", 400, "TAG_INVALID"},
    {"empty reference", 400, "TAG_INVALID"},
    {"invalid repository name", 400, "NAME_INVALID"},
    {"repository not found", 404, "NAME_UNKNOWN"},
    {"invalid digest", 400, "DIGEST_INVALID"},
    {"invalid expected digest", 400, "DIGEST_INVALID"},
    {"digest mismatch", 400, "DIGEST_INVALID"},
    {"invalid upload uuid", 404, "BLOB_UPLOAD_UNKNOWN"},
    {"upload not found", 404, "BLOB_UPLOAD_UNKNOWN"},
    {"blob not found", 404, "BLOB_UNKNOWN"},
    {"artifact type too long", 400, "UNSUPPORTED"},
};

} // namespace

int oci_error_status(const char *code)
{
    return lookup(code).status;
}

void oci_fail(const char *code, const char *message)
{
    const error_code &e = lookup(code);
    oci_send_error(e.status, e.code, message && *message ? message : e.message);
}

const char *oci_storage_error_code(const char *message, int *out_status)
{
    const std::string_view m(message ? message : "");
    for (const storage_failure &f : kStorageFailures) {
        if (m.starts_with(f.prefix)) {
            if (out_status) *out_status = f.status;
            return f.code;
        }
    }
    if (out_status) *out_status = 500;
    return "UNKNOWN";
}

void oci_fail_storage(void)
{
    oci_fail_storage_as(reg_storage_last_error(), reg_storage_last_error_kind());
}

/* 507 and 503 are what clients show with the message and may try again
 * later: room can be made, a store remounted writable. */
void oci_fail_storage_as(const char *message, int kind)
{
    if (!message || !*message) message = "storage failure";
    int status = 500;
    const char *code = oci_storage_error_code(message, &status);
    if (status == 500 && kind == REG_ERROR_FULL) {
        char text[640];
        tv_snprintf(text, sizeof text, "no space left on the storage: %s", message);
        oci_send_error(507, code, text);
    }
    if (status == 500 && kind == REG_ERROR_NOT_WRITABLE) {
        char text[640];
        tv_snprintf(text, sizeof text, "storage is read-only or not writable: %s", message);
        oci_send_error(503, code, text);
    }
    oci_send_error(status, code, message);
}
