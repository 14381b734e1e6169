/*
 * manifest_fixture.h - helpers for the manifest, tag-list and retention
 * tests: image manifests built from blobs uploaded through the engine,
 * pushes whose digests are computed from the bodies, and the on-disk
 * places a push writes.
 */
#ifndef REGISTRY_MANIFEST_FIXTURE_H
#define REGISTRY_MANIFEST_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blob_fixture.h"

namespace manifesttest
{

namespace fs = std::filesystem;
using blobtest::digest_of;

/* An image manifest naming a config and layers by digest. */
inline std::string image_json(const std::string &config, const std::vector<std::string> &layers,
                              const std::string &media_type = "")
{
    std::string body = "{\"schemaVersion\":2,";
    if (!media_type.empty()) body += "\"mediaType\":\"" + media_type + "\",";
    body += "\"config\":{\"digest\":\"" + config + "\",\"size\":1},\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i)
        body += (i ? "," : "") + std::string("{\"digest\":\"") + layers[i] + "\",\"size\":1}";
    return body + "]}";
}

/* An index naming manifests by digest. */
inline std::string index_json(const std::vector<std::string> &manifests)
{
    std::string body = "{\"schemaVersion\":2,\"manifests\":[";
    for (size_t i = 0; i < manifests.size(); ++i)
        body += (i ? "," : "") + std::string("{\"digest\":\"") + manifests[i] + "\"}";
    return body + "]}";
}

/* A store with uploaded blobs and helpers to push and inspect manifests. */
class ManifestStore : public blobtest::BlobStore
{
  protected:
    /* A config and one layer, uploaded; their digests. */
    std::vector<std::string> blobs_for(const std::string &name)
    {
        return {store("config of " + name), store("layer of " + name)};
    }
    /* An image body over freshly uploaded blobs, unique to name. */
    std::string image_for(const std::string &name)
    {
        auto b = blobs_for(name);
        return image_json(b[0], {b[1]});
    }

    /* Pushes body; returns the digest put reported ("" on failure). */
    static std::string put(const std::string &repo, const std::string &ref, const std::string &body,
                           const char *type = nullptr)
    {
        char digest[DIGEST_TEXT_CAP] = "";
        if (reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), type, digest) !=
            0)
            return "";
        return digest;
    }
    /* Pushes an image unique to name under ref; its manifest digest. */
    std::string push_image(const std::string &repo, const std::string &ref, const std::string &name)
    {
        const std::string body = image_for(name);
        const std::string digest = put(repo, ref, body);
        EXPECT_EQ(digest, digest_of(body)) << error();
        return digest;
    }

    /* Where a manifest is stored: path, size, type and digest, or not ok. */
    struct located {
        bool ok;
        std::string path, type, digest;
        int64_t size;
    };
    static located locate(const std::string &repo, const std::string &ref)
    {
        char type[127] = "", digest[DIGEST_TEXT_CAP] = "", path[4096] = "";
        int64_t size = -1;
        if (reg_manifest_locate(repo.c_str(), ref.c_str(), type, digest, path, sizeof path,
                                &size) != 0)
            return {false, "", "", "", -1};
        return {true, path, type, digest, size};
    }

    fs::path manifests(const std::string &repo) const { return repos() / repo / "_manifests"; }
    /* sha256 bodies lie in _manifests itself, others in _manifests/ALG. */
    fs::path body_dir(const std::string &repo, const std::string &digest) const
    {
        const std::string algorithm = blobtest::algorithm_of(digest);
        return algorithm == "sha256" ? manifests(repo) : manifests(repo) / algorithm;
    }
    fs::path body_file(const std::string &repo, const std::string &digest) const
    {
        return body_dir(repo, digest) / blobtest::hex_of(digest);
    }
    fs::path type_file(const std::string &repo, const std::string &digest) const
    {
        return body_dir(repo, digest) / (blobtest::hex_of(digest) + ".ct");
    }
    fs::path rev_dir(const std::string &repo, const std::string &digest) const
    {
        return manifests(repo) / "revisions" / blobtest::algorithm_of(digest) /
               blobtest::hex_of(digest);
    }
    fs::path tag_link(const std::string &repo, const std::string &tag) const
    {
        return manifests(repo) / "tags" / tag / "current" / "link";
    }

    /* Reads a manifest back: body, content type and digest, or the error. */
    struct got {
        bool ok;
        std::string body, type, digest;
    };
    static got get(const std::string &repo, const std::string &ref)
    {
        char type[127] = "", digest[DIGEST_TEXT_CAP] = "";
        const char *body = reg_manifest_get(repo.c_str(), ref.c_str(), type, digest);
        if (!body) return {false, "", "", ""};
        return {true, body, type, digest};
    }
};

} // namespace manifesttest

#endif
