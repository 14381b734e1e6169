/*
 * storage_maintenance.cpp - what the admin command needs beyond the
 * registry's own operations: every blob with its size (for verifying the
 * contents), moving a damaged blob aside, and the digests one repository's
 * manifests name (for usage per repository).
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <yyjson.h>

#include "storage_gc.h"

using namespace storage;

namespace
{

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

/* Quarantined names: HEX, then HEX.1 up to this many. */
constexpr int kQuarantineTries = 100;

bool ready()
{
    if (s_ready) return true;
    set_error("%s", kNotInitialized);
    return false;
}

} // namespace

extern "C" int reg_blob_foreach(reg_blob_visit_fn fn, void *ctx)
{
    if (!fn) {
        set_error("NULL argument");
        return -1;
    }
    if (!ready()) return -1;
    char top[kPathCap], fan[kPathCap], path[kPathCap];
    dir_listing_full outer, inner;
    if (blobs_dir(top) != 0 || list_dir_full(top, &outer) != 0) {
        set_error("cannot list blob store: %s", top);
        return -1;
    }
    char digest[kDigestLen + 1];
    std::memcpy(digest, kDigestPrefix.data(), kDigestPrefix.size());
    for (int i = 0; i < outer.count(); ++i) {
        /* Files lying directly in blobs/sha256 are no blobs. */
        if (!outer.is_dir(i) || path_join(fan, top, outer.name(i)) != 0) continue;
        if (list_dir_full(fan, &inner) != 0) continue;
        for (int j = 0; j < inner.count(); ++j) {
            const char *hex = inner.name(j);
            if (inner.is_dir(j) || !hex64_valid(hex)) continue;
            plat_file_info info;
            if (path_join(path, fan, hex) != 0 || plat_stat(path, &info) != 0 || info.is_dir)
                continue; /* gone since the listing */
            std::memcpy(digest + kDigestPrefix.size(), hex, kHexCap);
            if (fn(ctx, digest, info.size) != 0) return 0;
        }
    }
    return 0;
}

extern "C" int reg_blob_quarantine(const char *digest, char *out_path, size_t out_path_size)
{
    if (!digest || !out_path || out_path_size == 0) {
        set_error("NULL argument");
        return -1;
    }
    out_path[0] = '\0';
    if (!ready()) return -1;
    if (!digest_valid(digest)) {
        set_error("invalid digest");
        return -1;
    }
    char from[kPathCap], dir[kPathCap], to[kPathCap];
    if (blob_path_for_digest(digest, from) != 0 || !plat_is_file(from)) {
        set_error("blob not found: %s", digest);
        return -1;
    }
    if (quarantine_dir(dir) != 0 || mkdirs(dir) != 0) {
        set_error("cannot create quarantine directory: %s", dir);
        return -1;
    }
    const char *hex = digest + kDigestPrefix.size();
    /* Never replaces: an earlier quarantined copy stays for comparison. */
    for (int n = 0; n <= kQuarantineTries; ++n) {
        char name[kHexCap + 8];
        if (n == 0)
            copy_cut(name, sizeof name, hex);
        else
            std::snprintf(name, sizeof name, "%s.%d", hex, n);
        if (path_join(to, dir, name) != 0) break;
        if (plat_stat(to, nullptr) == 0) continue;
        if (plat_rename_noreplace(from, to) == 0) {
            if (std::strlen(to) >= out_path_size) {
                set_error("path buffer too small");
                return -1;
            }
            std::memcpy(out_path, to, std::strlen(to) + 1);
            return 0;
        }
        if (!plat_is_file(from)) {
            set_error("blob not found: %s", digest);
            return -1;
        }
    }
    set_error("cannot move blob into quarantine: %s", from);
    return -1;
}

extern "C" int reg_repo_digests(const char *repo_name, reg_digest_visit_fn fn, void *ctx,
                                int *out_unread)
{
    if (out_unread) *out_unread = 0;
    if (check_repo_op(repo_name && fn, repo_name, true) != 0) return -1;
    char dir[kPathCap], body_path[kPathCap];
    dir_listing_full listing;
    if (repo_manifests_dir(repo_name, dir) != 0 || list_dir_full(dir, &listing) != 0) {
        set_error("cannot list manifests of repository: %s", repo_name);
        return -1;
    }
    digest_set set;
    int unread = 0;
    for (int i = 0; i < listing.count(); ++i) {
        const char *hex = listing.name(i);
        if (listing.is_dir(i) || !hex64_valid(hex)) continue;
        size_t len = 0;
        std::unique_ptr<char, free_deleter> body;
        if (manifest_body_path(repo_name, hex, body_path) == 0)
            body.reset(read_file_alloc(body_path, &len));
        std::unique_ptr<yyjson_doc, doc_deleter> doc(
            body ? yyjson_read_opts(body.get(), len, 0, nullptr, nullptr) : nullptr);
        if (!doc) {
            ++unread;
            continue;
        }
        gc_add_manifest_digests(&set, yyjson_doc_get_root(doc.get()));
    }
    if (set.dropped) ++unread;
    if (out_unread) *out_unread = unread;
    digest_set_sort(&set);
    char digest[kDigestLen + 1];
    std::memcpy(digest, kDigestPrefix.data(), kDigestPrefix.size());
    for (int i = 0; i < set.count; ++i) {
        if (i > 0 && std::strcmp(set.items[i], set.items[i - 1]) == 0) continue;
        std::memcpy(digest + kDigestPrefix.size(), set.items[i], kHexCap);
        if (fn(ctx, digest) != 0) break;
    }
    return 0;
}
