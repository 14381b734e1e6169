/*
 * blobs.cpp - /v2/<name>/blobs/<digest>: GET and HEAD stream a blob (or the
 * byte range asked for; HEAD also holds it for a push), DELETE removes it.
 * The blob store is shared by all repositories, so any valid name reaches
 * every blob.
 */
#include "oci_common.h"
#include "reg_storage.h"
#include "tv_audit.h"

#include <stdlib.h>
#include <string.h>

namespace
{

constexpr size_t kLineCap = 256;

oci_route s_route;
const char *const s_digest = s_route.ref;

void header_fmt(const char *format, long long a, long long b = 0, long long c = 0)
{
    char line[kLineCap];
    tv_snprintf(line, sizeof line, format, a, b, c);
    cgi_header_extra(line);
}

void get(bool head)
{
    char path[4096];
    int64_t size = -1;
    /* A client that finds a blob by HEAD skips pushing it, so the HEAD is
     * its push: held for the manifest to come, like a mount. */
    if (head) reg_blob_hold(s_digest);
    if (reg_blob_locate(s_digest, path, sizeof path, &size) != 0) oci_fail_storage();

    int64_t first = 0, last = size - 1;
    const int range = cgi_parse_range(getenv("HTTP_RANGE"), size, &first, &last);
    if (range == CGI_RANGE_UNSATISFIABLE) {
        char line[kLineCap];
        tv_snprintf(line, sizeof line, "Content-Range: bytes */%lld", static_cast<long long>(size));
        oci_send_error_with(416, "UNSUPPORTED", "requested range not satisfiable", line);
    }
    const int64_t length = range == CGI_RANGE_OK ? last - first + 1 : size;

    oci_response_begin(range == CGI_RANGE_OK ? 206 : 200);
    cgi_header_ct("application/octet-stream");
    char line[kLineCap];
    tv_snprintf(line, sizeof line, "Docker-Content-Digest: %s", s_digest);
    cgi_header_extra(line);
    tv_snprintf(line, sizeof line, "ETag: \"%s\"", s_digest);
    cgi_header_extra(line);
    cgi_header_extra("Cache-Control: max-age=31536000");
    if (range == CGI_RANGE_OK) header_fmt("Content-Range: bytes %lld-%lld/%lld", first, last, size);
    /* A whole blob the web server can send itself goes without a copy
     * through this process; ranges and HEAD are answered here. */
    if (!head && range != CGI_RANGE_OK && cgi_x_sendfile_enabled() &&
        cgi_header_x_sendfile(path) == 0) {
        cgi_headers_end();
        tv_audit_note_bytes(size);
        return;
    }
    header_fmt("Content-Length: %lld", length);
    cgi_headers_end();
    if (head) return;
    const int64_t sent = cgi_send_file(path, first, length);
    tv_audit_note_bytes(sent < 0 ? 0 : sent);
}

void remove(void)
{
    if (reg_blob_delete(s_digest) != 0) oci_fail_storage();
    oci_response_begin(202);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
}

} // namespace

int main(void)
{
    oci_api_enter("GET, HEAD, DELETE");
    oci_api_route(OCI_ROUTE_BLOBS, &s_route);
    oci_api_storage();
    if (strcmp(cgi_method(), "DELETE") == 0)
        remove();
    else
        get(cgi_is_head() != 0);
    return 0;
}
