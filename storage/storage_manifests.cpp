/*
 * storage_manifests.cpp - manifests and the tags that name them: push, read
 * and delete, and deleting a whole repository.
 *
 * A push validates the body against the blob store (or, for an index,
 * against stored manifests), then writes the body, its content-type file,
 * the revision link and last the tag link, so a failed push never leaves a
 * tag pointing at a manifest that was not stored. Each of these files is
 * replaced atomically: readers (other requests, the garbage collector) see
 * the old or the new content, never a part.
 */
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "storage_internal.h"

namespace storage
{

namespace
{

constexpr size_t kMediaTypeCap = 256; /* body "mediaType" copy, NUL included */

struct doc_freer {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_freer>;

/* A reference is a digest as soon as it holds a ':' (a tag never does). */
bool is_digest_reference(const char *reference)
{
    return std::strchr(reference, ':') != nullptr;
}

/* The first member named key, compared by length and bytes. */
yyjson_val *member(yyjson_val *obj, const char *key)
{
    return yyjson_obj_getn(obj, key, std::strlen(key));
}

/* The "digest" of an object that has one the store keeps, else null. The
 * length is parsed, not the text: a JSON string may hide a NUL. */
const char *valid_digest_of(yyjson_val *obj)
{
    if (!yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0) return nullptr;
    yyjson_val *d = member(obj, "digest");
    const char *s = yyjson_get_str(d);
    if (!s || digest_parse_n(s, yyjson_get_len(d), nullptr) != DIGEST_FORM_OK) return nullptr;
    return s;
}

bool body_file_exists(const char *repo, const char *digest)
{
    char path[kPathCap];
    return manifest_body_path(repo, digest, path) == 0 && plat_is_file(path);
}

/* Every entry of an index must name a manifest stored in this repository
 * or, failing that, in any repository; the store is walked at most once.
 * An index of no entries is allowed: an empty set of platforms is still a
 * well-formed list. */
int check_index(const char *repo, yyjson_val *list)
{
    if (!yyjson_is_arr(list)) {
        set_error("manifest \"manifests\" must be an array");
        return -1;
    }
    repo_list others;
    bool walked = false;
    size_t i, max;
    yyjson_val *entry;
    yyjson_arr_foreach(list, i, max, entry)
    {
        const char *digest = valid_digest_of(entry);
        if (!digest) {
            set_error("manifest index entry %zu missing valid digest", i);
            return -1;
        }
        bool found = body_file_exists(repo, digest);
        if (!found && !walked) {
            walked = true;
            if (others.collect() != 0) {
                set_error("BLOB_UNKNOWN: %s", digest);
                return -1;
            }
        }
        for (int r = 0; !found && r < others.count(); ++r)
            found = body_file_exists(others[r], digest);
        if (!found) {
            set_error("BLOB_UNKNOWN: %s", digest);
            return -1;
        }
    }
    return 0;
}

bool is_foreign_layer(yyjson_val *layer)
{
    yyjson_val *type = member(layer, "mediaType");
    return foreign_layer_type(yyjson_get_str(type), yyjson_get_len(type));
}

/* A non-empty array of non-empty strings: somewhere a puller can go. */
bool names_urls(yyjson_val *layer)
{
    yyjson_val *urls = member(layer, "urls");
    if (!yyjson_is_arr(urls) || yyjson_arr_size(urls) == 0) return false;
    size_t i, max;
    yyjson_val *url;
    yyjson_arr_foreach(urls, i, max, url)
    {
        if (!yyjson_is_str(url) || yyjson_get_len(url) == 0) return false;
    }
    return true;
}

/* An image manifest: a stored config blob and, when "layers" is present,
 * an array of layer blobs, each stored, or foreign with urls to fetch it
 * from. A foreign layer that is stored anyway is held like any other. */
int check_image(yyjson_val *root)
{
    const char *config = valid_digest_of(member(root, "config"));
    if (!config) {
        set_error("manifest missing valid config.digest");
        return -1;
    }
    if (reg_blob_hold(config) != 1) {
        set_error("BLOB_UNKNOWN: %s", config);
        return -1;
    }
    yyjson_val *layers = member(root, "layers");
    if (!layers) return 0;
    if (!yyjson_is_arr(layers)) {
        set_error("manifest layers must be an array");
        return -1;
    }
    size_t i, max;
    yyjson_val *layer;
    yyjson_arr_foreach(layers, i, max, layer)
    {
        const char *digest = valid_digest_of(layer);
        if (!digest) {
            set_error("manifest layer %zu missing valid digest", i);
            return -1;
        }
        if (reg_blob_hold(digest) == 1) continue;
        if (!is_foreign_layer(layer)) {
            set_error("BLOB_UNKNOWN: %s", digest);
            return -1;
        }
        /* Neither here nor anywhere else: no client could ever pull it. */
        if (!names_urls(layer)) {
            set_error("manifest layer %zu is foreign, not stored and names no urls", i);
            return -1;
        }
    }
    return 0;
}

/* The manifest media types a push may name, and whether each is a list of
 * manifests (an index) or one image. */
struct manifest_kind {
    const char *type;
    bool index;
};
constexpr manifest_kind kManifestKinds[] = {
    {"application/vnd.oci.image.manifest.v1+json", false},
    {"application/vnd.oci.image.index.v1+json", true},
    {"application/vnd.docker.distribution.manifest.v2+json", false},
    {"application/vnd.docker.distribution.manifest.list.v2+json", true},
};

const manifest_kind *kind_of(const char *type)
{
    for (const manifest_kind &k : kManifestKinds)
        if (std::strcmp(k.type, type) == 0) return &k;
    return nullptr;
}

/* A known type must agree with the body's shape; schema 1 (no config, a
 * layer list of its own) is refused by name rather than as a missing config. */
int check_kind(yyjson_val *root, const char *given, const char *media_type)
{
    yyjson_val *version = member(root, "schemaVersion");
    if (yyjson_is_int(version) && yyjson_get_sint(version) == 1) {
        set_error("manifest schema version 1 is not supported");
        return -1;
    }
    if (version && !(yyjson_is_int(version) && yyjson_get_sint(version) == 2)) {
        set_error("manifest schemaVersion must be 2");
        return -1;
    }
    const bool is_index = member(root, "manifests") != nullptr;
    /* The default type given beside a body that names its own counts as
     * none given, as when the type to store is chosen. */
    if (given && media_type[0] && std::strcmp(given, kDefaultManifestType) == 0) given = nullptr;
    for (const char *type : {given, static_cast<const char *>(media_type)}) {
        if (!type || !*type) continue;
        const manifest_kind *k = kind_of(type);
        if (k && k->index != is_index) {
            set_error("manifest body does not match its media type %s", type);
            return -1;
        }
    }
    return 0;
}

/* Parses and validates a body; media_type (kMediaTypeCap bytes) gets the
 * body's "mediaType" when it is a string that fits, else "", and subject
 * (DIGEST_TEXT_CAP bytes) the digest of its "subject", else "". */
int check_manifest(const char *repo, const void *body, size_t body_len, const char *given_type,
                   char *media_type, char *subject, digest_algorithm *content_algorithm)
{
    media_type[0] = '\0';
    subject[0] = '\0';
    *content_algorithm = DIGEST_SHA256;
    /* Flags 0: strict JSON. yyjson copies the input, so body stays const. */
    doc_ptr doc(yyjson_read_opts(static_cast<char *>(const_cast<void *>(body)), body_len, 0,
                                 nullptr, nullptr));
    if (!doc) {
        set_error("manifest JSON parse failed");
        return -1;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        set_error("manifest must be a JSON object");
        return -1;
    }
    if (yyjson_obj_size(root) == 0) {
        set_error("manifest missing valid config.digest");
        return -1;
    }
    yyjson_val *mt = member(root, "mediaType");
    const char *mt_text = yyjson_get_str(mt);
    size_t mt_len = yyjson_get_len(mt);
    /* A hidden NUL would store a different text than the body names. */
    if (mt_text && mt_len < kMediaTypeCap && std::strlen(mt_text) == mt_len)
        std::memcpy(media_type, mt_text, mt_len + 1);
    if (check_kind(root, given_type, media_type) != 0) return -1;
    /* The subject need not be stored: referrers may be pushed first. */
    if (manifest_subject_of(root, subject) != 0) {
        set_error("manifest subject missing valid digest");
        return -1;
    }

    yyjson_val *list = member(root, "manifests");
    if ((list ? check_index(repo, list) : check_image(root)) != 0) return -1;
    /* What the content is named by: the config's algorithm, or the first
     * entry's. A client that names its blobs by sha512 names its manifest
     * so too and expects that digest back from a push by tag. */
    yyjson_val *first = list ? yyjson_arr_get_first(list) : member(root, "config");
    if (const char *d = valid_digest_of(first)) *content_algorithm = digest_algorithm_of(d);
    return 0;
}

/* The content type to store: the caller's, unless it is the default and
 * the body names its own type; else the body's type; else the default. */
const char *choose_content_type(const char *given, const char *media_type)
{
    bool have_media = media_type[0] != '\0';
    if (given && *given)
        return have_media && std::strcmp(given, kDefaultManifestType) == 0 ? media_type : given;
    return have_media ? media_type : kDefaultManifestType;
}

/* The stored type returns as a response header: it must come back whole
 * from get and must not hold a byte that ends or splits a header line. */
int check_content_type(const char *type)
{
    size_t len = strnlen(type, kContentTypeMax + 1);
    if (len > kContentTypeMax) {
        set_error("content type too long (max %zu bytes)", kContentTypeMax);
        return -1;
    }
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(type[i]);
        if (c < 0x20 || c == 0x7F) {
            set_error("invalid content type");
            return -1;
        }
    }
    return 0;
}

/* The stored content type of digest into out (kContentTypeMax + 1 bytes);
 * the default when the file is missing or empty. */
void read_content_type(const char *repo, const char *digest, char *out)
{
    char path[kPathCap];
    size_t n = 0;
    if (manifest_ct_path(repo, digest, path) != 0 ||
        read_file(path, out, kContentTypeMax + 1, &n) != 0 || n == 0)
        copy_cut(out, kContentTypeMax + 1, kDefaultManifestType);
}

/* Writes data to file in dir, making dir (again) as needed; the message
 * of the step that failed. A directory that a concurrent delete prunes
 * between its making and the write into it is made again (place_in_dir). */
int write_in(const char *dir, const char *file, const void *data, size_t len,
             const char *dir_failed, const char *write_failed)
{
    const placed p = place_in_dir(dir, [&] { return write_file_atomic(file, data, len); });
    if (p == placed::ok) return 0;
    if (p != placed::gave_up) set_error("%s", p == placed::dir_failed ? dir_failed : write_failed);
    return -1;
}

/* Points tag at digest (a stored manifest of repo). */
int store_tag(const char *repo, const char *tag, const char *digest)
{
    char tags[kPathCap], tag_dir[kPathCap], dir[kPathCap], path[kPathCap];
    if (manifest_tags_dir(repo, tags) != 0 || path_join(tag_dir, tags, tag) != 0 ||
        path_join(dir, tag_dir, "current") != 0) {
        set_error("mkdirs tag dir failed");
        return -1;
    }
    if (manifest_tag_path(repo, tag, path) != 0) {
        set_error("write tag link failed");
        return -1;
    }
    return write_in(dir, path, digest, std::strlen(digest), "mkdirs tag dir failed",
                    "write tag link failed");
}

/* Writes the files of one push in order; the first failure's message. */
int store_manifest(const char *repo, const char *reference, const void *body, size_t body_len,
                   const char *type, const char *digest, const char *subject)
{
    char path[kPathCap], dir[kPathCap];
    const size_t digest_len = std::strlen(digest);

    if (manifest_body_dir(repo, digest_algorithm_of(digest), dir) != 0) {
        set_error("mkdirs manifests dir failed");
        return -1;
    }
    if (manifest_body_path(repo, digest, path) != 0) {
        set_error("write manifest body failed");
        return -1;
    }
    if (write_in(dir, path, body, body_len, "mkdirs manifests dir failed",
                 "write manifest body failed") != 0)
        return -1;
    if (manifest_ct_path(repo, digest, path) != 0) {
        set_error("write manifest ct failed");
        return -1;
    }
    if (write_in(dir, path, type, std::strlen(type), "mkdirs manifests dir failed",
                 "write manifest ct failed") != 0)
        return -1;
    if (manifest_rev_dir(repo, digest, dir) != 0) {
        set_error("mkdirs revision dir failed");
        return -1;
    }
    if (manifest_rev_path(repo, digest, path) != 0) {
        set_error("write revision link failed");
        return -1;
    }
    if (write_in(dir, path, digest, digest_len, "mkdirs revision dir failed",
                 "write revision link failed") != 0)
        return -1;
    if (subject[0] && referrer_link(repo, subject, digest) != 0) {
        set_error("write referrer link failed");
        return -1;
    }
    if (is_digest_reference(reference)) return 0;
    return store_tag(repo, reference, digest);
}

/* A tag a push may set: of the grammar, and not differing only in case
 * from a stored tag nor from another tag of the same push. */
int check_push_tag(const char *repo, const char *tag, const char *const *others, size_t count)
{
    if (!tag || !tag_valid(tag)) {
        set_error("invalid tag reference");
        return -1;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!others[i] || std::strcmp(others[i], tag) == 0 || !tags_equal_nocase(others[i], tag))
            continue;
        set_error("invalid tag reference: %s differs only in case from %s in the same push", tag,
                  others[i]);
        return -1;
    }
    return tag_case_check(repo, tag);
}

/* Removes what makes digest a stored manifest: body, content-type file
 * and revision link, each when it is a file. Failures leave the file,
 * which keeps the manifest readable rather than half gone. */
void remove_manifest_files(const char *repo, const char *digest)
{
    char path[kPathCap];
    if (manifest_body_path(repo, digest, path) == 0 && plat_is_file(path)) plat_remove(path);
    if (manifest_ct_path(repo, digest, path) == 0 && plat_is_file(path)) plat_remove(path);
    if (manifest_rev_path(repo, digest, path) == 0 && plat_is_file(path)) plat_remove(path);
    /* Other algorithms' bodies have a directory of their own. */
    if (digest_algorithm_of(digest) != DIGEST_SHA256 &&
        manifest_body_dir(repo, digest_algorithm_of(digest), path) == 0)
        plat_rmdir(path);
}

bool digest_less(const char *a, const char *b)
{
    return std::strcmp(a, b) < 0;
}

/* Deletes by digest: every tag naming it first, then the manifest. */
int delete_by_digest(const char *repo, const char *digest)
{
    char tags[kPathCap], tag_dir[kPathCap], link[kPathCap], text[kTagLinkCap];
    if (manifest_tags_dir(repo, tags) != 0) {
        set_error("delete manifest tags failed: %s@%s", repo, digest);
        return -1;
    }
    dir_listing_full l;
    /* A directory another process is removing this moment can refuse a
     * listing and still be seen (Windows): a few more tries see it gone. */
    int listed = list_dir_full(tags, &l);
    for (int retry = 0; listed != 0 && retry < 64 && plat_is_dir(tags); ++retry)
        listed = list_dir_full(tags, &l);
    if (listed != 0) {
        /* Tags that cannot be seen could still name the manifest: removing
         * it would leave them dangling. */
        if (plat_is_dir(tags)) {
            set_error("delete manifest tags failed: %s@%s", repo, digest);
            return -1;
        }
    } else {
        bool failed = false;
        for (int i = 0; i < l.count(); ++i) {
            if (!l.is_dir(i)) continue;
            if (manifest_tag_path(repo, l.name(i), link) != 0 || read_link(link, text) != 0 ||
                !link_names_digest(text, digest))
                continue;
            /* What must go is the link that names the manifest; a directory
             * that another process holds open a moment too long (Windows) may
             * stay behind empty, which names nothing. */
            if (path_join(tag_dir, tags, l.name(i)) != 0 ||
                (delete_tree(tag_dir) != 0 && plat_is_file(link)))
                failed = true;
        }
        plat_rmdir(tags); /* only when nothing else is left in it */
        if (failed) {
            set_error("delete manifest tags failed: %s@%s", repo, digest);
            return -1;
        }
    }
    referrer_unlink(repo, digest);
    remove_manifest_files(repo, digest);
    if (manifest_rev_dir(repo, digest, link) == 0) plat_rmdir(link);
    return 0;
}

} // namespace

