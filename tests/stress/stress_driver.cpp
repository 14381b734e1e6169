/*
 * stress_driver.cpp - one process of the storage stress tests; the test
 * starts several at once on one shared store.
 *
 *   stress_driver blobs ROOT SEED ROUNDS GO_FILE
 *       Each round opens several uploads of overlapping content (six
 *       contents per round, the same in every process), appends to them
 *       interleaved, checks each is intact,
 *       then finishes them all. A finish may lose the race for the stored
 *       name only with "rename to CAS failed: ...", leaving its upload
 *       whole; the retry must then succeed.
 *   stress_driver push ROOT SEED SECONDS GO_FILE
 *       Pushes image manifests (config and layers uploaded first, layers
 *       from pools) and deletes older tags, for SECONDS. The times of blobs
 *       that only a deleted tag named are set back past the collector's
 *       grace period, so that a running collection really takes them, and
 *       later pushes name such old blobs again.
 *   stress_driver gc ROOT SECONDS GO_FILE
 *       Runs reg_gc_json(0) over and over for SECONDS.
 *
 * Every process waits for GO_FILE (at most 60 s) so they all start
 * together. On success the last line on stdout is "ok" and counters; any
 * broken promise is printed to stderr and the exit status is 1.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "reg_storage.h"
#include "sha256.h"

namespace
{

using clock_type = std::chrono::steady_clock;

constexpr int kPool = 6;                 /* distinct contents shared by all processes */
constexpr int kOpenPerRound = 4;         /* uploads a blobs round holds open at once */
constexpr int kOwnLayers = 4;            /* layers of one pusher's own pool */
constexpr int64_t kSetBack = REG_GC_SPARE_SECONDS_DEFAULT + 3600; /* past the spare window */
constexpr char kRaceMessage[] = "rename to CAS failed: ";

int g_failures = 0;

void fail(const char *what, const std::string &detail)
{
    ++g_failures;
    std::fprintf(stderr, "FAIL %s: %s (last error: %s)\n", what, detail.c_str(),
                 reg_storage_last_error());
}

std::string digest_of(const std::string &data)
{
    uint8_t sum[32];
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    sha256_final(&ctx, sum);
    static const char hx[] = "0123456789abcdef";
    std::string out = "sha256:";
    for (uint8_t b : sum) {
        out += hx[b >> 4];
        out += hx[b & 15];
    }
    return out;
}

/* Pool content k: a few KiB, different per k, the same in every process. */
std::string pool_content(const char *kind, int k)
{
    std::string s;
    char piece[64];
    const int lines = 200 + 37 * k;
    for (int i = 0; i < lines; ++i) {
        std::snprintf(piece, sizeof piece, "%s %d line %d\n", kind, k, i);
        s += piece;
    }
    return s;
}

