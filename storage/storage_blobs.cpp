/*
 * storage_blobs.cpp - resumable blob uploads and the content-addressed blob
 * store.
 *
 * An upload is one file, R/uploads/ID.part, that grows by appending. The
 * finish hashes it once, and a matching upload is renamed into
 * R/blobs/sha256/HH/HEX: no copy, and never over an existing file, so a
 * stored blob is never rewritten. Every operation runs the checks of the
 * status convention in order (pointers, initialisation, identifier forms)
 * before it touches the file system, each failure with its own message.
 *
 * There is no locking: appends, finishes and cancels of one upload may
 * come from different processes, and the file system is the only shared
 * state. Two finishes of the same content are safe in sequence (the second
 * finds the blob and drops its upload); when they overlap, the rename that
 * loses fails with "rename to CAS failed" and leaves its upload open, so
 * the client can repeat the finish, which then takes the stored-blob path.
 */
#include <cstdio>
#include <cstring>
#include <memory>

#include "sha256.h"
#include "storage_internal.h"

namespace storage
{

namespace
{

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

/* The initialisation test of the status convention. */
bool require_ready()
{
    if (s_ready) return true;
    set_error("%s", kNotInitialized);
    return false;
}

/* The length test of exactly 36 comes first, so a shorter text (one cut by
 * an embedded NUL) is never read past its end by uuid_valid. */
bool upload_id_ok(const char *id)
{
    if (strnlen(id, kUploadIdLen + 1) == kUploadIdLen && uuid_valid(id)) return true;
    set_error("invalid upload uuid");
    return false;
}

bool digest_ok(const char *digest)
{
    if (digest_valid(digest)) return true;
    set_error("invalid digest");
    return false;
}

/* "Exists as a file": attributes readable and not a directory. */
bool is_file(const char *path)
{
    return plat_is_file(path) != 0;
}

} // namespace
} // namespace storage

using namespace storage;

/* Draws a new id from s_seed and creates its upload file, empty. On a
 * creation failure the id of the last draw is in out_upload_uuid and the
 * generator has advanced all the same. */
extern "C" int reg_blob_start_upload(char *out_upload_uuid)
{
    if (!out_upload_uuid) {
        set_error("out_upload_uuid is NULL");
        return -1;
    }
    if (!require_ready()) return -1;
    char path[kPathCap];
    if (upload_create(&s_seed, out_upload_uuid, path) != 0) {
        set_error("cannot create upload file: %s", path);
        return -1;
    }
    return 0;
}

/* Appends length bytes where the upload file ends; no offset is tested. */
extern "C" int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t length)
{
    if (!upload_uuid || !data) {
        set_error("upload_uuid/data is NULL");
        return -1;
    }
    if (!require_ready() || !upload_id_ok(upload_uuid)) return -1;
    char path[kPathCap];
    if (upload_path_for_uuid(upload_uuid, path) != 0 || !is_file(path)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    if (length == 0) return 0;
    file_ptr f(std::fopen(path, "ab"));
    bool ok = f && std::fwrite(data, 1, length, f.get()) == length && !std::ferror(f.get());
    /* fclose flushes the stream's buffer: a full disk often shows only here. */
    if (f && std::fclose(f.release()) != 0) ok = false;
    if (!ok) {
        set_error("write error appending chunk");
        return -1;
    }
    return 0;
}

/* Hashes the upload, compares, and renames it into the store. Failures in
 * hashing, creating the fan-out directory or renaming leave the upload
 * open; a mismatch removes it. */
extern "C" int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                                      char *out_digest)
{
    if (!upload_uuid || !expected_digest || !out_digest) {
        set_error("NULL argument");
        return -1;
    }
    if (!require_ready() || !upload_id_ok(upload_uuid)) return -1;
    if (!digest_valid(expected_digest)) {
        set_error("invalid expected digest");
        return -1;
    }
    char upload[kPathCap];
    if (upload_path_for_uuid(upload_uuid, upload) != 0 || !is_file(upload)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }

    uint8_t sum[32];
    if (sha256_file(upload, sum) != 0) {
        set_error("hashing upload failed");
        return -1;
    }
    char actual[kDigestLen + 1];
    std::memcpy(actual, "sha256:", 7);
    bin_to_hex(sum, actual + 7);
    if (std::strcmp(actual, expected_digest) != 0) {
        set_error("digest mismatch: expected %s, got %s", expected_digest, actual);
        if (is_file(upload)) plat_remove(upload);
        return -1;
    }

    /* The root is at most kRootMax bytes, so these paths always fit; a
     * refusal is reported as the step it would have been. */
    char blob[kPathCap];
    char fan[kPathCap];
    if (blob_path_for_digest(expected_digest, blob) != 0 ||
        blob_fan_dir(expected_digest, fan) != 0) {
        set_error("mkdirs blob dir failed");
        return -1;
    }
    if (is_file(blob)) {
        /* Stored already: the stored file stays as it is. */
        if (is_file(upload)) plat_remove(upload);
    } else {
        /* Never over an existing file: a blob that appeared since the test
         * above makes the rename fail, and the upload stays open. */
        const placed p = place_in_dir(fan, [&] { return plat_rename_noreplace(upload, blob); });
        if (p == placed::dir_failed) {
            set_error("mkdirs blob dir failed");
            return -1;
        }
        if (p == placed::place_failed) {
            set_error("rename to CAS failed: %s", blob);
            return -1;
        }
    }
    copy_cut(out_digest, kDigestLen + 1, expected_digest);
    return 0;
}

