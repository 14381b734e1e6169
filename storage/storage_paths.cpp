/*
 * storage_paths.cpp - the one place that composes layout paths.
 *
 * Every path is built component by component into a kPathCap buffer. A path
 * that would be cut is reported (-1, out = "") instead of being returned
 * shortened: acting on a cut path would touch a different file.
 */
#include <cstring>
#include <string_view>

#include "storage_internal.h"

namespace storage
{

namespace
{

class path_builder
{
  public:
    explicit path_builder(char *out, size_t cap = kPathCap) : out_(out), cap_(cap)
    {
        out_[0] = '\0';
    }

    path_builder &add(std::string_view s)
    {
        if (cut_) return *this;
        if (s.size() > cap_ - 1 - len_) {
            cut_ = true;
            return *this;
        }
        std::memcpy(out_ + len_, s.data(), s.size());
        len_ += s.size();
        out_[len_] = '\0';
        return *this;
    }

    path_builder &sep() { return add(PLAT_SEP_STR); }
    path_builder &level(std::string_view s) { return sep().add(s); }

    /* A backslash in a repository name separates directories everywhere. */
    path_builder &repo_level(std::string_view name)
    {
        sep();
        size_t start = len_;
        add(name);
        if (!cut_ && PLAT_SEP != '\\')
            for (size_t i = start; i < len_; ++i)
                if (out_[i] == '\\') out_[i] = PLAT_SEP;
        return *this;
    }

    int done()
    {
        if (!cut_) return 0;
        out_[0] = '\0';
        return -1;
    }

