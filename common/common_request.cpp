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
    /* Credentials first: without them a client learns nothing, not even
     * which methods a URL answers. */
    if (!registry_auth_check()) exit(0);
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

namespace
{

/* Every component of the name begins with a letter or digit. The name rule
 * alone lets "." and ".." through (and "_manifests"), which as directories
 * would reach another repository's files or leave the store. */
bool components_start_alnum(const char *name)
{
    for (const char *p = name; *p; ++p) {
        if (p != name && p[-1] != '/') continue;
        const char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

} // namespace

void oci_api_route(const char *marker, char *out_name, size_t out_name_size, char *out_rest,
                   size_t out_rest_size)
{
    const char *path = cgi_path_info();
    if (oci_parse_repo_marker(path, marker, out_name, out_name_size, out_rest, out_rest_size)) {
        if (components_start_alnum(out_name)) return;
        oci_fail("NAME_INVALID", nullptr);
    }
    /* The web server routes by the marker, so it is there unless the
     * program was reached some other way. */
    if (!strstr(path, marker)) oci_send_error(404, "UNSUPPORTED", "unknown API endpoint");
    oci_fail("NAME_INVALID", nullptr);
}
