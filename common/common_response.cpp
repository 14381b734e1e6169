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

void write_headers(int status, const char *extra)
{
    oci_response_begin(status);
    if (extra && *extra) cgi_header_extra(extra);
    cgi_header_json();
    cgi_headers_end();
}

[[noreturn]] void send_error(int status, const char *code, const char *message, const char *extra)
{
    write_headers(status, extra);
    /* A HEAD answer has the headers alone. */
    if (cgi_is_head()) exit(0);
    const size_t n =
        cgi_error_body(stdout, code ? code : "UNKNOWN", message ? message : "Unknown error");
    tv_audit_note_bytes(static_cast<int64_t>(n));
    fflush(stdout);
    exit(0); /* the normal exit path: the access log writes its line */
}

} // namespace

void oci_response_begin(int status)
{
    cgi_header_status(status, nullptr);
    cgi_header_extra(kApiVersion);
}

void oci_send_error(int status, const char *code, const char *message)
{
    send_error(status, code, message, nullptr);
}

void oci_send_error_with(int status, const char *code, const char *message, const char *header_line)
{
    send_error(status, code, message, header_line);
}

void oci_send_json(int status, const char *json)
{
    write_headers(status, nullptr);
    if (cgi_is_head()) return;
    if (!json || !*json) json = kEmptyJson;
    const size_t n = strlen(json);
    tv_audit_note_bytes(static_cast<int64_t>(n + 1));
    fwrite(json, 1, n, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}
