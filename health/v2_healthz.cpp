/*
 * v2_healthz.cpp - the health endpoint's CGI handler: OPTIONS at once,
 * 405 for anything but GET and HEAD, and for those the probe's result as
 * a JSON document or an HTML page.
 */
#include "v2_healthz.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <yyjson.h>

#include "tv_cgi.h"

namespace {

constexpr const char *kMethodNotAllowedBody =
    "{\"error\":\"method_not_allowed\",\"message\":\"the health endpoint is read-only\","
    "\"allow\":\"GET, HEAD\"}\n";
constexpr const char *kInternalBody = "{\"status\":\"unhealthy\",\"component\":\"internal\"}\n";

bool ascii_iequals(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
        if (x != *b) return false;
    }
    return *a == *b;
}

/* "format=json" (any letter case) forces JSON; otherwise only an Accept
 * header that asks for HTML and not for JSON chooses the page. */
bool wants_html(void)
{
    if (ascii_iequals(cgi_query("format"), "json")) return false;
    const char *accept = cgi_env("HTTP_ACCEPT", "");
    return *accept && !strstr(accept, "application/json") && strstr(accept, "text/html");
}

void write_headers(int status, const char *reason, bool html)
{
    cgi_header_status(status, reason);
    if (html)
        cgi_header_html();
    else
        cgi_header_json();
    cgi_header_extra("Cache-Control: no-store");
    cgi_headers_end();
}

/* Builds the pretty-printed answer; NULL when no text could be made. A
 * member that cannot be allocated is simply missing. */
char *report_json(const health_report *r)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    if (!doc) return nullptr;
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);

    yyjson_mut_obj_add_str(doc, root, "status", r->ok ? "ok" : "unhealthy");
    if (!r->ok) {
        yyjson_mut_obj_add_str(doc, root, "component", r->component);
        yyjson_mut_obj_add_str(doc, root, "reason", r->reason);
    }
    yyjson_mut_obj_add_str(doc, root, "version", r->version);
    yyjson_mut_obj_add_int(doc, root, "uptime_seconds", r->uptime_seconds);

    yyjson_mut_val *components = yyjson_mut_obj_add_obj(doc, root, "components");
    yyjson_mut_val *storage = yyjson_mut_obj_add_obj(doc, components, "storage");
    yyjson_mut_obj_add_bool(doc, storage, "ok", r->init_rc == 0 && r->writable);
    yyjson_mut_obj_add_bool(doc, storage, "writable", r->writable != 0);
    yyjson_mut_obj_add_int(doc, storage, "init_rc", r->init_rc);
    yyjson_mut_val *catalog = yyjson_mut_obj_add_obj(doc, components, "catalog");
    yyjson_mut_obj_add_bool(doc, catalog, "ok", r->catalog_ok != 0);

    char *text = yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY, nullptr, nullptr, nullptr);
    yyjson_mut_doc_free(doc);
    return text;
}

void write_page(const health_report *r)
{
    fputs("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
          "<title>Registry health</title></head>\n"
          "<body style=\"background:#000;color:#eee;font-family:system-ui,sans-serif;"
          "padding:40px\">\n<h1>",
          stdout);
    fputs(r->ok ? "Healthy" : "Unhealthy", stdout);
    fputs("</h1>\n<p>Storage engine <code>", stdout);
    health_html_escape(stdout, r->version);
    fputs("</code></p>\n<ul>\n<li>storage: ", stdout);
    fputs(r->init_rc != 0 ? "initialisation failed" : (r->writable ? "ok" : "not writable"),
          stdout);
    fputs("</li>\n<li>catalog: ", stdout);
    fputs(r->catalog_ok ? "ok" : "unreadable", stdout);
    fputs("</li>\n</ul>\n", stdout);
    if (!r->ok) {
        fputs("<p>Failing component: <code>", stdout);
        health_html_escape(stdout, r->component);
        fputs("</code></p>\n", stdout);
    }
    fputs("<p><a href=\"/status\" style=\"color:#7ab7ff\">Telemetry page</a></p>\n"
          "</body></html>\n",
          stdout);
}

} // namespace

void health_html_escape(FILE *out, const char *text)
{
    if (!out || !text) return;
    for (const char *p = text; *p; ++p) {
        switch (*p) {
        case '&': fputs("&amp;", out); break;
        case '<': fputs("&lt;", out); break;
        case '>': fputs("&gt;", out); break;
        case '"': fputs("&quot;", out); break;
        case '\'': fputs("&#39;", out); break;
        default: fputc(*p, out); break;
        }
    }
}

int handle_healthz(void)
{
    const char *method = cgi_method();
    if (strcmp(method, "OPTIONS") == 0) {
        cgi_header_status(204, "No Content");
        cgi_header_extra("Allow: GET, HEAD, OPTIONS");
        cgi_headers_end();
        return 0;
    }
    bool head = strcmp(method, "HEAD") == 0;
    if (!head && strcmp(method, "GET") != 0) {
        cgi_header_status(405, "Method Not Allowed");
        cgi_header_extra("Allow: GET, HEAD");
        cgi_header_json();
        cgi_headers_end();
        fputs(kMethodNotAllowedBody, stdout);
        fflush(stdout);
        return 0;
    }

    health_report report;
    int ok = reg_health_check(&report);
    int status = ok ? 200 : 503;
    const char *reason = ok ? "OK" : "Service Unavailable";

    if (wants_html()) {
        write_headers(status, reason, true);
        if (!head) write_page(&report);
        fflush(stdout);
        return 0;
    }

    char *text = report_json(&report);
    write_headers(status, reason, false);
    if (!head) {
        if (text) {
            fputs(text, stdout);
            fputc('\n', stdout);
        } else {
            fputs(kInternalBody, stdout);
        }
    }
    free(text);
    fflush(stdout);
    return 0;
}
