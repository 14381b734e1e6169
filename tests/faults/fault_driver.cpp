/*
 * fault_driver.cpp - a registry process for the fault tests to kill.
 *
 *   fault_driver upload ROOT STATE   start an upload, append three chunks of
 *                                    1000 bytes, write the id to STATE, then
 *                                    die by SIGKILL before finishing
 *   fault_driver loop ROOT STATE     push without end (uploads in chunks,
 *                                    finishes, puts moving tag "t"); writes
 *                                    "ready" to STATE after the first round;
 *                                    the test kills it at an arbitrary point
 *   fault_driver gc ROOT STATE       run a collection and die by SIGKILL at
 *                                    its first periodic step of the sweep
 */
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "blob_fixture.h"
#include "reg_storage.h"
#include "storage_gc.h"

namespace
{

bool write_all(const char *path, const std::string &text)
{
    FILE *f = std::fopen(path, "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::string store(const std::string &data)
{
    char id[37], out[DIGEST_TEXT_CAP];
    if (reg_blob_start_upload(id) != 0) return "";
    const size_t half = data.size() / 2;
    reg_blob_append_chunk(id, data.data(), half);
    reg_blob_append_chunk(id, data.data() + half, data.size() - half);
    const std::string digest = blobtest::digest_of(data);
    return reg_blob_finish_upload(id, digest.c_str(), out) == 0 ? digest : "";
}

int loop(const char *state)
{
    for (unsigned round = 0;; ++round) {
        const std::string config = store("config " + std::to_string(round % 7));
        const std::string layer = store(blobtest::pseudo_random(20000 + round % 5, round));
        const std::string body = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config +
                                 "\",\"size\":1},\"layers\":[{\"digest\":\"" + layer +
                                 "\",\"size\":1}]}";
        char digest[DIGEST_TEXT_CAP];
        reg_manifest_put("loop", "t", body.data(), body.size(), nullptr, digest);
        reg_manifest_put("loop", ("r" + std::to_string(round % 3)).c_str(), body.data(),
                         body.size(), nullptr, digest);
        if (round % 4 == 3) reg_manifest_delete("loop", ("r" + std::to_string(round % 3)).c_str());
        if (round == 0 && !write_all(state, "ready\n")) return 1;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: fault_driver upload|loop|gc ROOT STATE\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (reg_storage_init(argv[2]) != 0) {
        std::fprintf(stderr, "init: %s\n", reg_storage_last_error());
        return 1;
    }
    if (mode == "upload") {
        char id[37];
        if (reg_blob_start_upload(id) != 0) return 1;
        const std::string data = blobtest::pseudo_random(3000, 8);
        for (int i = 0; i < 3; ++i)
            if (reg_blob_append_chunk(id, data.data() + 1000 * i, 1000) != 0) return 1;
        if (!write_all(argv[3], id)) return 1;
        std::raise(SIGKILL);
    } else if (mode == "loop") {
        return loop(argv[3]);
    } else if (mode == "gc") {
        storage::gc_step_observer = [](const storage::gc_progress &p) {
            if (std::strcmp(p.phase, "deleting") == 0) std::raise(SIGKILL);
        };
        reg_gc_json(0);
        write_all(argv[3], "not killed\n");
    }
    return 1;
}
