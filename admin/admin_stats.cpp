/*
 * admin_stats.cpp - the subcommands that describe the store: stats (the
 * engine's statistics and the quota) and du (bytes per repository).
 */
#include "admin.h"
#include "admin_json.h"

#include "oci_common.h"
#include "reg_storage.h"
#include "tv_cgi.h"

#include <cstdio>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace
{

/* One repository's share of the blob store. */
struct repo_usage {
    std::string name;
    std::vector<std::string> digests;
    int64_t unique_bytes = 0;
    int64_t shared_bytes = 0;
    int unread = 0; /* manifest bodies that could not be read */
};

struct blob_use {
    int64_t size = -1; /* -1: named but not stored */
    int repos = 0;
};

int add_repo(void *ctx, const char *name)
{
    auto *all = static_cast<std::vector<repo_usage> *>(ctx);
    all->emplace_back();
    all->back().name = name;
    return 0;
}

int add_digest(void *ctx, const char *digest)
{
    static_cast<repo_usage *>(ctx)->digests.emplace_back(digest);
    return 0;
}

} // namespace

int admin_cmd_stats(const admin_opts *opts)
{
    /* With a quota, this walk renews the upload check's snapshot too. */
    reg_usage_keep(oci_quota_bytes() > 0);
    const char *stats = reg_storage_get_stats_json();
    admin_doc doc = admin_json_parse(stats);
    yyjson_val *s = admin_json_root(doc);
    if (!s) {
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    /* The quota counts the blob store, as the upload check does. */
    const int64_t used = admin_json_int(s, "blob_bytes");
    const int64_t quota = oci_quota_bytes();
    if (opts->json) {
        /* The engine's object, extended: its closing brace gives way. */
        const std::string text(stats);
        std::printf("%.*s,\"root\":\"", static_cast<int>(text.size() - 1), text.c_str());
        json_escape_f(stdout, admin_root());
        std::printf("\",\"quota_bytes\":%lld,\"quota_used_bytes\":%lld}\n",
                    static_cast<long long>(quota), static_cast<long long>(used));
        return ADMIN_OK;
    }
    char blob_bytes[OCI_FMT_BYTES_CAP], upload_bytes[OCI_FMT_BYTES_CAP];
    char used_text[OCI_FMT_BYTES_CAP], quota_text[OCI_FMT_BYTES_CAP];
    oci_fmt_bytes(used, blob_bytes);
    oci_fmt_bytes(admin_json_int(s, "upload_bytes"), upload_bytes);
    oci_fmt_bytes(used, used_text);
    oci_fmt_bytes(quota, quota_text);
    std::printf("storage root  %s\n", admin_root());
    std::printf("repositories  %lld\n", static_cast<long long>(admin_json_int(s, "repositories")));
    std::printf("tags          %lld\n", static_cast<long long>(admin_json_int(s, "tags")));
    std::printf("blobs         %lld (%s)\n", static_cast<long long>(admin_json_int(s, "blobs")),
                blob_bytes);
    std::printf("uploads       %lld in progress (%s)\n",
                static_cast<long long>(admin_json_int(s, "active_uploads")), upload_bytes);
    if (quota > 0)
        std::printf("quota         %s of %s used (%d%%)\n", used_text, quota_text,
                    static_cast<int>(static_cast<double>(used) * 100.0 /
                                     static_cast<double>(quota)));
    else
        std::printf("quota         none set (%s used)\n", used_text);
    return ADMIN_OK;
}

int admin_cmd_du(const admin_opts *opts)
{
    std::vector<repo_usage> repos;
    if (admin_each_name(nullptr, add_repo, &repos) != 0) {
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    std::map<std::string, blob_use> blobs;
    for (repo_usage &r : repos) {
        if (reg_repo_digests(r.name.c_str(), add_digest, &r, &r.unread) != 0) {
            admin_error(opts, r.name.c_str(), "%s", reg_storage_last_error());
            return ADMIN_FAILED;
        }
        for (const std::string &d : r.digests)
            ++blobs[d].repos;
    }
    int missing = 0;
    for (auto &[digest, use] : blobs) {
        use.size = reg_blob_get_size(digest.c_str());
        if (use.size < 0) ++missing;
    }
    int64_t unique_total = 0, shared_total = 0;
    for (repo_usage &r : repos) {
        for (const std::string &d : r.digests) {
            const blob_use &use = blobs[d];
            if (use.size < 0) continue;
            (use.repos > 1 ? r.shared_bytes : r.unique_bytes) += use.size;
        }
        unique_total += r.unique_bytes;
    }
    for (const auto &[digest, use] : blobs)
        if (use.size > 0 && use.repos > 1) shared_total += use.size;
    std::sort(repos.begin(), repos.end(), [](const repo_usage &a, const repo_usage &b) {
        const int64_t ta = a.unique_bytes + a.shared_bytes, tb = b.unique_bytes + b.shared_bytes;
        return ta != tb ? ta > tb : a.name < b.name;
    });

    if (opts->json) {
        std::printf("[");
        for (size_t i = 0; i < repos.size(); ++i) {
            std::printf("%s{\"repository\":\"", i ? "," : "");
            json_escape_f(stdout, repos[i].name.c_str());
            std::printf("\",\"unique_bytes\":%lld,\"shared_bytes\":%lld,\"blobs\":%zu}",
                        static_cast<long long>(repos[i].unique_bytes),
                        static_cast<long long>(repos[i].shared_bytes), repos[i].digests.size());
        }
        std::printf("]\n");
    } else {
        std::printf("%12s  %12s  %s\n", "UNIQUE", "SHARED", "REPOSITORY");
        for (const repo_usage &r : repos) {
            char u[OCI_FMT_BYTES_CAP], sh[OCI_FMT_BYTES_CAP];
            oci_fmt_bytes(r.unique_bytes, u);
            oci_fmt_bytes(r.shared_bytes, sh);
            std::printf("%12s  %12s  %s\n", u, sh, r.name.c_str());
        }
        char all[OCI_FMT_BYTES_CAP], shared[OCI_FMT_BYTES_CAP];
        oci_fmt_bytes(unique_total + shared_total, all);
        oci_fmt_bytes(shared_total, shared);
        std::printf("total: %zu %s, %s named by manifests (%s of it shared)\n", repos.size(),
                    repos.size() == 1 ? "repository" : "repositories", all, shared);
    }
    for (const repo_usage &r : repos)
        if (r.unread > 0)
            admin_error(opts, r.name.c_str(), "%d manifest %s could not be read", r.unread,
                        r.unread == 1 ? "body" : "bodies");
    if (missing > 0)
        admin_error(opts, admin_root(), "%d %s named by manifests %s not stored", missing,
                    missing == 1 ? "blob" : "blobs", missing == 1 ? "is" : "are");
    return ADMIN_OK;
}
