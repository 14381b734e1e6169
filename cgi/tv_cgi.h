/*
 * tv_cgi.h - the CGI gateway: reading the request, writing the response,
 * bounded strings, and request-body intake.
 */
#ifndef REGISTRY_TV_CGI_H
#define REGISTRY_TV_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__cplusplus)
#define TV_NORETURN [[noreturn]]
#elif defined(__GNUC__)
#define TV_NORETURN __attribute__((noreturn))
#elif defined(_MSC_VER)
#define TV_NORETURN __declspec(noreturn)
#else
#define TV_NORETURN
#endif

#if defined(__MINGW_PRINTF_FORMAT)
/* mingw: check against the printf the runtime really uses (C99 in C++). */
#define TV_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define TV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TV_PRINTF(f, a)
#endif

/* Request side. Returned texts are never NULL and never freed. */
const char *cgi_env(const char *name, const char *fallback);
const char *cgi_method(void);
int cgi_is_post(void);
int cgi_is_head(void);
const char *cgi_path_info(void);
/* Decoded query value in a ring of 8 buffers of 512 bytes: a result stays
 * intact until eight further lookups with a non-empty name. */
const char *cgi_query(const char *name);
/* The index-th (from 0) value of a parameter that may repeat ("scope"), in
 * the same ring; NULL when there are fewer. */
const char *cgi_query_nth(const char *name, int index);

/* Response side: everything goes to standard output. */
int tv_stdout_bin(void);
void cgi_header_status(int status, const char *reason);
void cgi_header_json(void);
void cgi_header_html(void);
void cgi_header_text(void);
void cgi_header_ct(const char *type);
void cgi_header_extra(const char *line);
void cgi_headers_end(void);
TV_NORETURN void cgi_die_text(int status, const char *message);
TV_NORETURN void cgi_die_json(int status, const char *message);
void json_escape_f(FILE *out, const char *text);
/* The registry error body {"errors":[{"code":CODE,"message":MESSAGE}]} and
 * a line feed: code verbatim ("" for NULL), message escaped by
 * json_escape_f. Returns the bytes written, for the access log. */
size_t cgi_error_body(FILE *out, const char *code, const char *message);

/* Bounded strings: always NUL-terminated, cut to the capacity. */
void tv_strlcpy(char *dst, const char *src, size_t cap);
int tv_snprintf(char *dst, size_t cap, const char *format, ...) TV_PRINTF(3, 4);
void tv_path_join(char *dst, size_t cap, const char *a, const char *b);

/* Byte ranges. cgi_parse_range reads a Range header ("bytes=a-b", "a-" or
 * "-n") against a body of size bytes: CGI_RANGE_OK with the inclusive
 * bounds, CGI_RANGE_UNSATISFIABLE (answer 416; also a reversed "a-b" with b < a), or CGI_RANGE_NONE when the
 * header is absent, malformed or asks for several ranges (answer whole). */
#define CGI_RANGE_NONE 0
#define CGI_RANGE_OK 1
#define CGI_RANGE_UNSATISFIABLE (-1)
int cgi_parse_range(const char *header, int64_t size, int64_t *out_first, int64_t *out_last);
/* Content-Range of an upload chunk: "a-b", "bytes a-b/total" (or a star for an unknown total)
 * or "bytes=a-b", with a <= b. 0 with the inclusive bounds, or -1. */
int cgi_parse_content_range(const char *header, int64_t *out_first, int64_t *out_last);

/* Writes length bytes of the file at path from offset to standard output
 * after the headers, through one fixed buffer. The bytes written, or -1
 * when the file cannot be read or the client went away. */
int64_t cgi_send_file(const char *path, int64_t offset, int64_t length);
/* X-Sendfile: the web server sends the file the program names. Only when
 * the server says so itself (REGISTRY_X_SENDFILE=1 in the environment it
 * gives): one that ignored the header would send an empty body. */
int cgi_x_sendfile_enabled(void);
/* Adds "X-Sendfile: PATH", every byte but unreserved ones and '/' written
 * as %XX (the server decodes the value). 0, or -1 when it does not fit or
 * when the server names the directory it sends from
 * (REGISTRY_X_SENDFILE_DOCROOT) and PATH, made absolute and without "." and
 * ".." segments, lies outside it: the caller then sends the file itself. */
int cgi_header_x_sendfile(const char *path);

/* Request body intake. */
char *cgi_read_post(uint64_t *out_len);
typedef int (*cgi_body_cb)(void *ctx, const void *data, size_t len);
int cgi_stream_post(cgi_body_cb callback, void *ctx, uint64_t *out_total);

#ifdef __cplusplus
}
#endif

#endif