int manifest_resolve(const char *repo, const char *reference, char *out_digest)
{
    char path[kPathCap];
    if (is_digest_reference(reference)) {
        if (!digest_text_valid(reference)) {
            set_error("invalid digest reference");
            return -1;
        }
        copy_cut(out_digest, DIGEST_TEXT_CAP, reference);
        if ((manifest_rev_path(repo, out_digest, path) == 0 && plat_is_file(path)) ||
            body_file_exists(repo, out_digest))
            return 0;
        set_error("manifest not found: %s@%s", repo, reference);
        return -1;
    }
    /* Checked before the tag becomes a path: a separator or ".." would
     * address a file outside the tags directory. */
    if (!tag_valid(reference)) {
        set_error("invalid tag reference");
        return -1;
    }
    char text[kTagLinkCap];
    if (manifest_tag_path(repo, reference, path) != 0 || read_link(path, text) != 0) {
        set_error("tag not found: %s:%s", repo, reference);
        return -1;
    }
    if (!digest_text_valid(text)) {
        set_error("corrupt tag link: %s:%s", repo, reference);
        return -1;
    }
    copy_cut(out_digest, DIGEST_TEXT_CAP, text);
    return 0;
}

int tag_unlink(const char *repo, const char *tag, char *out_digest)
{
    if (manifest_resolve(repo, tag, out_digest) != 0) return -1;
    char path[kPathCap];
    if (manifest_tag_path(repo, tag, path) == 0 && plat_is_file(path) && plat_remove(path) != 0) {
        set_error("delete tag failed");
        return -1;
    }
    return 0;
}

