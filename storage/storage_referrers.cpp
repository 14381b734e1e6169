/*
 * storage_referrers.cpp - the referrers index: which manifests of a
 * repository name a given manifest as their "subject".
 *
 * A push of a manifest with a subject writes a link file
 * _manifests/referrers/ALG/SUBJECT/HEX holding "ALG:HEX" (each algorithm
 * its own, a subject's and a referrer's may differ); a delete by
 * digest removes it. A listing reads only that one directory and the bodies
 * it names, never every manifest of the repository. Links whose manifest is
 * gone (a tag delete or retention dropped it) are skipped, so the index
 * never lists what cannot be fetched.
 */
#include <yyjson.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "storage_internal.h"

namespace storage
{

namespace
{

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr size_t kArtifactFilterMax = 255;
/* The result less the closing "]}", which always fits after a cut. */
constexpr size_t kRoom = kResultCap - 2;

struct doc_freer {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_freer>;
struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

doc_ptr parse(char *text, size_t len)
{
    return doc_ptr(yyjson_read_opts(text, len, 0, nullptr, nullptr));
}

/* A string member without a hidden NUL, or null. */
const char *str_member(yyjson_val *obj, const char *key)
{
    yyjson_val *v = yyjson_obj_get(obj, key);
    const char *s = yyjson_get_str(v);
    return s && std::strlen(s) == yyjson_get_len(v) ? s : nullptr;
}

/* Appends text to the result at *used; false when it would not fit. */
bool append(size_t *used, const char *text, size_t len)
{
    if (*used + len + 1 > kRoom) return false;
    std::memcpy(s_result + *used, text, len);
    *used += len;
    s_result[*used] = '\0';
    return true;
}

bool append_str(size_t *used, const char *text)
{
    return append(used, text, std::strlen(text));
}

/* A JSON string: quotes and the escaped text. */
bool append_json_string(size_t *used, const char *text)
{
    const size_t need = json_escaped_len(text) + 2;
    if (*used + need + 9 > kRoom) return false; /* the escape wants slack */
    s_result[(*used)++] = '"';
    *used += json_escape_append(s_result + *used, kRoom - *used, text);
    s_result[(*used)++] = '"';
    s_result[*used] = '\0';
    return true;
}

/* One descriptor for the manifest digest of repo, when its body is stored
 * and matches the filter. 1 written, 0 skipped, -1 out of room. */
int append_descriptor(size_t *used, bool first, const char *repo, const char *digest,
                      const char *filter)
{
    char path[kPathCap];
    size_t len = 0;
    if (manifest_body_path(repo, digest, path) != 0) return 0;
    std::unique_ptr<char, free_deleter> body(read_file_alloc(path, &len));
    if (!body) return 0;
    doc_ptr doc = parse(body.get(), len);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return 0;

    const char *media_type = str_member(root, "mediaType");
    /* Without its own artifactType (absent or empty) an artifact is known by
     * its config's type. */
    const char *artifact = str_member(root, "artifactType");
    if (!artifact || !*artifact) artifact = str_member(yyjson_obj_get(root, "config"), "mediaType");
    if (filter && *filter && (!artifact || std::strcmp(artifact, filter) != 0)) return 0;

    const size_t mark = *used;
    char head[DIGEST_TEXT_CAP + 64];
    std::snprintf(head, sizeof head, "%s{\"mediaType\":", first ? "" : ",");
    bool ok = append_str(used, head) &&
              append_json_string(used, media_type ? media_type
                                                  : "application/vnd.oci.image.manifest.v1+json");
    std::snprintf(head, sizeof head, ",\"digest\":\"%s\",\"size\":%zu", digest, len);
    ok = ok && append_str(used, head);
    if (ok && artifact)
        ok = append_str(used, ",\"artifactType\":") && append_json_string(used, artifact);
    yyjson_val *annotations = yyjson_obj_get(root, "annotations");
    if (ok && yyjson_is_obj(annotations)) {
        size_t n = 0;
        std::unique_ptr<char, free_deleter> text(
            yyjson_val_write(annotations, YYJSON_WRITE_NOFLAG, &n));
        ok = text && append_str(used, ",\"annotations\":") && append(used, text.get(), n);
    }
    ok = ok && append_str(used, "}");
    if (!ok) {
        *used = mark;
        s_result[mark] = '\0';
        return -1;
    }
    return 1;
}

} // namespace

int manifest_subject_of(yyjson_val *root, char *out_digest)
{
    out_digest[0] = '\0';
    yyjson_val *subject = yyjson_obj_get(root, "subject");
    if (!subject) return 0;
    const char *digest = str_member(subject, "digest");
    if (!yyjson_is_obj(subject) || !digest || !digest_text_valid(digest)) return -1;
    copy_cut(out_digest, DIGEST_TEXT_CAP, digest);
    return 0;
}

int referrer_link(const char *repo, const char *subject, const char *digest)
{
    char dir[kPathCap], path[kPathCap];
    if (manifest_referrers_dir(repo, subject, dir) != 0 ||
        manifest_referrer_path(repo, subject, digest, path) != 0)
        return -1;
    const placed p =
        place_in_dir(dir, [&] { return write_file_atomic(path, digest, std::strlen(digest)); });
    return p == placed::ok ? 0 : -1;
}

void referrer_unlink(const char *repo, const char *digest)
{
    char path[kPathCap], subject[DIGEST_TEXT_CAP];
    size_t len = 0;
    if (manifest_body_path(repo, digest, path) != 0) return;
    std::unique_ptr<char, free_deleter> body(read_file_alloc(path, &len));
    if (!body) return;
    doc_ptr doc = parse(body.get(), len);
    if (!doc || manifest_subject_of(yyjson_doc_get_root(doc.get()), subject) != 0 || !subject[0])
        return;
    if (manifest_referrer_path(repo, subject, digest, path) == 0 && plat_is_file(path))
        plat_remove(path);
    /* Emptied directories go; one still in use stays (rmdir refuses). */
    if (manifest_referrers_dir(repo, subject, path) == 0) plat_rmdir(path);
}

} // namespace storage

using namespace storage;

extern "C" const char *reg_referrers_json(const char *repo_name, const char *subject_digest,
                                          const char *artifact_type, int *out_truncated)
{
    if (out_truncated) *out_truncated = 0;
    if (check_repo_op(repo_name && subject_digest, repo_name, false) != 0) return nullptr;
    if (!digest_text_valid(subject_digest)) {
        set_error("invalid digest");
        return nullptr;
    }
    if (artifact_type && std::strlen(artifact_type) > kArtifactFilterMax) {
        set_error("artifact type too long (max %zu bytes)", kArtifactFilterMax);
        return nullptr;
    }

    /* Sorted by digest, so a listing is the same on every platform. */
    char dir[kPathCap];
    dir_listing_full listing;
    std::vector<std::array<char, DIGEST_TEXT_CAP>> digests;
    if (manifest_referrers_dir(repo_name, subject_digest, dir) == 0 &&
        list_dir_full(dir, &listing) == 0) {
        for (int i = 0; i < listing.count(); ++i) {
            std::array<char, DIGEST_TEXT_CAP> digest;
            if (listing.is_dir(i) || digest_of_any_name(listing.name(i), digest.data()) != 0)
                continue;
            try {
                digests.push_back(digest);
            } catch (...) {
                set_error("out of memory");
                return nullptr;
            }
        }
    }
    std::sort(digests.begin(), digests.end(),
              [](const auto &a, const auto &b) { return std::strcmp(a.data(), b.data()) < 0; });

    size_t used = 0;
    s_result[0] = '\0';
    char head[128];
    std::snprintf(head, sizeof head, "{\"schemaVersion\":2,\"mediaType\":\"%s\",\"manifests\":[",
                  kIndexType);
    append_str(&used, head);
    bool first = true;
    for (const auto &digest : digests) {
        const int rc = append_descriptor(&used, first, repo_name, digest.data(), artifact_type);
        if (rc < 0) {
            if (out_truncated) *out_truncated = 1;
            break;
        }
        if (rc == 1) first = false;
    }
    std::memcpy(s_result + used, "]}", 3);
    return s_result;
}
