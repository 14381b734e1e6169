/*
 * storage_stats.cpp - the storage statistics document.
 */
#include <cstdio>

#include "storage_internal.h"

using namespace storage;

/* One repository walk serves both the repository and the tag count. */
extern "C" const char *reg_storage_get_stats_json(void)
{
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    repo_list repos;
    int repo_count = 0, tag_count = 0;
    if (repos.collect() == 0) {
        repo_count = repos.count();
        tag_count = count_tags_of(repos.names(), repos.count());
    }
    int blob_count = 0;
    int64_t blob_bytes = usage_count(&blob_count); /* renews the quota's snapshot */
    int64_t upload_bytes = 0;
    int upload_count = count_uploads(&upload_bytes);

    std::snprintf(s_result, kResultCap,
                  "{\"version\":\"%s\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
                  "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
                  kStorageVersion, repo_count, tag_count, blob_count,
                  static_cast<long long>(blob_bytes), upload_count,
                  static_cast<long long>(upload_bytes));
    return s_result;
}

extern "C" const char *reg_storage_version(void)
{
    return kStorageVersion;
}