void manifests_drop_untagged(const char *repo, char (*digests)[DIGEST_TEXT_CAP], int count)
{
    if (count <= 0) return;
    std::vector<char *> wanted;
    std::vector<char> named(count, 0);
    char tags[kPathCap], link[kPathCap], text[kTagLinkCap];
    try {
        wanted.reserve(count);
        for (int i = 0; i < count; ++i)
            wanted.push_back(digests[i]);
    } catch (...) {
        return; /* cannot tell which are still tagged: keep them all */
    }
    std::sort(wanted.begin(), wanted.end(), digest_less);

    dir_listing_full l;
    if (manifest_tags_dir(repo, tags) != 0) return;
    if (list_dir_full(tags, &l) != 0 && plat_is_dir(tags)) return; /* unseen tags: keep */
    int left = count;
    for (int i = 0; i < l.count() && left > 0; ++i) {
        if (!l.is_dir(i)) continue;
        if (manifest_tag_path(repo, l.name(i), link) != 0 || read_link(link, text) != 0) continue;
        if (!digest_text_valid(text)) continue;
        auto it = std::lower_bound(wanted.begin(), wanted.end(), text, digest_less);
        /* Duplicates sit side by side: mark every copy. */
        for (; it != wanted.end() && std::strcmp(*it, text) == 0; ++it) {
            size_t k = static_cast<size_t>(it - wanted.begin());
            if (!named[k]) {
                named[k] = 1;
                --left;
            }
        }
    }
    for (int k = 0; k < count; ++k) {
        if (named[k]) continue;
        /* A duplicate removed earlier is simply gone; removal is idempotent. */
        remove_manifest_files(repo, wanted[k]);
    }
}

