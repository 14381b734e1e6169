/*
 * common_response.cpp - complete registry responses: an error that ends
 * the process and a JSON document. Both note the body's size for the
 * access log, which writes its line at exit.
 */
#include "oci_common.h"

#include "tv_audit.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{

constexpr char kApiVersion[] = "Docker-Distribution-API-Version: registry/2.0";
constexpr char kEmptyJson[] = "{}";

void write_headers(int status)
{
    cgi_header_status(status, nullptr);
    cgi_header_extra(kApiVersion);
    cgi_header_json();
    cgi_headers_end();
}

} // namespace

void oci_send_error(int status, const char *code, const char *message)
{
    write_headers(status);
    const size_t n =
        cgi_error_body(stdout, code ? code : "UNKNOWN", message ? message : "Unknown error");
    tv_audit_note_bytes(static_cast<int64_t>(n));
    fflush(stdout);
    exit(0); /* the normal exit path: the access log writes its line */
}

void oci_send_json(int status, const char *json)
{
    write_headers(status);
    if (!json || !*json) json = kEmptyJson;
    const size_t n = strlen(json);
    tv_audit_note_bytes(static_cast<int64_t>(n + 1));
    fwrite(json, 1, n, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}