bool wait_go(const char *go)
{
    const auto deadline = clock_type::now() + std::chrono::seconds(60);
    while (!plat_is_file(go)) {
        if (clock_type::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool starts_with(const char *s, const char *prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

/* Finishes an upload of data, retrying once after a lost race. true when
 * the blob is stored; races counts the lost races. */
bool finish(const char *id, const std::string &data, const std::string &digest, int *races)
{
    char out[DIGEST_TEXT_CAP] = "";
    if (reg_blob_finish_upload(id, digest.c_str(), out) == 0) return true;
    if (!starts_with(reg_storage_last_error(), kRaceMessage)) {
        fail("finish", std::string("unexpected error for ") + id);
        return false;
    }
    ++*races;
    /* The lost race leaves the upload open and whole. */
    int64_t size = -1;
    if (reg_blob_upload_size(id, &size) != 0 || size != static_cast<int64_t>(data.size())) {
        fail("finish", std::string("upload not intact after a lost race: ") + id);
        return false;
    }
    if (reg_blob_finish_upload(id, digest.c_str(), out) != 0) {
        fail("finish", std::string("retry after a lost race failed: ") + id);
        return false;
    }
    return true;
}

/* Uploads data in three appends and finishes it. */
bool upload(const std::string &data, std::string *digest, int *races)
{
    *digest = digest_of(data);
    char id[40];
    if (reg_blob_start_upload(id) != 0) {
        fail("start", "upload");
        return false;
    }
    const size_t third = data.size() / 3;
    if (reg_blob_append_chunk(id, data.data(), third) != 0 ||
        reg_blob_append_chunk(id, data.data() + third, third) != 0 ||
        reg_blob_append_chunk(id, data.data() + 2 * third, data.size() - 2 * third) != 0) {
        fail("append", id);
        return false;
    }
    return finish(id, data, *digest, races);
}

void set_back(const std::string &digest)
{
    char path[1024];
    if (reg_blob_get_filepath(digest.c_str(), path, sizeof path) == 0)
        plat_set_mtime(path, plat_time() - kSetBack);
}

int run_blobs(unsigned seed, int rounds)
{
    int finished = 0, races = 0;
    for (int r = 0; r < rounds; ++r) {
        struct open_upload {
            char id[40];
            std::string data;
            size_t sent = 0;
        };
        std::vector<open_upload> ups(kOpenPerRound);
        for (int i = 0; i < kOpenPerRound; ++i) {
            /* Every process uploads the same six contents in round r, so
             * finishes of one content meet across processes. */
            const std::string kind = "blob round " + std::to_string(r);
            ups[i].data = pool_content(kind.c_str(), static_cast<int>((seed + r + i) % kPool));
            if (reg_blob_start_upload(ups[i].id) != 0) {
                fail("start", "round " + std::to_string(r));
                return 1;
            }
        }
        /* Interleaved appends of uneven pieces. */
        for (bool more = true; more;) {
            more = false;
            for (auto &u : ups) {
                const size_t n = std::min<size_t>(u.data.size() - u.sent, 700 + (seed % 5) * 100);
                if (n == 0) continue;
                if (reg_blob_append_chunk(u.id, u.data.data() + u.sent, n) != 0) {
                    fail("append", u.id);
                    return 1;
                }
                u.sent += n;
                more = true;
            }
        }
        /* No other process has touched our uploads. */
        for (auto &u : ups) {
            int64_t size = -1;
            if (reg_blob_upload_size(u.id, &size) != 0 ||
                size != static_cast<int64_t>(u.data.size()))
                fail("intact", std::string("upload changed by someone else: ") + u.id);
        }
        for (auto &u : ups) {
            if (!finish(u.id, u.data, digest_of(u.data), &races)) continue;
            ++finished;
            int64_t size = -1;
            if (reg_blob_upload_size(u.id, &size) == 0)
                fail("finish", std::string("upload still open after its finish: ") + u.id);
            if (reg_blob_exists(digest_of(u.data).c_str()) != 1)
                fail("finish", "blob missing after its finish");
        }
    }
    std::printf("ok finished=%d races=%d dir_retries=%ld\n", finished, races,
                reg_storage_dir_retries());
    return g_failures ? 1 : 0;
}

int run_push(unsigned seed, int seconds)
{
    const auto end = clock_type::now() + std::chrono::seconds(seconds);
    char repo[64];
    std::snprintf(repo, sizeof repo, "stress/p%u", seed);
    const std::string own = "layer of pusher " + std::to_string(seed);
    int pushed = 0, refused = 0, deleted = 0, races = 0;
    std::vector<std::string> configs;
    for (int round = 0; clock_type::now() < end; ++round) {
        std::string cfg_digest, shared, mine;
        char cfg[128];
        std::snprintf(cfg, sizeof cfg, "{\"pusher\":%u,\"round\":%d}", seed, round);
        /* One layer from the pool all pushers share, one from this
         * pusher's own pool of kOwnLayers: both mostly stored already, as
         * reused layers are, and the own one often old garbage by now. */
        if (!upload(cfg, &cfg_digest, &races) ||
            !upload(pool_content("layer", static_cast<int>((seed + round) % kPool)), &shared,
                    &races) ||
            !upload(pool_content(own.c_str(), round % kOwnLayers), &mine, &races))
            break;
        configs.push_back(cfg_digest);
        char body[1024];
        std::snprintf(body, sizeof body,
                      "{\"schemaVersion\":2,"
                      "\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                      "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\","
                      "\"digest\":\"%s\",\"size\":%zu},\"layers\":["
                      "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\","
                      "\"digest\":\"%s\",\"size\":1},"
                      "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\","
                      "\"digest\":\"%s\",\"size\":1}]}",
                      cfg_digest.c_str(), std::strlen(cfg), shared.c_str(), mine.c_str());
        char tag[32];
        std::snprintf(tag, sizeof tag, "t%d", round);
        char out[DIGEST_TEXT_CAP];
        if (reg_manifest_put(repo, tag, body, std::strlen(body),
                             "application/vnd.oci.image.manifest.v1+json", out) == 0) {
            ++pushed;
        } else if (starts_with(reg_storage_last_error(), "BLOB_UNKNOWN: ")) {
            /* A collection took an unreferenced, old blob between its
             * upload and the push: the push refuses, nothing is broken. */
            ++refused;
        } else {
            fail("put", tag);
        }
        /* The last kOwnLayers - 1 tags stay; the oldest goes, and what only
         * it named is garbage: aged past the grace period, as if its push
         * were long ago, so that a running collection really takes it (and
         * the next round names that own layer again). */
        const int gone = round - (kOwnLayers - 1);
        if (gone >= 0) {
            std::snprintf(tag, sizeof tag, "t%d", gone);
            if (reg_manifest_delete(repo, tag) == 0) ++deleted;
            set_back(configs[static_cast<size_t>(gone)]);
            set_back(digest_of(pool_content(own.c_str(), gone % kOwnLayers)));
        }
    }
    std::printf("ok pushed=%d refused=%d deleted=%d races=%d dir_retries=%ld\n", pushed, refused,
                deleted, races, reg_storage_dir_retries());
    return g_failures ? 1 : 0;
}

int run_gc(int seconds)
{
    const auto end = clock_type::now() + std::chrono::seconds(seconds);
    int runs = 0;
    long long deleted = 0;
    while (clock_type::now() < end) {
        /* Uploads are always in progress here: no run may refuse. */
        const char *doc = reg_gc_json(0);
        if (!doc) {
            fail("gc", "run failed");
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        ++runs;
        const char *d = std::strstr(doc, "\"blobs_deleted\":");
        if (d) deleted += std::atoll(d + 16);
    }
    std::printf("ok runs=%d deleted=%lld dir_retries=%ld\n", runs, deleted,
                reg_storage_dir_retries());
    return g_failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6 && !(argc == 5 && std::strcmp(argv[1], "gc") == 0)) {
        std::fprintf(stderr, "usage: stress_driver blobs|push ROOT SEED N GO | gc ROOT SECONDS GO\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (reg_storage_init(argv[2]) != 0) {
        std::fprintf(stderr, "init: %s\n", reg_storage_last_error());
        return 1;
    }
    if (!wait_go(argv[argc - 1])) {
        std::fprintf(stderr, "no go signal\n");
        return 1;
    }
    int rc;
    if (mode == "gc")
        rc = run_gc(std::atoi(argv[3]));
    else if (mode == "blobs")
        rc = run_blobs(static_cast<unsigned>(std::atoi(argv[3])), std::atoi(argv[4]));
    else if (mode == "push")
        rc = run_push(static_cast<unsigned>(std::atoi(argv[3])), std::atoi(argv[4]));
    else
        rc = 2;
    reg_storage_cleanup();
    return rc;
}