/* The checks every public operation runs first, in order. */
int check_repo_op(bool args_present, const char *repo, bool name_in_message)
{
    if (!args_present) {
        set_error("NULL argument");
        return -1;
    }
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return -1;
    }
    if (!*repo || !repo_name_valid(repo)) {
        if (name_in_message)
            set_error("invalid repository name: %s", repo);
        else
            set_error("invalid repository name");
        return -1;
    }
    return 0;
}

} // namespace storage

using namespace storage;

extern "C" int reg_manifest_put_tags(const char *repo_name, const char *reference, const void *body,
                                     size_t body_len, const char *content_type,
                                     const char *const *tags, size_t tag_count, char *out_digest)
{
    if (check_repo_op(repo_name && reference && body && out_digest && (tags || tag_count == 0),
                      repo_name, true) != 0)
        return -1;
    if (!*reference) {
        set_error("empty reference");
        return -1;
    }
    const bool by_tag = !is_digest_reference(reference);
    if (by_tag && check_push_tag(repo_name, reference, tags, tag_count) != 0) return -1;
    /* Every tag checked before anything is written: all are set or none. */
    for (size_t i = 0; i < tag_count; ++i)
        if (check_push_tag(repo_name, tags[i], tags, i) != 0) return -1;
    if (body_len > kManifestPutMax) {
        set_error("manifest too large (max %zu bytes)", kManifestPutMax);
        return -1;
    }
    /* A digest reference names the algorithm its manifest is kept under; a
     * tag push takes the algorithm the content is named by (sha256 unless
     * its config or first entry is named otherwise). */
    digest_algorithm algorithm = DIGEST_SHA256;
    if (!by_tag && digest_parse(reference, &algorithm) != DIGEST_FORM_OK) {
        set_error("invalid digest reference");
        return -1;
    }
    char media_type[kMediaTypeCap], subject[DIGEST_TEXT_CAP];
    digest_algorithm content_algorithm = DIGEST_SHA256;
    if (check_manifest(repo_name, body, body_len, content_type, media_type, subject,
                       &content_algorithm) != 0)
        return -1;
    if (by_tag) algorithm = content_algorithm;
    const char *type = choose_content_type(content_type, media_type);
    if (check_content_type(type) != 0) return -1;

    char digest[DIGEST_TEXT_CAP];
    digest_bytes_text(algorithm, body, body_len, digest);
    /* Stored under another digest than asked, the manifest could never be
     * fetched by the reference its pusher holds. */
    if (!by_tag && std::strcmp(reference, digest) != 0) {
        set_error("digest mismatch: expected %s, got %s", reference, digest);
        return -1;
    }
    if (store_manifest(repo_name, reference, body, body_len, type, digest, subject) != 0) return -1;
    for (size_t i = 0; i < tag_count; ++i)
        if (store_tag(repo_name, tags[i], digest) != 0) return -1;
    copy_cut(out_digest, DIGEST_TEXT_CAP, digest);
    return 0;
}

