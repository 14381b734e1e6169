/*
 * storage_blobs.cpp - resumable blob uploads and the content-addressed blob
 * store.
 *
 * An upload is one file, R/uploads/ID.part, that grows by appending. The
 * appends hash what they write and save the running digest beside it
 * (storage_upload_hash.cpp); the finish takes the digest from there, or
 * hashes the file when no saved state covers it, and a matching upload is
 * renamed into R/blobs/ALG/HH/HEX: no copy, and never over an existing
 * file, so a
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
    if (digest_text_valid(digest)) return true;
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

namespace
{

/* The upload between reg_blob_append_begin and reg_blob_append_end. While
 * hashing, ctx covers exactly the first `size` bytes of the file. */
struct appender {
    int fd = -1;
    char id[kUploadIdLen + 1] = "";
    int64_t size = 0;
    bool hashing = false;
    bool failed = false;
    int failure = PLAT_FAIL_OTHER; /* why the failed write failed */
    sha256_ctx ctx;
};
appender s_append;

/* The checks every append starts with; path gets the upload file. */
bool append_target(const char *upload_uuid, char *path)
{
    if (!require_ready() || !upload_id_ok(upload_uuid)) return false;
    if (upload_path_for_uuid(upload_uuid, path) != 0 || !is_file(path)) {
        set_error("upload not found: %s", upload_uuid);
        return false;
    }
    return true;
}

} // namespace

extern "C" int reg_blob_append_begin(const char *upload_uuid)
{
    if (!upload_uuid) {
        set_error("upload_uuid is NULL");
        return -1;
    }
    if (s_append.fd >= 0) reg_blob_append_end();
    char path[kPathCap];
    if (!append_target(upload_uuid, path)) return -1;
    appender &a = s_append;
    a = appender{};
    a.fd = plat_open_append(path);
    plat_file_info info;
    if (a.fd < 0 || plat_stat(path, &info) != 0) {
        if (a.fd >= 0) plat_close(a.fd);
        a.fd = -1;
        set_error("write error appending chunk");
        return -1;
    }
    copy_cut(a.id, sizeof a.id, upload_uuid);
    a.size = info.size;
    /* Without a state that covers the file as it stands, the finish hashes
     * the whole file: hashing only what follows would be of no use. */
    if (upload_hash_load(upload_uuid, a.size, &a.ctx) == 0) {
        a.hashing = true;
    } else if (a.size == 0) {
        sha256_init(&a.ctx);
        a.hashing = true;
    }
    return 0;
}

