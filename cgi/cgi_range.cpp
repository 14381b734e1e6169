/*
 * cgi_range.cpp - the byte ranges of HTTP: the Range header of a read and
 * the Content-Range header of an upload chunk.
 *
 * Numbers are plain decimal digits without sign or space, at most 18 of
 * them, so no value or sum of two overflows 64 bits.
 */
#include "tv_cgi.h"

#include <string_view>

namespace
{

constexpr size_t kDigitsMax = 18;

/* Reads the number at the front of s into *out and drops it from s. */
bool take_number(std::string_view &s, int64_t *out)
{
    size_t i = 0;
    int64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (i == kDigitsMax) return false;
        v = v * 10 + (s[i] - '0');
        ++i;
    }
    if (i == 0) return false;
    *out = v;
    s.remove_prefix(i);
    return true;
}

bool take(std::string_view &s, std::string_view prefix)
{
    if (!s.starts_with(prefix)) return false;
    s.remove_prefix(prefix.size());
    return true;
}

void trim(std::string_view &s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
}

} // namespace

int cgi_parse_range(const char *header, int64_t size, int64_t *out_first, int64_t *out_last)
{
    if (!header || !out_first || !out_last || size < 0) return CGI_RANGE_NONE;
    std::string_view s(header);
    trim(s);
    if (!take(s, "bytes=")) return CGI_RANGE_NONE;
    trim(s);
    int64_t first = 0, last = 0;
    if (take(s, "-")) {
        /* The last n bytes; all of them when n exceeds the size. */
        if (!take_number(s, &last) || !s.empty()) return CGI_RANGE_NONE;
        if (last == 0 || size == 0) return CGI_RANGE_UNSATISFIABLE;
        *out_first = last >= size ? 0 : size - last;
        *out_last = size - 1;
        return CGI_RANGE_OK;
    }
    if (!take_number(s, &first) || !take(s, "-")) return CGI_RANGE_NONE;
    if (s.empty()) {
        last = size - 1;
    } else if (!take_number(s, &last) || !s.empty()) {
        /* Several ranges or a malformed one: the whole body answers. */
        return CGI_RANGE_NONE;
    } else if (last < first) {
        /* A reversed range asks for nothing a body holds; the protocol's
         * clients expect to hear so rather than get the whole blob. */
        return CGI_RANGE_UNSATISFIABLE;
    }
    if (first >= size) return CGI_RANGE_UNSATISFIABLE;
    *out_first = first;
    *out_last = last >= size ? size - 1 : last;
    return CGI_RANGE_OK;
}

int cgi_parse_content_range(const char *header, int64_t *out_first, int64_t *out_last)
{
    if (!header || !out_first || !out_last) return -1;
    std::string_view s(header);
    trim(s);
    /* "a-b" as the distribution protocol writes it; "bytes a-b/total" and
     * "bytes=a-b" as HTTP and some clients do. */
    if (!take(s, "bytes ")) take(s, "bytes=");
    int64_t first = 0, last = 0, total = 0;
    if (!take_number(s, &first) || !take(s, "-") || !take_number(s, &last) || last < first)
        return -1;
    if (take(s, "/")) {
        if (!take(s, "*") && (!take_number(s, &total) || total <= last)) return -1;
    }
    if (!s.empty()) return -1;
    *out_first = first;
    *out_last = last;
    return 0;
}