extern "C" int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                                size_t body_len, const char *content_type, char *out_digest)
{
    return reg_manifest_put_tags(repo_name, reference, body, body_len, content_type, nullptr, 0,
                                 out_digest);
}

extern "C" const char *reg_manifest_get(const char *repo_name, const char *reference,
                                        char *out_content_type, char *out_digest)
{
    if (check_repo_op(repo_name && reference && out_content_type && out_digest, repo_name, false) !=
        0)
        return nullptr;
    char digest[DIGEST_TEXT_CAP], path[kPathCap];
    if (manifest_resolve(repo_name, reference, digest) != 0) return nullptr;

    size_t n = 0;
    if (manifest_body_path(repo_name, digest, path) != 0 ||
        read_file(path, s_result, kResultCap, &n) != 0) {
        set_error("manifest body not found: %s@%s", repo_name, reference);
        return nullptr;
    }
    plat_file_info info;
    if (n == kManifestMax && plat_stat(path, &info) == 0 &&
        info.size > static_cast<int64_t>(kManifestMax)) {
        /* Stored by other means: returning it cut would be a different
         * manifest than its digest names. */
        set_error("manifest too large: %s@%s", repo_name, reference);
        return nullptr;
    }
    read_content_type(repo_name, digest, out_content_type);
    copy_cut(out_digest, DIGEST_TEXT_CAP, digest);
    return s_result;
}

