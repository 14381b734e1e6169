/*
 * storage_catalog.cpp - the repository catalog, whole or a page at a time.
 */
#include "storage_internal.h"

namespace
{

constexpr char kCatalogOpen[] = "{\"repositories\":[";

} // namespace

using namespace storage;

/* Names come from one walk, sorted byte-wise, paged as names_page_json
 * describes. */
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
    return names_page_json(kCatalogOpen, repos.names(), repos.count(), n, last, out_more, out_last,
                           out_last_size);
}

extern "C" int reg_catalog_readable(void)
{
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return -1;
    }
    char dir[kPathCap];
    dir_listing_full top;
    if (repositories_dir(dir) != 0 || list_dir_full(dir, &top) != 0) {
        set_error("repositories cannot be listed: %s", dir);
        return -1;
    }
    return 0;
}

extern "C" const char *reg_catalog_json(int n, const char *last)
{
    return reg_catalog_json_page(n, last, nullptr, nullptr, 0);
}
