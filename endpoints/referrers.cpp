/*
 * referrers.cpp - GET /v2/<name>/referrers/<digest>[?artifactType=]: the
 * manifests of <name> whose subject is <digest>, as an image index. An
 * empty index when there are none, never 404.
 */
#include "oci_common.h"
#include "reg_storage.h"
#include "tv_audit.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    oci_api_enter("GET, HEAD");
    oci_route route;
    oci_api_route(OCI_ROUTE_REFERRERS, &route);
    const char *filter = cgi_query("artifactType");
    oci_api_storage();

    int truncated = 0;
    const char *json = reg_referrers_json(route.name, route.ref, filter, &truncated);
    if (!json) oci_fail_storage();
    oci_response_begin(200);
    cgi_header_ct("application/vnd.oci.image.index.v1+json");
    if (*filter) cgi_header_extra("OCI-Filters-Applied: artifactType");
    cgi_headers_end();
    if (cgi_is_head()) return 0;
    const size_t len = strlen(json);
    fwrite(json, 1, len, stdout);
    fflush(stdout);
    tv_audit_note_bytes(static_cast<int64_t>(len));
    return 0;
}