extern "C" int reg_manifest_locate(const char *repo_name, const char *reference,
                                   char *out_content_type, char *out_digest, char *out_path,
                                   size_t out_path_size, int64_t *out_size)
{
    if (check_repo_op(repo_name && reference && out_content_type && out_digest && out_path &&
                          out_size,
                      repo_name, false) != 0)
        return -1;
    char digest[DIGEST_TEXT_CAP], path[kPathCap];
    if (manifest_resolve(repo_name, reference, digest) != 0) return -1;
    plat_file_info info;
    if (manifest_body_path(repo_name, digest, path) != 0 || plat_stat(path, &info) != 0 ||
        info.is_dir) {
        set_error("manifest body not found: %s@%s", repo_name, reference);
        return -1;
    }
    if (std::strlen(path) >= out_path_size) {
        set_error("path buffer too small");
        return -1;
    }
    copy_cut(out_path, out_path_size, path);
    *out_size = info.size;
    read_content_type(repo_name, digest, out_content_type);
    copy_cut(out_digest, DIGEST_TEXT_CAP, digest);
    return 0;
}

extern "C" int reg_tag_delete(const char *repo_name, const char *tag)
{
    if (check_repo_op(repo_name && tag, repo_name, false) != 0) return -1;
    if (is_digest_reference(tag) || !tag_valid(tag)) {
        set_error("invalid tag reference");
        return -1;
    }
    /* Whatever the link holds: a corrupt tag must be removable too. */
    char path[kPathCap];
    if (manifest_tag_path(repo_name, tag, path) != 0 || !plat_is_file(path)) {
        set_error("tag not found: %s:%s", repo_name, tag);
        return -1;
    }
    if (plat_remove(path) != 0) {
        set_error("delete tag failed");
        return -1;
    }
    return 0;
}

