/*
 * tv_config.cpp - the shared scanner of the service configuration file.
 */
#include "tv_config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

size_t tv_config_read(char *buf, size_t cap)
{
    if (!buf || cap == 0) return 0;
    buf[0] = '\0';
    FILE *f = fopen(tv_config_path(), "rb");
    if (!f) return 0;
    size_t n = fread(buf, 1, cap - 1, f);
    fclose(f);
    buf[n] = '\0';
    return strlen(buf);
}

const char *tv_config_after_key(const char *text, const char *key, int colon_adjacent)
{
    if (!text || !key) return nullptr;
    /* Keys are short constants; 256 bytes leaves room for any of them. */
    char quoted[256];
    size_t klen = strlen(key);
    if (klen + 4 > sizeof quoted) return nullptr;
    quoted[0] = '"';
    memcpy(quoted + 1, key, klen);
    quoted[klen + 1] = '"';
    quoted[klen + 2] = colon_adjacent ? ':' : '\0';
    quoted[klen + 3] = '\0';
    if (!colon_adjacent) return tv_config_after_text(text, quoted);
    const char *hit = strstr(text, quoted);
    return hit ? hit + klen + 3 : nullptr;
}

const char *tv_config_after_text(const char *text, const char *pattern)
{
    if (!text || !pattern) return nullptr;
    const char *hit = strstr(text, pattern);
    if (!hit) return nullptr;
    const char *colon = strchr(hit + strlen(pattern), ':');
    return colon ? colon + 1 : nullptr;
}

const char *tv_config_skip_space(const char *p)
{
    if (!p) return nullptr;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return p;
}

int tv_config_quoted(const char *p, const char **start, size_t *len)
{
    if (!p) return -1;
    const char *open = strchr(p, '"');
    if (!open) return -1;
    const char *close = strchr(open + 1, '"');
    if (!close) return -1;
    if (start) *start = open + 1;
    if (len) *len = static_cast<size_t>(close - open - 1);
    return 0;
}

int tv_config_str_at(const char *p, char *out, size_t cap)
{
    const char *start;
    size_t len;
    if (!out || tv_config_quoted(p, &start, &len) != 0 || len >= cap) return -1;
    memcpy(out, start, len);
    out[len] = '\0';
    return 0;
}

int tv_config_int_at(const char *p, int64_t *out)
{
    p = tv_config_skip_space(p);
    if (!p) return -1;
    if (*p == '"') ++p;
    if (!((*p >= '0' && *p <= '9') || *p == '-')) return -1;
    errno = 0;
    long long v = strtoll(p, nullptr, 10);
    if (out) *out = static_cast<int64_t>(v);
    return 0;
}
