/*
 * tv_cgi.cpp - the request side (environment, method, path info, query
 * parameters) and the response side (header writers, the two one-shot
 * error responses, the JSON string escape) of the CGI gateway.
 */
#include "tv_cgi.h"

#include "platform.h"
#include "tv_audit.h"

#include <stdlib.h>
#include <string.h>

#include <string_view>

namespace
{

constexpr int kSlotCount = 8;
constexpr size_t kSlotSize = 512;

/* Standard output has been switched to untranslated mode once. */
int done = 0;
/* Ring of decoded query values; a result survives eight further lookups. */
char slots[kSlotCount][kSlotSize];
/* Buffer used last; advanced before use, so the first value lands in 1. */
int slot = 0;

constexpr char kErrorPrefix[] = "{\"errors\":[{\"code\":\"";
constexpr char kErrorMiddle[] = "\",\"message\":\"";
constexpr char kErrorSuffix[] = "\"}]}\n";

constexpr char kTypeJson[] = "application/json; charset=utf-8";
constexpr char kTypeHtml[] = "text/html; charset=utf-8";
constexpr char kTypeText[] = "text/plain; charset=utf-8";

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Decodes a form-encoded value into out (cap bytes, NUL-terminated). A '%'
 * without two hex digits inside the value stands for itself. */
void form_decode(std::string_view v, char *out, size_t cap)
{
    size_t o = 0;
    for (size_t i = 0; i < v.size() && o + 1 < cap; ++i) {
        char c = v[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 2 < v.size() && hex_value(v[i + 1]) >= 0 &&
                   hex_value(v[i + 2]) >= 0) {
            c = static_cast<char>(hex_value(v[i + 1]) * 16 + hex_value(v[i + 2]));
            i += 2;
        }
        out[o++] = c;
    }
    out[o] = '\0';
}

/* Fallback when there is no query string: a variable of the parameter's
 * own name. One holding both ';' and ':' looks like a path list, not a
 * parameter, and is refused. */
const char *query_from_env(const char *name)
{
    const char *v = getenv(name);
    if (!v || !*v || (strchr(v, ';') && strchr(v, ':'))) return "";
    return v;
}

/* The two-byte escapes of the JSON string escape; 0 where a byte has none. */
char short_escape(unsigned char c)
{
    switch (c) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\b':
        return 'b';
    case '\t':
        return 't';
    case '\n':
        return 'n';
    case '\f':
        return 'f';
    case '\r':
        return 'r';
    default:
        return 0;
    }
}

/* The JSON string escape; returns the bytes written, so a caller can
 * report a body's size without escaping it twice. */
size_t escape_to(FILE *out, const char *text)
{
    if (!out || !text) return 0;
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (const char e = short_escape(*p)) {
            fputc('\\', out);
            fputc(e, out);
            n += 2;
        } else if (*p < 0x20) {
            fprintf(out, "\\u%04x", *p);
            n += 6;
        } else {
            fputc(*p, out);
            n += 1;
        }
    }
    return n;
}

void write_content_type(const char *type)
{
    printf("Content-Type: %s\r\n", type);
}

/* Status line and content type of a one-shot error response. */
void die_headers(int status, const char *type)
{
    tv_audit_note_status(status);
    tv_stdout_bin();
    printf("Status: %d\r\n", status);
    write_content_type(type);
    cgi_headers_end();
}

} // namespace

/* ---- request side -------------------------------------------------------- */

const char *cgi_env(const char *name, const char *fallback)
{
    const char *v = name ? getenv(name) : nullptr;
    if (v && *v) return v;
    return fallback ? fallback : "";
}

const char *cgi_method(void)
{
    return cgi_env("REQUEST_METHOD", "GET");
}

int cgi_is_post(void)
{
    const char *m = getenv("REQUEST_METHOD");
    return m && strncmp(m, "PO", 2) == 0 ? 1 : 0;
}

int cgi_is_head(void)
{
    const char *m = getenv("REQUEST_METHOD");
    return m && strncmp(m, "HEAD", 4) == 0 ? 1 : 0;
}

const char *cgi_path_info(void)
{
    return cgi_env("PATH_INFO", "/");
}

const char *cgi_query(const char *name)
{
    const char *v = cgi_query_nth(name, 0);
    return v ? v : slots[slot];
}

const char *cgi_query_nth(const char *name, int index)
{
    if (!name || !*name || index < 0) return index == 0 ? "" : nullptr;
    slot = (slot + 1) % kSlotCount;
    char *out = slots[slot];
    out[0] = '\0';

    const char *qs = getenv("QUERY_STRING");
    if (!qs || !*qs) {
        if (index != 0) return nullptr;
        return query_from_env(name);
    }

    const std::string_view want(name);
    std::string_view rest(qs);
    while (true) {
        const size_t amp = rest.find('&');
        const std::string_view seg = rest.substr(0, amp);
        const size_t eq = seg.find('=');
        if (seg.substr(0, eq) == want && index-- == 0) {
            if (eq != std::string_view::npos) form_decode(seg.substr(eq + 1), out, kSlotSize);
            return out;
        }
        if (amp == std::string_view::npos) return nullptr;
        rest.remove_prefix(amp + 1);
    }
}

/* ---- response side ------------------------------------------------------- */

int tv_stdout_bin(void)
{
    if (done) return 1;
    done = 1;
    plat_outlive_hangup();
    return plat_stdout_binary();
}

void cgi_header_status(int status, const char *reason)
{
    tv_audit_note_status(status);
    tv_stdout_bin();
    if (reason && *reason)
        printf("Status: %d %s\r\n", status, reason);
    else
        printf("Status: %d\r\n", status);
}

void cgi_header_json(void)
{
    tv_stdout_bin();
    write_content_type(kTypeJson);
}

void cgi_header_html(void)
{
    tv_stdout_bin();
    write_content_type(kTypeHtml);
}

void cgi_header_text(void)
{
    tv_stdout_bin();
    write_content_type(kTypeText);
}

void cgi_header_ct(const char *type)
{
    tv_stdout_bin();
    write_content_type(type);
}

void cgi_header_extra(const char *line)
{
    tv_stdout_bin();
    printf("%s\r\n", line);
}

void cgi_headers_end(void)
{
    fputs("\r\n", stdout);
    fflush(stdout);
    /* Again and whatever `done` says: the body that follows must reach
     * the server untranslated too. */
    plat_stdout_binary();
}

void cgi_die_text(int status, const char *message)
{
    die_headers(status, kTypeText);
    fputs(message ? message : "", stdout);
    fputc('\n', stdout);
    fflush(stdout);
    exit(0); /* the normal exit path, so the access log writes its line */
}

void cgi_die_json(int status, const char *message)
{
    die_headers(status, kTypeJson);
    cgi_error_body(stdout, "ERROR", message ? message : "error");
    fflush(stdout);
    exit(0);
}

void json_escape_f(FILE *out, const char *text)
{
    escape_to(out, text);
}

size_t cgi_error_body(FILE *out, const char *code, const char *message)
{
    if (!out) return 0;
    if (!code) code = "";
    fputs(kErrorPrefix, out);
    fputs(code, out);
    fputs(kErrorMiddle, out);
    const size_t escaped = escape_to(out, message);
    fputs(kErrorSuffix, out);
    return sizeof kErrorPrefix - 1 + strlen(code) + sizeof kErrorMiddle - 1 + escaped +
           sizeof kErrorSuffix - 1;
}
