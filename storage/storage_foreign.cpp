/*
 * storage_foreign.cpp - foreign (non-distributable) layers: the media types
 * a push may name without uploading the layer, and the walk that finds
 * such layers the store does not hold, so that a check of the store tells
 * them from damage.
 */
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "storage_internal.h"

namespace storage
{

namespace
{

/* Layers whose content lives elsewhere (licensed base layers): a puller
 * fetches them from the descriptor's "urls". */
constexpr std::string_view kForeignLayerTypes[] = {
    "application/vnd.oci.image.layer.nondistributable.v1.tar",
    "application/vnd.oci.image.layer.nondistributable.v1.tar+gzip",
    "application/vnd.oci.image.layer.nondistributable.v1.tar+zstd",
    "application/vnd.docker.image.rootfs.foreign.diff.tar.gzip",
};

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

/* Calls fn for each foreign layer of one body that is not stored; what
 * cannot be read or parsed names nothing. Non-zero when fn stopped. */
int visit_body(const char *repo, const char *manifest, reg_foreign_visit_fn fn, void *ctx)
{
    char path[kPathCap];
    size_t len = 0;
    if (manifest_body_path(repo, manifest, path) != 0) return 0;
    std::unique_ptr<char, free_deleter> body(read_file_alloc(path, &len));
    if (!body) return 0;
    std::unique_ptr<yyjson_doc, doc_deleter> doc(
        yyjson_read_opts(body.get(), len, 0, nullptr, nullptr));
    yyjson_val *layers = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "layers") : nullptr;
    if (!yyjson_is_arr(layers)) return 0;
    size_t i, max;
    yyjson_val *layer;
    yyjson_arr_foreach(layers, i, max, layer)
    {
        yyjson_val *type = yyjson_obj_get(layer, "mediaType");
        yyjson_val *d = yyjson_obj_get(layer, "digest");
        const char *digest = yyjson_get_str(d);
        if (!foreign_layer_type(yyjson_get_str(type), yyjson_get_len(type)) || !digest ||
            digest_parse_n(digest, yyjson_get_len(d), nullptr) != DIGEST_FORM_OK ||
            reg_blob_exists(digest) == 1)
            continue;
        if (fn(ctx, repo, manifest, digest) != 0) return 1;
    }
    return 0;
}

} // namespace

bool foreign_layer_type(const char *media_type, size_t len)
{
    if (!media_type || std::strlen(media_type) != len) return false; /* a hidden NUL */
    for (std::string_view foreign : kForeignLayerTypes)
        if (foreign == std::string_view(media_type, len)) return true;
    return false;
}

} // namespace storage

using namespace storage;

extern "C" int reg_foreign_layers_foreach(reg_foreign_visit_fn fn, void *ctx)
{
    if (!fn) {
        set_error("NULL argument");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return -1;
    }
    repo_list repos;
    if (repos.collect() != 0) {
        set_error("out of memory");
        return -1;
    }
    repos.sort();
    char dir[kPathCap], manifest[DIGEST_TEXT_CAP];
    for (int k = 0; k < repos.count(); ++k) {
        for (digest_algorithm algorithm : kAlgorithms) {
            dir_listing_full listing;
            if (manifest_body_dir(repos[k], algorithm, dir) != 0 ||
                list_dir_full(dir, &listing) != 0)
                continue;
            for (int i = 0; i < listing.count(); ++i) {
                if (listing.is_dir(i) || digest_of_name(algorithm, listing.name(i), manifest) != 0)
                    continue;
                if (visit_body(repos[k], manifest, fn, ctx) != 0) return 0;
            }
        }
    }
    return 0;
}