extern "C" int reg_repo_exists(const char *repo_name)
{
    if (check_repo_op(repo_name != nullptr, repo_name, false) != 0) return -1;
    char dir[kPathCap];
    return repo_manifests_dir(repo_name, dir) == 0 && plat_is_dir(dir) ? 1 : 0;
}

extern "C" int reg_manifest_delete(const char *repo_name, const char *reference)
{
    if (check_repo_op(repo_name && reference, repo_name, false) != 0) return -1;
    char digest[DIGEST_TEXT_CAP];
    if (is_digest_reference(reference)) {
        if (manifest_resolve(repo_name, reference, digest) != 0) return -1;
        return delete_by_digest(repo_name, digest);
    }
    /* The tag's own directories stay: a push under the same tag may be
     * creating them right now. */
    if (tag_unlink(repo_name, reference, digest) != 0) return -1;
    manifests_drop_untagged(repo_name, &digest, 1);
    return 0;
}

namespace
{

constexpr bool is_level_sep(char c)
{
    return c == '/' || c == PLAT_SEP;
}

/* Removes the emptied parents of a deleted repository directory, cutting
 * at either separator, however deep it lay. Never at or above floor_len
 * (the repositories directory) and never a directory that still holds
 * anything. Each round shortens path, so the loop ends at floor_len. */
void prune_parents(char *path, size_t floor_len)
{
    for (;;) {
        size_t len = std::strlen(path);
        while (len > 0 && !is_level_sep(path[len - 1]))
            --len;
        /* "a//b" and a trailing separator leave runs of separators; the
         * directory is the text before them. */
        while (len > 0 && is_level_sep(path[len - 1]))
            --len;
        path[len] = '\0';
        if (len <= floor_len) return;
        if (!plat_is_dir(path)) continue;
        if (plat_rmdir(path) != 0) return;
    }
}

} // namespace

extern "C" int reg_repo_delete(const char *repo_name)
{
    if (!repo_name || !*repo_name) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_op(true, repo_name, false) != 0) return -1;
    char dir[kPathCap], top[kPathCap];
    if (repo_dir(repo_name, dir) != 0 || repositories_dir(top) != 0 || !plat_is_dir(dir)) {
        set_error("repository not found: %s", repo_name);
        return -1;
    }
    if (delete_tree(dir) != 0) {
        set_error("delete repository failed: %s", repo_name);
        return -1;
    }
    prune_parents(dir, std::strlen(top));
    return 0;
}

extern "C" int reg_manifest_subject(const void *body, size_t body_len, char *out_digest)
{
    if (!body || !out_digest) {
        set_error("NULL argument");
        return -1;
    }
    out_digest[0] = '\0';
    doc_ptr doc(yyjson_read_opts(static_cast<char *>(const_cast<void *>(body)), body_len, 0,
                                 nullptr, nullptr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    char subject[DIGEST_TEXT_CAP];
    if (!yyjson_is_obj(root) || manifest_subject_of(root, subject) != 0) {
        set_error("manifest subject missing valid digest");
        return -1;
    }
    copy_cut(out_digest, DIGEST_TEXT_CAP, subject);
    return 0;
}
