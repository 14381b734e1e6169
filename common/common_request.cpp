/*
 * common_request.cpp - what every endpoint program does before its own
 * work: the credential check, OPTIONS and methods it does not answer, the
 * storage bootstrap, and the split of the request path.
 */
#include "oci_common.h"

#include "reg_storage.h"
#include "v2_auth.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

namespace
{

constexpr size_t kAllowLineCap = 128;

/* 1 when method is one of the names in allow ("GET, HEAD, PUT"). */
bool method_listed(const char *allow, std::string_view method)
{
    std::string_view list(allow);
    while (!list.empty()) {
        const size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        if (item == method) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

} // namespace

void oci_api_enter(const char *allow)
{
    /* Settings and credentials first: without them a client learns
     * nothing, not even which methods a URL answers. */
    if (!registry_auth_enter()) exit(0);
    const char *method = cgi_method();
    char line[kAllowLineCap];
    tv_snprintf(line, sizeof line, "Allow: %s, OPTIONS", allow);
    if (strcmp(method, "OPTIONS") == 0) {
        oci_response_begin(204);
        cgi_header_extra(line);
        cgi_headers_end();
        exit(0);
    }
    if (!method_listed(allow, method))
        oci_send_error_with(405, "UNSUPPORTED", "method not allowed", line);
}

void oci_api_storage(void)
{
    if (oci_init_storage() == 0) return;
    char message[256];
    tv_snprintf(message, sizeof message, "storage unavailable: %s", reg_storage_last_error());
    oci_send_error(503, "UNKNOWN", message);
}

unsigned oci_route_actions(oci_route_kind kind, const char *method)
{
    /* Every step of an upload, its cancel too, is part of a push. */
    if (kind == OCI_ROUTE_UPLOADS) return TV_ACTION_PUSH;
    if (strcmp(method, "DELETE") == 0) return TV_ACTION_DELETE;
    if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0) return TV_ACTION_PULL;
    return TV_ACTION_PUSH;
}

int oci_may_mount_from(const char *repository)
{
    if (!registry_auth_enabled()) return 1; /* everyone may pull everything */
    if (!repository || !oci_valid_repo_name(repository)) return 0;
    registry_caller caller;
    if (registry_auth_identify(&caller, nullptr, 0) != REGISTRY_AUTH_OK) return 0;
    return (registry_auth_actions(&caller, repository) & TV_ACTION_PULL) ? 1 : 0;
}

void oci_require_digest(const char *s)
{
    switch (digest_parse(s, nullptr)) {
    case DIGEST_FORM_OK:
        return;
    case DIGEST_FORM_UNSUPPORTED:
        oci_fail("DIGEST_INVALID", OCI_DIGEST_UNSUPPORTED);
    case DIGEST_FORM_MALFORMED:
        break;
    }
    oci_fail("DIGEST_INVALID", "invalid digest");
}

void oci_api_route(oci_route_kind kind, oci_route *out)
{
    switch (oci_route_parse(kind, cgi_path_info(), out)) {
    case OCI_ROUTE_OK:
        if (!oci_route_name_lower(out->name) &&
            (oci_route_actions(kind, cgi_method()) & (TV_ACTION_PUSH | TV_ACTION_DELETE)))
            oci_fail("NAME_INVALID", "invalid repository name: repository names are lower case");
        if (!registry_auth_require(out->name, oci_route_actions(kind, cgi_method()), nullptr))
            exit(0);
        return;
    case OCI_ROUTE_UNKNOWN:
        oci_send_error(404, "UNSUPPORTED", "unknown API endpoint");
    case OCI_ROUTE_NAME_INVALID:
        oci_fail("NAME_INVALID", nullptr);
    case OCI_ROUTE_TAG_INVALID:
        oci_fail("TAG_INVALID", "invalid tag reference");
    case OCI_ROUTE_DIGEST_INVALID:
        oci_fail("DIGEST_INVALID", "invalid digest");
    case OCI_ROUTE_DIGEST_UNSUPPORTED:
        oci_fail("DIGEST_INVALID", OCI_DIGEST_UNSUPPORTED);
    case OCI_ROUTE_UPLOAD_UNKNOWN:
        oci_fail("BLOB_UPLOAD_UNKNOWN", nullptr);
    }
    oci_send_error(404, "UNSUPPORTED", "unknown API endpoint");
}
