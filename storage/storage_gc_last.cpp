/*
 * storage_gc_last.cpp - the last collection's report, kept under the
 * storage root so a later process (the status page) can show it.
 */
#include <cstring>

#include "storage_internal.h"

using namespace storage;

namespace storage {

/* Best effort: a report that cannot be kept does not fail the collection. */
void gc_keep_report(const char *doc)
{
    char path[kPathCap];
    char dir[kPathCap];
    if (!doc || gc_dir(dir) != 0 || (!plat_is_dir(dir) && mkdirs(dir) != 0) ||
        gc_last_path(path) != 0)
        return;
    write_file_atomic(path, doc, std::strlen(doc));
}

} // namespace storage

extern "C" const char *reg_gc_last_json(void)
{
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    char path[kPathCap];
    size_t len = 0;
    if (gc_last_path(path) != 0 || read_file(path, s_result, kResultCap - 1, &len) != 0)
        return nullptr; /* no collection has finished yet */
    s_result[len] = '\0';
    return s_result;
}
