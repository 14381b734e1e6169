/*
 * storage_uploads_list.cpp - the uploads in progress with their size and
 * age, for the status page: an upload that stopped growing long ago is one
 * a client abandoned.
 */
#include <cstdio>
#include <cstring>

#include "storage_internal.h"

using namespace storage;

namespace
{
constexpr char kPartSuffix[] = ".part";
}

extern "C" const char *reg_uploads_json(int64_t now, int max)
{
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    dir_listing_full l;
    char dir[kPathCap], path[kPathCap];
    if (uploads_dir(dir) != 0 || list_dir_full(dir, &l) != 0) {
        set_error("uploads cannot be listed");
        return nullptr;
    }
    constexpr size_t suf = sizeof kPartSuffix - 1;
    size_t at = static_cast<size_t>(std::snprintf(s_result, kResultCap, "{\"uploads\":["));
    int shown = 0, total = 0;
    bool room = true;
    for (int i = 0; i < l.count(); ++i) {
        const char *name = l.name(i);
        size_t len = std::strlen(name);
        if (l.is_dir(i) || len <= suf || std::strcmp(name + len - suf, kPartSuffix) != 0) continue;
        /* Counted even when not shown: the total is every upload. */
        ++total;
        plat_file_info fi;
        if (!room || shown >= max || path_join(path, dir, name) != 0 || plat_stat(path, &fi) != 0)
            continue;
        /* An id is the engine's own (hex and dashes); escaped all the same.
         * The suffix escapes to itself, so the escaped name less its last
         * bytes is the escaped id. */
        if (at + json_escaped_len(name) + 96 >= kResultCap) {
            room = false;
            continue;
        }
        at += static_cast<size_t>(
            std::snprintf(s_result + at, kResultCap - at, "%s{\"id\":\"", shown ? "," : ""));
        at += json_escape_append(s_result + at, kResultCap - at, name) - suf;
        int64_t age = now > fi.mtime ? now - fi.mtime : 0;
        at += static_cast<size_t>(std::snprintf(
            s_result + at, kResultCap - at, "\",\"bytes\":%lld,\"idle_seconds\":%lld}",
            static_cast<long long>(fi.size), static_cast<long long>(age)));
        ++shown;
    }
    std::snprintf(s_result + at, kResultCap - at, "],\"total\":%d}", total);
    return s_result;
}