extern "C" int reg_blob_append_write(const void *data, size_t length)
{
    appender &a = s_append;
    if (a.fd < 0 || a.failed) {
        if (a.failed) note_failure(a.failure);
        set_error("write error appending chunk");
        return -1;
    }
    if (length > 0 && !data) {
        set_error("upload_uuid/data is NULL");
        return -1;
    }
    const auto *p = static_cast<const unsigned char *>(data);
    size_t left = length;
    while (left > 0) {
        const int64_t n = plat_write(a.fd, p, left);
        if (n <= 0) {
            /* Part of this write may be in the file: no state can say what. */
            a.failed = true;
            a.hashing = false;
            a.failure = plat_last_failure();
            set_error("write error appending chunk");
            return -1;
        }
        if (a.hashing) sha256_update(&a.ctx, p, static_cast<size_t>(n));
        a.size += n;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

extern "C" int reg_blob_append_end(void)
{
    appender &a = s_append;
    if (a.fd < 0) return 0;
    bool ok = plat_close(a.fd) == 0 && !a.failed;
    a.fd = -1;
    /* The state is saved only when the file holds exactly what was hashed:
     * another process appending meanwhile would make it a lie. */
    char path[kPathCap];
    plat_file_info info;
    if (ok && a.hashing && upload_path_for_uuid(a.id, path) == 0 && plat_stat(path, &info) == 0 &&
        info.size == a.size && upload_hash_save(a.id, a.size, &a.ctx) == 0)
        return 0;
    const int why = a.failed ? a.failure : plat_last_failure();
    upload_hash_forget(a.id);
    if (!ok) {
        note_failure(why);
        set_error("write error appending chunk");
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
    char path[kPathCap];
    if (!append_target(upload_uuid, path)) return -1;
    if (length == 0) return 0;
    if (reg_blob_append_begin(upload_uuid) != 0) return -1;
    const int wrote = reg_blob_append_write(data, length);
    return reg_blob_append_end() == 0 && wrote == 0 ? 0 : -1;
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
    digest_algorithm algorithm = DIGEST_NONE;
    if (digest_parse(expected_digest, &algorithm) != DIGEST_FORM_OK) {
        set_error("invalid expected digest");
        return -1;
    }
    char upload[kPathCap];
    if (upload_path_for_uuid(upload_uuid, upload) != 0 || !is_file(upload)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }

    /* The state the appends saved, when it covers the whole file; the file
     * itself otherwise. Both give the same digest. The appends keep a
     * sha256 state only: a sha512 finish is rare enough to read the file
     * once rather than slow every append with a second hash. */
    char actual[DIGEST_TEXT_CAP];
    digest_ctx saved;
    saved.algorithm = DIGEST_SHA256;
    plat_file_info info;
    if (algorithm == DIGEST_SHA256 && plat_stat(upload, &info) == 0 &&
        upload_hash_load(upload_uuid, info.size, &saved.u.sha256) == 0) {
        digest_final_text(&saved, actual);
    } else if (digest_file_text(upload, algorithm, actual) != 0) {
        set_error("hashing upload failed");
        return -1;
    }
    if (std::strcmp(actual, expected_digest) != 0) {
        set_error("digest mismatch: expected %s, got %s", expected_digest, actual);
        if (is_file(upload)) plat_remove(upload);
        upload_hash_forget(upload_uuid);
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
    if (reg_blob_hold(expected_digest) == 1) {
        /* Stored already: the stored file stays, held like a push's blob,
         * so its manifest has the whole window to follow even when the
         * file is old and nothing names it yet. */
        if (is_file(upload)) plat_remove(upload);
    } else {
        /* The rename keeps the upload's last append time, which may be
         * most of a window ago (or, with a short window, past it): the
         * window for the manifest starts now, and from the moment the blob
         * appears, or a sweep could meet it old in between. */
        plat_set_mtime(upload, plat_time());
        /* Never over an existing file: a blob that appeared since the test
         * above makes the rename fail, and the upload stays open. */
        const placed p = place_in_dir(fan, [&] {
            if (plat_rename_noreplace(upload, blob) == 0) return 0;
            /* Finished or cancelled by another process meanwhile. */
            return is_file(upload) ? -1 : -2;
        });
        if (p == placed::gave_up) return -1;
        if (p == placed::dir_failed) {
            set_error("mkdirs blob dir failed");
            return -1;
        }
        if (p == placed::place_failed) {
            set_error("rename to CAS failed: %s", blob);
            return -1;
        }
        usage_note_blob(expected_digest, blob);
    }
    upload_hash_forget(upload_uuid);
    copy_cut(out_digest, DIGEST_TEXT_CAP, expected_digest);
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
    upload_hash_forget(upload_uuid);
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

/* Its time is set to now first: a collection whose mark ran before the
 * caller's manifest is stored then sees a young blob and spares it (its
 * sweep re-reads the time after taking the blob aside). A refused touch (a
 * read-only store) changes nothing else. */
extern "C" int reg_blob_hold(const char *digest)
{
    char path[kPathCap];
    if (s_ready && digest && digest_text_valid(digest) && blob_path_for_digest(digest, path) == 0)
        plat_set_mtime(path, plat_time());
    return reg_blob_exists(digest);
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

extern "C" int reg_blob_locate(const char *digest, char *dst, size_t dst_size, int64_t *out_size)
{
    if (!dst || dst_size == 0 || !digest || !out_size) {
        set_error("NULL argument");
        return -1;
    }
    if (!require_ready() || !digest_ok(digest)) return -1;
    char path[kPathCap];
    plat_file_info info;
    if (blob_path_for_digest(digest, path) != 0 || plat_stat(path, &info) != 0 || info.is_dir) {
        set_error("blob not found: %s", digest);
        return -1;
    }
    const size_t len = std::strlen(path);
    if (len >= dst_size) {
        set_error("path buffer too small");
        return -1;
    }
    std::memcpy(dst, path, len + 1);
    *out_size = info.size;
    return 0;
}

extern "C" int reg_blob_get_filepath(const char *digest, char *dst, size_t dst_size)
{
    int64_t size = 0;
    return reg_blob_locate(digest, dst, dst_size, &size);
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
    usage_forget();
    char fan[kPathCap];
    if (blob_fan_dir(digest, fan) == 0) plat_rmdir(fan); /* only when empty */
    return 0;
}
