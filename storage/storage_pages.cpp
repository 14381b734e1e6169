/*
 * storage_pages.cpp - the page of sorted names that the catalog and the tag
 * list return: which names a page holds, and its JSON document.
 */
#include <algorithm>
#include <cstring>

#include "storage_internal.h"

namespace storage
{

namespace
{

constexpr char kPageClose[] = "]}";

/* Room json_escape_append asks for beyond the escaped text itself. */
constexpr size_t kEscapeSlack = 8;

} // namespace

/*
 * The page starts after the first name greater than last and holds at most
 * n names (n <= 0: all). If the escaped names would not fit the result
 * buffer the page ends early with *out_more = 1 and out_last naming the
 * last name written, so a client that pages on loses nothing and the
 * document stays valid JSON.
 */
const char *names_page_json(const char *head, char *const *names, int total, int n,
                            const char *last, int *out_more, char *out_last,
                            size_t out_last_size)
{
    int start = 0;
    if (last && *last)
        start = static_cast<int>(
            std::upper_bound(names, names + total, last,
                             [](const char *a, const char *b) { return std::strcmp(a, b) < 0; }) -
            names);
    int end = total;
    if (n > 0 && n < total - start) end = start + n;

    size_t pos = std::strlen(head);
    std::memcpy(s_result, head, pos);
    int written = start;
    for (int i = start; i < end; ++i) {
        size_t esc = json_escaped_len(names[i]);
        size_t comma = i > start ? 1 : 0;
        /* comma, quotes, escape slack, the closing text and its NUL */
        size_t need = comma + 2 + esc + kEscapeSlack + sizeof kPageClose;
        if (need > kResultCap - pos) break;
        if (comma) s_result[pos++] = ',';
        s_result[pos++] = '"';
        pos += json_escape_append(s_result + pos, kResultCap - pos, names[i]);
        s_result[pos++] = '"';
        written = i + 1;
    }
    std::memcpy(s_result + pos, kPageClose, sizeof kPageClose);

    if (out_more) *out_more = written < total ? 1 : 0;
    if (written > start && out_last && out_last_size > 0)
        copy_cut(out_last, out_last_size, names[written - 1]);
    return s_result;
}

} // namespace storage
