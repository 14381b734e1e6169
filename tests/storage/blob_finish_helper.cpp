/*
 * blob_finish_helper.cpp - one process of the concurrent-finish test.
 *
 *   blob_finish_helper ROOT UPLOAD_ID DIGEST READY_FILE GO_FILE RESULT_FILE
 *
 * Initialises the store at ROOT, writes READY_FILE, waits (at most 60 s)
 * until GO_FILE exists so that every helper finishes at the same moment,
 * calls reg_blob_finish_upload and writes three lines to RESULT_FILE: the
 * status, the error slot, and out_digest. Exit status 0 when the result
 * file was written, whatever the finish returned.
 */
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform.h"
#include "reg_storage.h"

namespace
{

bool write_all(const char *path, const char *text)
{
    FILE *f = std::fopen(path, "wb");
    if (!f) return false;
    bool ok = std::fputs(text, f) >= 0;
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: blob_finish_helper ROOT ID DIGEST READY GO RESULT\n");
        return 2;
    }
    const char *root = argv[1], *id = argv[2], *digest = argv[3];
    const char *ready = argv[4], *go = argv[5], *result = argv[6];

    if (reg_storage_init(root) != 0) {
        std::fprintf(stderr, "init: %s\n", reg_storage_last_error());
        return 1;
    }
    if (!write_all(ready, "ready\n")) return 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!plat_is_file(go)) {
        if (std::chrono::steady_clock::now() > deadline) return 1;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    char out[DIGEST_TEXT_CAP] = "";
    const int rc = reg_blob_finish_upload(id, digest, out);
    char text[2048];
    std::snprintf(text, sizeof text, "%d\n%s\n%s\n", rc, reg_storage_last_error(), out);
    return write_all(result, text) ? 0 : 1;
}
