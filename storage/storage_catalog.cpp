/*
 * storage_catalog.cpp - the repository catalog, whole or a page at a time.
 */
#include <algorithm>
#include <cstring>

#include "storage_internal.h"

namespace storage
{
namespace
{

constexpr char kCatalogOpen[] = "{\"repositories\":[";
constexpr char kCatalogClose[] = "]}";

/* Room json_escape_append asks for beyond the escaped text itself. */
constexpr size_t kEscapeSlack = 8;

} // namespace
} // namespace storage

using namespace storage;

/*
 * Names come from one walk, sorted byte-wise; the page starts after the
 * first name greater than last and holds at most n names (n <= 0: all).
 * If the escaped names would not fit the result buffer the page ends early
 * with *out_more = 1 and out_last naming the last name written, so a client
 * that pages on loses nothing and the document stays valid JSON.
 */
extern "C" const char *reg_catalog_json_page(int n, const char *last, int *out_more, char *out_last,
                                             size_t out_last_size)
{
    if (out_more) *out_more = 0;
    if (out_last && out_last_size > 0) out_last[0] = '\0';
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    repo_list repos;
    if (repos.collect() != 0) {
        set_error("out of memory");
        return nullptr;
    }
    repos.sort();

    char **names = repos.names();
    const int total = repos.count();
    int start = 0;
    if (last && *last)
        start = static_cast<int>(
            std::upper_bound(names, names + total, last,
                             [](const char *a, const char *b) { return std::strcmp(a, b) < 0; }) -
            names);
    int end = total;
    if (n > 0 && n < total - start) end = start + n;

    size_t pos = sizeof kCatalogOpen - 1;
    std::memcpy(s_result, kCatalogOpen, pos);
    int written = start;
    for (int i = start; i < end; ++i) {
        size_t esc = json_escaped_len(names[i]);
        size_t comma = i > start ? 1 : 0;
        /* comma, quotes, escape slack, the closing text and its NUL */
        size_t need = comma + 2 + esc + kEscapeSlack + sizeof kCatalogClose;
        if (need > kResultCap - pos) break;
        if (comma) s_result[pos++] = ',';
        s_result[pos++] = '"';
        pos += json_escape_append(s_result + pos, kResultCap - pos, names[i]);
        s_result[pos++] = '"';
        written = i + 1;
    }
    std::memcpy(s_result + pos, kCatalogClose, sizeof kCatalogClose);

    if (out_more) *out_more = written < total ? 1 : 0;
    if (written > start && out_last && out_last_size > 0)
        copy_cut(out_last, out_last_size, names[written - 1]);
    return s_result;
}

extern "C" const char *reg_catalog_json(int n, const char *last)
{
    return reg_catalog_json_page(n, last, nullptr, nullptr, 0);
}
