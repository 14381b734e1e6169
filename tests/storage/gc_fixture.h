/*
 * gc_fixture.h - helpers for the garbage-collection tests: images pushed
 * through the engine (blobs by upload, manifests by reg_manifest_put),
 * file times set explicitly, and the run's report read back as numbers.
 */
#ifndef REGISTRY_GC_FIXTURE_H
#define REGISTRY_GC_FIXTURE_H

#include <gtest/gtest.h>

#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "blob_fixture.h"
#include "storage_gc.h"

namespace gctest
{

namespace fs = std::filesystem;

/* The members of a report or progress document: integers as they are,
 * true/false as 1/0, strings under their own map. */
struct doc_values {
    bool parsed = false;
    std::map<std::string, int64_t> num;
    std::map<std::string, std::string> str;

    int64_t operator[](const std::string &key) const
    {
        auto it = num.find(key);
        return it == num.end() ? -999 : it->second;
    }
};

inline doc_values parse_doc(const char *text)
{
    doc_values v;
    if (!text) return v;
    yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc) : nullptr;
    if (yyjson_is_obj(root)) {
        v.parsed = true;
        size_t i, n;
        yyjson_val *key, *val;
        yyjson_obj_foreach(root, i, n, key, val)
        {
            const char *k = yyjson_get_str(key);
            if (yyjson_is_bool(val))
                v.num[k] = yyjson_get_bool(val) ? 1 : 0;
            else if (yyjson_is_int(val))
                v.num[k] = yyjson_get_sint(val);
            else if (yyjson_is_str(val))
                v.str[k] = yyjson_get_str(val);
        }
    }
    yyjson_doc_free(doc);
    return v;
}

/* An age past the collection's default spare window: old enough to go. */
constexpr int64_t kOld = REG_GC_SPARE_SECONDS_DEFAULT + 3600;

/* Sets path's last-write time to secs seconds before now (negative: after). */
inline void age(const fs::path &path, int64_t secs)
{
    ASSERT_EQ(plat_set_mtime(path.string().c_str(), plat_time() - secs), 0) << path;
}

/* Runs fn until the wall-clock second did not change while it ran, so that
 * tests on the exact boundary of a window are not disturbed by a tick. */
template <class Fn> void within_one_second(Fn fn)
{
    for (int tries = 0; tries < 5; ++tries) {
        const int64_t before = plat_time();
        fn();
        if (plat_time() == before) return;
    }
    FAIL() << "the clock kept ticking during a one-second test";
}

/* What an image push left in the store. */
struct image {
    std::string manifest; /* digest of the manifest body */
    std::vector<std::string> blobs; /* config first, then the layers */
};

/* A store with images pushed through the engine. Blobs come out of an
 * upload with a current time; old_blobs() makes them old enough to be
 * collected. */
class GcStore : public blobtest::BlobStore
{
  protected:
    void TearDown() override
    {
        storage::gc_step_observer = nullptr;
        reg_gc_set_spare_seconds(REG_GC_SPARE_SECONDS_DEFAULT);
        blobtest::BlobStore::TearDown();
    }

    static std::string manifest_json(const std::vector<std::string> &blobs)
    {
        std::string body = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + blobs[0] +
                           "\",\"size\":1},\"layers\":[";
        for (size_t i = 1; i < blobs.size(); ++i) {
            if (i > 1) body += ",";
            body += "{\"digest\":\"" + blobs[i] + "\",\"size\":1}";
        }
        return body + "]}";
    }

    /* Stores a config and `layers` layers with contents unique to name,
     * then a manifest naming them under reference (a tag, or "" for a push
     * by digest, which leaves the manifest untagged). */
    image push(const std::string &repo, const std::string &reference, int layers,
               const std::string &name)
    {
        image img;
        img.blobs.push_back(store("config of " + name));
        for (int i = 0; i < layers; ++i)
            img.blobs.push_back(store("layer " + std::to_string(i) + " of " + name));
        img.manifest = put(repo, reference, manifest_json(img.blobs));
        return img;
    }

    /* Puts body under reference ("" : by its own digest); its digest. */
    std::string put(const std::string &repo, const std::string &reference,
                    const std::string &body)
    {
        const std::string ref = reference.empty() ? blobtest::digest_of(body) : reference;
        char digest[DIGEST_TEXT_CAP] = "";
        EXPECT_EQ(reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr,
                                   digest),
                  0)
            << reg_storage_last_error();
        return digest;
    }

    /* The body file of a stored manifest, for corrupting it on disk. */
    fs::path body_file(const std::string &repo, const std::string &digest) const
    {
        return repos() / repo / "_manifests" / digest.substr(7);
    }

    /* Every blob file in the store, aged past the spare window. */
    void old_blobs(int64_t secs = kOld) const
    {
        for (auto &e : fs::recursive_directory_iterator(fs::path(root) / "blobs"))
            if (e.is_regular_file()) age(e.path(), secs);
    }

    static bool has(const std::string &digest) { return reg_blob_exists(digest.c_str()) == 1; }

    /* Blob files left in the store. */
    size_t blob_files() const
    {
        size_t n = 0;
        for (auto &e : fs::recursive_directory_iterator(fs::path(root) / "blobs"))
            if (e.is_regular_file()) ++n;
        return n;
    }

    static doc_values gc(int dry_run)
    {
        const char *doc = reg_gc_json(dry_run);
        EXPECT_NE(doc, nullptr) << reg_storage_last_error();
        return parse_doc(doc);
    }

    fs::path gc_dir() const { return fs::path(root) / "_gc"; }
};

} // namespace gctest

#endif
