/*
 * tv_strings.cpp - bounded string operations for the fixed buffers every
 * module uses. All of them cut to the capacity and leave dst NUL-terminated;
 * none reports a cut except tv_snprintf through its return value.
 */
#include "tv_cgi.h"

#include "platform.h"

#include <stdarg.h>
#include <string.h>

namespace
{

bool is_sep(char c)
{
    return c == '/' || c == '\\';
}

/* Appends src to the text of length len in dst, cut at cap - 1 bytes. */
void append_cut(char *dst, size_t cap, size_t len, const char *src)
{
    while (*src && len + 1 < cap)
        dst[len++] = *src++;
    dst[len] = '\0';
}

} // namespace

void tv_strlcpy(char *dst, const char *src, size_t cap)
{
    if (!dst || cap == 0) return;
    dst[0] = '\0';
    if (src) append_cut(dst, cap, 0, src);
}

int tv_snprintf(char *dst, size_t cap, const char *format, ...)
{
    if (!dst || cap == 0) return 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(dst, cap, format, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < cap) return n;
    /* Cut or failed: the text stays terminated and the caller learns how
     * much room there was, never more. */
    dst[cap - 1] = '\0';
    return static_cast<int>(cap - 1);
}

void tv_path_join(char *dst, size_t cap, const char *a, const char *b)
{
    if (!dst || cap == 0) return;
    dst[0] = '\0';
    if (!a || !*a) {
        tv_strlcpy(dst, b, cap);
        return;
    }
    if (!b || !*b) {
        tv_strlcpy(dst, a, cap);
        return;
    }
    tv_strlcpy(dst, a, cap);
    size_t len = strlen(dst);
    /* An a that already ends in a separator keeps it and gets no second. */
    if (len > 0 && !is_sep(dst[len - 1]) && len + 1 < cap) {
        dst[len++] = PLAT_SEP;
        dst[len] = '\0';
    }
    while (is_sep(*b))
        ++b;
    append_cut(dst, cap, len, b);
}
