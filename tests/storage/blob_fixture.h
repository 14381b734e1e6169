/*
 * blob_fixture.h - helpers for the blob tests: digests of test contents,
 * the on-disk paths of uploads and blobs as the layout names them, and
 * uploads started and filled through the engine.
 */
#ifndef REGISTRY_BLOB_FIXTURE_H
#define REGISTRY_BLOB_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sha256.h"
#include "sha512.h"
#include "store_fixture.h"

namespace blobtest
{

namespace fs = std::filesystem;

/* "sha256:" and the 64 lower-case hex digits of data's SHA-256. */
inline std::string digest_of(const std::string &data)
{
    sha256_ctx ctx;
    uint8_t sum[32];
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    sha256_final(&ctx, sum);
    char hex[65];
    storage::bin_to_hex(sum, hex);
    return std::string("sha256:") + hex;
}

/* "sha512:" and the 128 lower-case hex digits of data's SHA-512. */
inline std::string digest512_of(const std::string &data)
{
    sha512_ctx ctx;
    uint8_t sum[SHA512_DIGEST_BYTES];
    sha512_init(&ctx);
    sha512_update(&ctx, data.data(), data.size());
    sha512_final(&ctx, sum);
    std::string text = "sha512:";
    for (uint8_t b : sum) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

/* The algorithm part and the hex part of a digest text. */
inline std::string algorithm_of(const std::string &digest)
{
    return digest.substr(0, digest.find(':'));
}
inline std::string hex_of(const std::string &digest)
{
    return digest.substr(digest.find(':') + 1);
}

/* Deterministic bytes of every value, different per seed. */
inline std::string pseudo_random(size_t n, uint64_t seed)
{
    std::string s(n, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        s[i] = static_cast<char>(x >> 56);
    }
    return s;
}

/* A store with helpers for uploads and blobs. */
class BlobStore : public storetest::EmptyStore
{
  protected:
    std::string upload_path(const std::string &id) const
    {
        return storetest::join(storetest::join(root, "uploads"), id + ".part");
    }
    std::string fan_dir(const std::string &digest) const
    {
        return root + "/blobs/" + algorithm_of(digest) + "/" + hex_of(digest).substr(0, 2);
    }
    std::string blob_path(const std::string &digest) const
    {
        using storetest::join;
        return join(
            join(join(join(root, "blobs"), algorithm_of(digest)), hex_of(digest).substr(0, 2)),
            hex_of(digest));
    }

    /* Starts an upload and appends data in one chunk; the id. */
    std::string upload(const std::string &data)
    {
        char id[37];
        EXPECT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0)
            << reg_storage_last_error();
        return id;
    }

    /* Uploads and finishes data under its digest of algorithm; the digest. */
    std::string store(const std::string &data, digest_algorithm algorithm = DIGEST_SHA256)
    {
        const std::string digest =
            algorithm == DIGEST_SHA512 ? digest512_of(data) : digest_of(data);
        const std::string id = upload(data);
        char out[DIGEST_TEXT_CAP];
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0)
            << reg_storage_last_error();
        return digest;
    }

    static int64_t upload_bytes(const std::string &id)
    {
        int64_t n = -1;
        EXPECT_EQ(reg_blob_upload_size(id.c_str(), &n), 0) << reg_storage_last_error();
        return n;
    }

    static std::string error() { return reg_storage_last_error(); }
};

} // namespace blobtest

#endif
