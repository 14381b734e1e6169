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
    char top[kPathCap], fan[kPathCap], path[kPathCap], digest[DIGEST_TEXT_CAP];
    dir_listing_full outer, inner;
    for (digest_algorithm algorithm : kAlgorithms) {
        if (blob_algorithm_dir(algorithm, top) != 0 || list_dir_full(top, &outer) != 0) {
            /* Only the first algorithm's directory is made with the store. */
            if (algorithm != DIGEST_SHA256 && !plat_is_dir(top)) continue;
            set_error("cannot list blob store: %s", top);
            return -1;
        }
        for (int i = 0; i < outer.count(); ++i) {
            /* Files lying directly in blobs/ALG are no blobs. */
            if (!outer.is_dir(i) || path_join(fan, top, outer.name(i)) != 0) continue;
            if (list_dir_full(fan, &inner) != 0) continue;
            for (int j = 0; j < inner.count(); ++j) {
                const char *name = inner.name(j);
                if (inner.is_dir(j) || digest_of_name(algorithm, name, digest) != 0) continue;
                plat_file_info info;
                if (path_join(path, fan, name) != 0 || plat_stat(path, &info) != 0 || info.is_dir)
                    continue; /* gone since the listing */
                if (fn(ctx, digest, info.size) != 0) return 0;
            }
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
    if (!digest_text_valid(digest)) {
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
    const char *hex = digest_hex(digest);
    /* Never replaces: an earlier quarantined copy stays for comparison. */
    for (int n = 0; n <= kQuarantineTries; ++n) {
        char name[DIGEST_HEX_CAP + 8];
        if (n == 0)
            copy_cut(name, sizeof name, hex);
        else
            std::snprintf(name, sizeof name, "%s.%d", hex, n);
        if (path_join(to, dir, name) != 0) break;
        if (plat_stat(to, nullptr) == 0) continue;
        if (plat_rename_noreplace(from, to) == 0) {
            usage_forget();
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
    char dir[kPathCap], body_path[kPathCap], digest[DIGEST_TEXT_CAP];
    dir_listing_full listing;
    digest_set set;
    int unread = 0;
    for (digest_algorithm algorithm : kAlgorithms) {
        if (manifest_body_dir(repo_name, algorithm, dir) != 0 ||
            list_dir_full(dir, &listing) != 0) {
            /* Bodies of other algorithms have a directory only once pushed. */
            if (algorithm != DIGEST_SHA256 && !plat_is_dir(dir)) continue;
            set_error("cannot list manifests of repository: %s", repo_name);
            return -1;
        }
        for (int i = 0; i < listing.count(); ++i) {
            if (listing.is_dir(i) || digest_of_name(algorithm, listing.name(i), digest) != 0)
                continue;
            size_t len = 0;
            std::unique_ptr<char, free_deleter> body;
            if (manifest_body_path(repo_name, digest, body_path) == 0)
                body.reset(read_file_alloc(body_path, &len));
            std::unique_ptr<yyjson_doc, doc_deleter> doc(
                body ? yyjson_read_opts(body.get(), len, 0, nullptr, nullptr) : nullptr);
            if (!doc) {
                ++unread;
                continue;
            }
            gc_add_manifest_digests(&set, yyjson_doc_get_root(doc.get()));
        }
    }
    if (set.dropped) ++unread;
    if (out_unread) *out_unread = unread;
    digest_set_sort(&set);
    for (int i = 0; i < set.count; ++i) {
        if (i > 0 && std::strcmp(set.items[i], set.items[i - 1]) == 0) continue;
        if (fn(ctx, set.items[i]) != 0) break;
    }
    return 0;
}