extern "C" int reg_blob_cancel_upload(const char *upload_uuid)
{
    if (!upload_uuid) {
        set_error("upload_uuid is NULL");
        return -1;
    }
    if (!require_ready() || !upload_id_ok(upload_uuid)) return -1;
    char path[kPathCap];
    if (upload_path_for_uuid(upload_uuid, path) != 0 || !is_file(path)) return 0;
    if (plat_remove(path) != 0) {
        set_error("cancel failed");
        return -1;
    }
    return 0;
}

extern "C" int reg_blob_upload_size(const char *upload_uuid, int64_t *out_bytes)
{
    if (!upload_uuid || !out_bytes) {
        set_error("upload_uuid/out_bytes is NULL");
        return -1;
    }
    if (!require_ready() || !upload_id_ok(upload_uuid)) return -1;
    char path[kPathCap];
    plat_file_info info;
    if (upload_path_for_uuid(upload_uuid, path) != 0 || plat_stat(path, &info) != 0 ||
        info.size < 0) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    *out_bytes = info.size;
    return 0;
}

/* 1 stored, 0 not stored (no message), -1 on a failed test. */
extern "C" int reg_blob_exists(const char *digest)
{
    if (!digest) {
        set_error("digest is NULL");
        return -1;
    }
    if (!require_ready() || !digest_ok(digest)) return -1;
    char path[kPathCap];
    return blob_path_for_digest(digest, path) == 0 && is_file(path) ? 1 : 0;
}

/* The size, or -1; a blob that is not stored leaves the error slot alone. */
extern "C" int64_t reg_blob_get_size(const char *digest)
{
    if (!digest) {
        set_error("digest is NULL");
        return -1;
    }
    if (!require_ready() || !digest_ok(digest)) return -1;
    char path[kPathCap];
    plat_file_info info;
    if (blob_path_for_digest(digest, path) != 0 || plat_stat(path, &info) != 0) return -1;
    return info.size;
}

extern "C" int reg_blob_get_filepath(const char *digest, char *dst, size_t dst_size)
{
    if (!dst || dst_size == 0 || !digest) {
        set_error("NULL argument");
        return -1;
    }
    if (!require_ready() || !digest_ok(digest)) return -1;
    char path[kPathCap];
    if (blob_path_for_digest(digest, path) != 0 || !is_file(path)) {
        set_error("blob not found: %s", digest);
        return -1;
    }
    const size_t len = std::strlen(path);
    if (len >= dst_size) {
        set_error("path buffer too small");
        return -1;
    }
    std::memcpy(dst, path, len + 1);
    return 0;
}

/* Removes the blob and then its fan-out directory when that has become
 * empty. Manifests that reference the blob are not looked at. */
extern "C" int reg_blob_delete(const char *digest)
{
    if (!digest) {
        set_error("digest is NULL");
        return -1;
    }
    if (!require_ready() || !digest_ok(digest)) return -1;
    char path[kPathCap];
    if (blob_path_for_digest(digest, path) != 0 || !is_file(path)) {
        set_error("blob not found: %s", digest);
        return -1;
    }
    /* Another process may have deleted it since the test: nothing to do. */
    if (is_file(path) && plat_remove(path) != 0) {
        set_error("remove failed");
        return -1;
    }
    char fan[kPathCap];
    if (blob_fan_dir(digest, fan) == 0) plat_rmdir(fan); /* only when empty */
    return 0;
}
