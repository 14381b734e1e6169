/*
 * storage_uploads_list.cpp - the uploads in progress with their size and
 * age, for the status page: an upload that stopped growing long ago is one
 * a client abandoned.
 */
#include <cstdio>
#include <cstring>

#include "storage_internal.h"

using namespace storage;

namespace {
constexpr char kPartSuffix[] = ".part";
}

extern "C" const char *reg_uploads_json(int64_t now, int max)
{
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    auto l = new_dir_listing();
    char dir[kPathCap], path[kPathCap];
    if (!l || uploads_dir(dir) != 0 || list_dir(dir, l.get()) != 0) {
        set_error("uploads cannot be listed");
        return nullptr;
    }
    size_t at = static_cast<size_t>(std::snprintf(s_result, kResultCap, "{\"uploads\":["));
    int shown = 0, total = 0;
    for (int i = 0; i < l->count; ++i) {
        const char *name = l->entries[i].name;
        size_t len = std::strlen(name), suf = sizeof kPartSuffix - 1;
        if (l->entries[i].is_dir || len <= suf || std::strcmp(name + len - suf, kPartSuffix) != 0)
            continue;
        ++total;
        plat_file_info fi;
        if (shown >= max || path_join(path, dir, name) != 0 || plat_stat(path, &fi) != 0) continue;
        char id[kDirNameCap];
        std::snprintf(id, sizeof id, "%.*s", static_cast<int>(len - suf), name);
        /* An id is the engine's own (hex and dashes); escaped all the same. */
        if (at + json_escaped_len(id) + 96 >= kResultCap) break;
        at += static_cast<size_t>(std::snprintf(s_result + at, kResultCap - at, "%s{\"id\":\"",
                                                shown ? "," : ""));
        at += json_escape_append(s_result + at, kResultCap - at, id);
        int64_t age = now > fi.mtime ? now - fi.mtime : 0;
        at += static_cast<size_t>(std::snprintf(s_result + at, kResultCap - at,
                                                "\",\"bytes\":%lld,\"idle_seconds\":%lld}",
                                                static_cast<long long>(fi.size),
                                                static_cast<long long>(age)));
        ++shown;
    }
    std::snprintf(s_result + at, kResultCap - at, "],\"total\":%d}", total);
    return s_result;
}