  private:
    char *out_;
    size_t cap_;
    size_t len_ = 0;
    bool cut_ = false;
};

path_builder manifests(const char *repo, char *out)
{
    path_builder b(out);
    b.add(s_root).level("repositories").repo_level(repo).level(kManifestsDir);
    return b;
}

path_builder revision(const char *repo, const char *digest, char *out)
{
    path_builder b = manifests(repo, out);
    b.level("revisions").level(digest_algorithm_name(digest_algorithm_of(digest)));
    b.level(digest_hex(digest));
    return b;
}

path_builder referrers(const char *repo, const char *subject, char *out)
{
    path_builder b = manifests(repo, out);
    b.level("referrers").level(digest_algorithm_name(digest_algorithm_of(subject)));
    b.level(digest_hex(subject));
    return b;
}

int refuse(char *out)
{
    out[0] = '\0';
    return -1;
}

/* The algorithm's directory name of a blob's digest and its fan-out name
 * (the first two hex digits) in fan; null for a text that names no
 * algorithm the store keeps or has fewer than two digits. */
const char *blob_fan(const char *digest, char fan[3])
{
    const digest_algorithm algorithm = digest_algorithm_of(digest);
    const char *hex = digest_hex(digest);
    if (algorithm == DIGEST_NONE || strnlen(hex, 2) < 2) return nullptr;
    fan[0] = hex[0];
    fan[1] = hex[1];
    fan[2] = '\0';
    return digest_algorithm_name(algorithm);
}

/* sha256 bodies stay where the layout has always kept them. */
path_builder body_dir(const char *repo, digest_algorithm algorithm, char *out)
{
    path_builder b = manifests(repo, out);
    if (algorithm != DIGEST_SHA256) b.level(digest_algorithm_name(algorithm));
    return b;
}

} // namespace

int path_join(char *out, const char *left, const char *right)
{
    return path_builder(out).add(left).level(right).done();
}

int repositories_dir(char *out)
{
    return path_builder(out).add(s_root).level("repositories").done();
}

int blobs_dir(char *out)
{
    return blob_algorithm_dir(DIGEST_SHA256, out);
}

int blob_algorithm_dir(digest_algorithm algorithm, char *out)
{
    return path_builder(out)
        .add(s_root)
        .level("blobs")
        .level(digest_algorithm_name(algorithm))
        .done();
}

int uploads_dir(char *out)
{
    return path_builder(out).add(s_root).level("uploads").done();
}

int gc_dir(char *out)
{
    return path_builder(out).add(s_root).level("_gc").done();
}

int quarantine_dir(char *out)
{
    return path_builder(out).add(s_root).level("_quarantine").done();
}

int gc_last_path(char *out)
{
    return path_builder(out).add(s_root).level("_gc").level("last.json").done();
}

int usage_dir(char *out)
{
    return path_builder(out).add(s_root).level("_usage").done();
}

int usage_snapshot_path(char *out)
{
    return path_builder(out).add(s_root).level("_usage").level("blobs.json").done();
}

int gc_progress_path(char *out)
{
    return path_builder(out).add(s_root).level("_gc").level("progress.json").done();
}

int gc_cancel_path(char *out)
{
    return path_builder(out).add(s_root).level("_gc").level("cancel").done();
}

int repo_dir(const char *repo, char *out)
{
    return path_builder(out).add(s_root).level("repositories").repo_level(repo).done();
}

int repo_manifests_dir(const char *repo, char *out)
{
    return manifests(repo, out).done();
}

int manifest_rev_dir(const char *repo, const char *digest, char *out)
{
    return revision(repo, digest, out).done();
}

int manifest_rev_path(const char *repo, const char *digest, char *out)
{
    return revision(repo, digest, out).level("link").done();
}

int manifest_tags_dir(const char *repo, char *out)
{
    return manifests(repo, out).level("tags").done();
}

int manifest_tag_path(const char *repo, const char *tag, char *out)
{
    return manifests(repo, out).level("tags").level(tag).level("current").level("link").done();
}

int manifest_body_dir(const char *repo, digest_algorithm algorithm, char *out)
{
    return body_dir(repo, algorithm, out).done();
}

int manifest_body_path(const char *repo, const char *digest, char *out)
{
    return body_dir(repo, digest_algorithm_of(digest), out).level(digest_hex(digest)).done();
}

int manifest_ct_path(const char *repo, const char *digest, char *out)
{
    return body_dir(repo, digest_algorithm_of(digest), out)
        .level(digest_hex(digest))
        .add(".ct")
        .done();
}

int manifest_referrers_dir(const char *repo, const char *subject, char *out)
{
    return referrers(repo, subject, out).done();
}

int manifest_referrer_path(const char *repo, const char *subject, const char *digest, char *out)
{
    return referrers(repo, subject, out).level(digest_hex(digest)).done();
}

int upload_path_for_uuid(const char *uuid, char *out)
{
    char name[kUploadNameCap];
    path_builder nb(name, sizeof name);
    if (nb.add(uuid).add(".part").done() != 0) return refuse(out);
    return path_builder(out).add(s_root).level("uploads").level(name).done();
}

int upload_state_dir(char *out)
{
    return path_builder(out).add(s_root).level("uploads").level("sha256-state").done();
}

int upload_state_path(const char *uuid, char *out)
{
    return path_builder(out).add(s_root).level("uploads").level("sha256-state").level(uuid).done();
}

int blob_path_for_digest(const char *digest, char *out)
{
    char fan[3];
    const char *algorithm = blob_fan(digest, fan);
    if (!algorithm) return refuse(out);
    return path_builder(out)
        .add(s_root)
        .level("blobs")
        .level(algorithm)
        .level(fan)
        .level(digest_hex(digest))
        .done();
}

int blob_fan_dir(const char *digest, char *out)
{
    char fan[3];
    const char *algorithm = blob_fan(digest, fan);
    if (!algorithm) return refuse(out);
    return path_builder(out).add(s_root).add("/blobs/").add(algorithm).add("/").add(fan).done();
}

void bin_to_hex(const uint8_t *bytes, char *out)
{
    for (int i = 0; i < 32; ++i) {
        out[2 * i] = hx[bytes[i] >> 4];
        out[2 * i + 1] = hx[bytes[i] & 0x0F];
    }
    out[64] = '\0';
}

} // namespace storage
