/*
 * admin_verify.cpp - verify: every blob read again and hashed; a blob
 * whose content is not what its name says (bits flipped, a write cut
 * short) is listed and, when asked, moved aside. Nothing is deleted.
 * Foreign layers that manifests name but the store does not hold are
 * listed as such: they are pulled from their urls, and are no damage.
 */
#include "admin.h"
#include "admin_progress.h"

#include "oci_common.h"
#include "platform.h"
#include "digest_text.h"
#include "reg_storage.h"
#include "tv_cgi.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr size_t kReadChunk = 1 << 20; /* between two progress updates */
constexpr size_t kPathCap = 4096;

struct blob_entry {
    std::string digest;
    int64_t size;
};

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};

int collect(void *ctx, const char *digest, int64_t size)
{
    static_cast<std::vector<blob_entry> *>(ctx)->push_back({digest, size});
    return 0;
}

enum class hash_result { ok, unreadable, gone, interrupted };

/* Hashes path with algorithm, the blob's own, into out ("ALGORITHM:HEX",
 * DIGEST_TEXT_CAP bytes), adding each chunk to *done and drawing the bar. */
hash_result hash_blob(const char *path, digest_algorithm algorithm, char *out,
                      std::vector<unsigned char> &buf, int64_t *done, admin_bar *bar,
                      admin_progress_view *view, uint64_t start)
{
    std::unique_ptr<FILE, file_closer> f(std::fopen(path, "rb"));
    if (!f) return plat_is_file(path) ? hash_result::unreadable : hash_result::gone;
    digest_ctx ctx;
    digest_init(&ctx, algorithm);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0) {
        digest_update(&ctx, buf.data(), n);
        *done += static_cast<int64_t>(n);
        view->done = *done;
        view->elapsed_ms = view->rate_ms = static_cast<int64_t>(plat_tick_ms() - start);
        admin_bar_draw(bar, view, 0);
        if (admin_interrupted()) return hash_result::interrupted;
    }
    if (std::ferror(f.get())) return hash_result::unreadable;
    digest_final_text(&ctx, out);
    return hash_result::ok;
}

int note_foreign(void *ctx, const char *repo, const char *manifest, const char *layer)
{
    ++*static_cast<int *>(ctx);
    std::printf("foreign %s in %s@%s: not stored, pulled from its urls\n", layer, repo, manifest);
    return 0;
}

} // namespace

int admin_cmd_verify(const admin_opts *opts)
{
    /* Ctrl-C ends with the summary of what was checked. */
    admin_catch_interrupt();
    std::vector<blob_entry> blobs;
    if (reg_blob_foreach(collect, &blobs) != 0) {
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    int64_t total = 0;
    for (const blob_entry &b : blobs)
        total += b.size;

    std::vector<unsigned char> buf(kReadChunk);
    admin_bar bar;
    admin_bar_init(&bar, stderr);
    admin_progress_view view{};
    view.phase = "verifying";
    view.total = total;
    view.in_bytes = 1;
    const uint64_t start = plat_tick_ms();
    int64_t done = 0;
    int checked = 0, damaged = 0, moved = 0;
    bool interrupted = false;
    char path[kPathCap], actual[DIGEST_TEXT_CAP], aside[kPathCap];

    for (const blob_entry &b : blobs) {
        if (admin_interrupted()) {
            interrupted = true;
            break;
        }
        if (reg_blob_get_filepath(b.digest.c_str(), path, sizeof path) != 0) continue; /* gone */
        const hash_result h = hash_blob(path, digest_algorithm_of(b.digest.c_str()), actual, buf,
                                        &done, &bar, &view, start);
        if (h == hash_result::interrupted) {
            interrupted = true;
            break;
        }
        if (h == hash_result::gone) continue; /* collected meanwhile */
        ++checked;
        if (h == hash_result::ok && b.digest == actual) continue;
        ++damaged;
        admin_bar_clear(&bar);
        char size_text[OCI_FMT_BYTES_CAP];
        oci_fmt_bytes(b.size, size_text);
        if (h == hash_result::unreadable)
            std::printf("unreadable %s (%s): %s\n", b.digest.c_str(), size_text, path);
        else
            std::printf("mismatch %s (%s) hashes to %s: %s\n", b.digest.c_str(), size_text, actual,
                        path);
        if (!opts->quarantine) continue;
        if (reg_blob_quarantine(b.digest.c_str(), aside, sizeof aside) == 0) {
            ++moved;
            std::printf("  moved to %s\n", aside);
        } else {
            admin_error(opts, path, "%s", reg_storage_last_error());
        }
        std::fflush(stdout);
    }
    admin_bar_clear(&bar);
    int foreign = 0;
    if (!interrupted && reg_foreign_layers_foreach(note_foreign, &foreign) != 0)
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());

    char bytes[OCI_FMT_BYTES_CAP], took[ADMIN_DURATION_CAP];
    oci_fmt_bytes(done, bytes);
    admin_fmt_duration(static_cast<int64_t>(plat_tick_ms() - start), took);
    std::printf("verify%s: checked %d of %zu blobs (%s), %d damaged",
                interrupted ? " interrupted" : "", checked, blobs.size(), bytes, damaged);
    if (opts->quarantine && damaged > 0) std::printf(", %d moved to quarantine", moved);
    if (foreign > 0)
        std::printf(", %d foreign layer%s not stored", foreign, foreign == 1 ? "" : "s");
    std::printf("; %s\n", took);
    if (damaged > 0) return ADMIN_PROBLEM;
    return interrupted ? ADMIN_FAILED : ADMIN_OK;
}
