/*
 * common_pages.cpp - paged listings (catalog, tags): the n and last query
 * parameters and the answer with its Link to the next page.
 */
#include "oci_common.h"

#include "tv_audit.h"

#include <stdio.h>
#include <string.h>

namespace
{

constexpr int kPageMax = OCI_PAGE_MAX; /* larger n is read as "everything" */
constexpr size_t kLinkCap = 1024;

} // namespace

int oci_page_size(const char *text, int *out_n)
{
    *out_n = -1;
    if (!text || !*text) return 0;
    long long n = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        if (n <= kPageMax) n = n * 10 + (*p - '0'); /* stops growing once past the largest */
    }
    *out_n = n > kPageMax ? -1 : static_cast<int>(n);
    return 0;
}

int oci_page_query(char *out_last, size_t out_last_size)
{
    const char *last = cgi_query("last");
    tv_strlcpy(out_last, last, out_last_size);
    int n = -1;
    if (oci_page_size(cgi_query("n"), &n) != 0)
        oci_send_error(400, "PAGINATION_NUMBER_INVALID", "invalid number of results requested");
    return n;
}

void oci_send_page(const char *json, int more, const char *path, int n, const char *last)
{
    oci_response_begin(200);
    if (more && last && *last) {
        /* Names and tags hold only characters a URL carries as they are. */
        char line[kLinkCap];
        if (n > 0)
            tv_snprintf(line, sizeof line, "Link: <%s?n=%d&last=%s>; rel=\"next\"", path, n, last);
        else
            tv_snprintf(line, sizeof line, "Link: <%s?last=%s>; rel=\"next\"", path, last);
        cgi_header_extra(line);
    }
    cgi_header_json();
    cgi_headers_end();
    if (cgi_is_head()) return;
    const size_t len = strlen(json);
    fwrite(json, 1, len, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    tv_audit_note_bytes(static_cast<int64_t>(len + 1));
}
