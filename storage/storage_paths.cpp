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
    return path_builder(out).add(s_root).level("blobs").level("sha256").done();
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

int manifest_rev_dir(const char *repo, const char *hex, char *out)
{
    return manifests(repo, out).level("revisions").level("sha256").level(hex).done();
}

int manifest_rev_path(const char *repo, const char *hex, char *out)
{
    return manifests(repo, out).level("revisions").level("sha256").level(hex).level("link").done();
}

int manifest_tags_dir(const char *repo, char *out)
{
    return manifests(repo, out).level("tags").done();
}

int manifest_tag_path(const char *repo, const char *tag, char *out)
{
    return manifests(repo, out).level("tags").level(tag).level("current").level("link").done();
}

int manifest_body_path(const char *repo, const char *file, char *out)
{
    return manifests(repo, out).level(file).done();
}

int manifest_referrers_dir(const char *repo, const char *subject_hex, char *out)
{
    return manifests(repo, out).level("referrers").level("sha256").level(subject_hex).done();
}

int manifest_referrer_path(const char *repo, const char *subject_hex, const char *hex, char *out)
{
    return manifests(repo, out)
        .level("referrers")
        .level("sha256")
        .level(subject_hex)
        .level(hex)
        .done();
}

int upload_path_for_uuid(const char *uuid, char *out)
{
    char name[kUploadNameCap];
    path_builder nb(name, sizeof name);
    if (nb.add(uuid).add(".part").done() != 0) {
        out[0] = '\0';
        return -1;
    }
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
    if (strnlen(digest, 9) < 9) {
        out[0] = '\0';
        return -1;
    }
    const char fan[3] = {digest[7], digest[8], '\0'};
    return path_builder(out)
        .add(s_root)
        .level("blobs")
        .level("sha256")
        .level(fan)
        .level(digest + 7)
        .done();
}

int blob_fan_dir(const char *digest, char *out)
{
    if (strnlen(digest, 9) < 9) {
        out[0] = '\0';
        return -1;
    }
    const char fan[3] = {digest[7], digest[8], '\0'};
    return path_builder(out).add(s_root).add("/blobs/sha256/").add(fan).done();
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
