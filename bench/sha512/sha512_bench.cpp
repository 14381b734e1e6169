/*
 * sha512_bench.cpp - throughput of our SHA-512 next to libcrypto's on 64 B,
 * 4 KiB and 1 MiB messages, with the ratio ours / libcrypto, and our
 * SHA-256 beside it at 1 MiB (what a digest costs per byte when choosing
 * which one to store by).
 *
 * Ours is measured twice: with the backend the automatic choice picks
 * (AVX2+BMI2 where the processor has it) and with the portable one (what
 * processors without it get). libcrypto runs with what it picks for
 * itself, or with what OPENSSL_ia32cap leaves it (run.sh's second run
 * limits it to its scalar code, the fair partner for our portable rounds).
 * Throughput is the best of the repetitions, the least disturbed by other
 * work on the machine.
 */
#include "sha256.h"
#include "sha256_internal.h"
#include "sha512.h"
#include "sha512_internal.h"

#include "best_throughput.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifdef SHA512_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace
{

struct Size {
    const char *name;
    size_t bytes;
};
constexpr Size kSizes[] = {{"64B", 64}, {"4KiB", 4096}, {"1MiB", size_t{1} << 20}};
constexpr Size kCompareSize = kSizes[2]; /* SHA-512 vs SHA-256 */
constexpr int kRepetitions = 5;

std::vector<uint8_t> pseudo_random(size_t n)
{
    std::vector<uint8_t> v(n);
    uint64_t x = 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        v[i] = static_cast<uint8_t>(x >> 56);
    }
    return v;
}

/* Init, update and final on one message per iteration: the per-message
 * cost counts at 64 B, as it does for a manifest. */
template <class Ctx, size_t Out>
void run_ours(benchmark::State &state, size_t bytes, void (*init)(Ctx *),
              void (*update)(Ctx *, const void *, size_t), void (*final)(Ctx *, uint8_t *))
{
    const std::vector<uint8_t> msg = pseudo_random(bytes);
    uint8_t out[Out];
    for (auto _ : state) {
        Ctx ctx;
        init(&ctx);
        update(&ctx, msg.data(), msg.size());
        final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void bm_sha512(benchmark::State &state, size_t bytes, int backend)
{
    sha512_backend_force(backend);
    run_ours<sha512_ctx, SHA512_DIGEST_BYTES>(state, bytes, sha512_init, sha512_update,
                                              sha512_final);
}

void bm_sha256(benchmark::State &state, size_t bytes, int backend)
{
    sha256_backend_force(backend);
    run_ours<sha256_ctx, 32>(state, bytes, sha256_init, sha256_update, sha256_final);
}

#ifdef SHA512_BENCH_OPENSSL
/* Fetched once, as a long-running caller would, so each message pays only
 * for init, update and final. */
void bm_libcrypto(benchmark::State &state, size_t bytes)
{
    static EVP_MD *md = EVP_MD_fetch(nullptr, "SHA512", nullptr);
    const std::vector<uint8_t> msg = pseudo_random(bytes);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, msg.data(), msg.size());
        EVP_DigestFinal_ex(ctx, out, &n);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
#endif

const char *sha512_backend_name(int b)
{
    return b == SHA512_BACKEND_AVX2 ? "AVX2+BMI2" : "portable";
}

const char *sha256_backend_name(int b)
{
    return b == SHA256_BACKEND_SHANI  ? "SHA-extensions"
           : b == SHA256_BACKEND_AVX2 ? "AVX2+BMI2"
                                      : "portable";
}

void add(const std::string &name, std::function<void(benchmark::State &)> fn)
{
    benchmark::RegisterBenchmark(name.c_str(), std::move(fn))->Repetitions(kRepetitions);
}

double mib(double bytes_per_second)
{
    return bytes_per_second / 1048576.0;
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    /* The automatic choice as the environment leaves it (REGISTRY_SHA512_PORTABLE
     * makes both of our SHA-512 rows portable). */
    const int auto512 = sha512_backend();
    const int auto256 = sha256_backend();
    const char *cap = std::getenv("OPENSSL_ia32cap");
    std::printf("our SHA-512 backend: %s; our SHA-256 backend: %s\nOPENSSL_ia32cap: %s\n",
                sha512_backend_name(auto512), sha256_backend_name(auto256),
                cap ? cap : "(unset: libcrypto default)");

    for (const Size &s : kSizes) {
        const size_t n = s.bytes;
        add(std::string("sha512_auto/") + s.name,
            [n, auto512](benchmark::State &st) { bm_sha512(st, n, auto512); });
        add(std::string("sha512_portable/") + s.name,
            [n](benchmark::State &st) { bm_sha512(st, n, SHA512_BACKEND_PORTABLE); });
#ifdef SHA512_BENCH_OPENSSL
        add(std::string("sha512_libcrypto/") + s.name,
            [n](benchmark::State &st) { bm_libcrypto(st, n); });
#endif
    }
    const size_t cn = kCompareSize.bytes;
    add(std::string("sha256_auto/") + kCompareSize.name,
        [cn, auto256](benchmark::State &st) { bm_sha256(st, cn, auto256); });
    if (auto256 != SHA256_BACKEND_AVX2 && sha256_avx2_available())
        add(std::string("sha256_avx2/") + kCompareSize.name,
            [cn](benchmark::State &st) { bm_sha256(st, cn, SHA256_BACKEND_AVX2); });

    bench_support::BestReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n");
    for (const Size &s : kSizes) {
        const double theirs = reporter.best[std::string("sha512_libcrypto/") + s.name];
        for (const char *which : {"auto", "portable"}) {
            const double mine = reporter.best[std::string("sha512_") + which + "/" + s.name];
            if (mine > 0 && theirs > 0)
                std::printf("RATIO sha512 %-5s ours %-8s %8.1f MiB/s  libcrypto %8.1f MiB/s  "
                            "ours/libcrypto %.3f\n",
                            s.name, which, mib(mine), mib(theirs), mine / theirs);
        }
    }
    const std::string at = std::string("/") + kCompareSize.name;
    const double s512 = reporter.best["sha512_auto" + at];
    for (const char *which : {"auto", "avx2"}) {
        const double s256 = reporter.best[std::string("sha256_") + which + at];
        if (s512 > 0 && s256 > 0)
            std::printf("COMPARE %s ours sha512 (%s) %8.1f MiB/s  sha256 (%s) %8.1f MiB/s  "
                        "sha512/sha256 %.3f\n",
                        kCompareSize.name, sha512_backend_name(auto512), mib(s512),
                        std::string(which) == "auto" ? sha256_backend_name(auto256) : "AVX2+BMI2",
                        mib(s256), s512 / s256);
    }
    benchmark::Shutdown();
    return 0;
}
