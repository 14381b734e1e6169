/*
 * sha256_bench.cpp - throughput of our SHA-256 next to libcrypto's, on
 * 16 KiB messages and on a 256 MiB file, with the ratio ours / libcrypto.
 *
 * Each run compares like with like as the environment sets them up:
 *   default                      our automatic choice (SHA extension backend
 *                                where there is one) vs libcrypto default
 *   REGISTRY_SHA256_PORTABLE=1 and OPENSSL_ia32cap=:~0x20000000
 *                                our AVX2+BMI2 backend (what a processor
 *                                without SHA extensions gets) and, for
 *                                reference, our portable backend, both vs
 *                                libcrypto without its SHA extension code
 * libcrypto reads OPENSSL_ia32cap once at start-up, hence one process per
 * pairing; run.sh runs both. Throughput is the best of the repetitions, which
 * is the least disturbed by other work on the machine.
 */
#include "sha256.h"
#include "sha256_internal.h"

#include "best_throughput.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef SHA256_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

namespace fs = std::filesystem;

constexpr size_t kMessageBytes = 16 * 1024;
constexpr size_t kFileBytes = size_t{256} << 20;
constexpr size_t kChunkBytes = 65536; /* the same read size as sha256_file */

std::string s_file; /* the 256 MiB file, made in main and removed there */

std::vector<uint8_t> pseudo_random(size_t n, uint64_t seed)
{
    std::vector<uint8_t> v(n);
    uint64_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        v[i] = static_cast<uint8_t>(x >> 56);
    }
    return v;
}

/* Each of our benchmarks runs on one backend, set before it starts. */
void BM_ours_16KiB(benchmark::State &state, int backend)
{
    sha256_backend_force(backend);
    const std::vector<uint8_t> msg = pseudo_random(kMessageBytes, 1);
    uint8_t out[32];
    for (auto _ : state) {
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, msg.data(), msg.size());
        sha256_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMessageBytes));
}

void BM_ours_file_256MiB(benchmark::State &state, int backend)
{
    sha256_backend_force(backend);
    uint8_t out[32];
    for (auto _ : state) {
        if (sha256_file(s_file.c_str(), out) != 0) {
            state.SkipWithError("sha256_file failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

#ifdef SHA256_BENCH_OPENSSL
/* Fetched once, as a long-running caller would, so each message pays only
 * for init, update and final. */
EVP_MD *openssl_sha256()
{
    static EVP_MD *md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

void BM_openssl_16KiB(benchmark::State &state)
{
    const std::vector<uint8_t> msg = pseudo_random(kMessageBytes, 1);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned char out[32];
    unsigned int n = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, openssl_sha256(), nullptr);
        EVP_DigestUpdate(ctx, msg.data(), msg.size());
        EVP_DigestFinal_ex(ctx, out, &n);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMessageBytes));
}

/* The same read loop as sha256_file, so only the hashing differs. */
void BM_openssl_file_256MiB(benchmark::State &state)
{
    std::vector<uint8_t> chunk(kChunkBytes);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned char out[32];
    unsigned int n = 0;
    for (auto _ : state) {
        FILE *f = std::fopen(s_file.c_str(), "rb");
        if (!f) {
            state.SkipWithError("cannot open the file");
            break;
        }
        EVP_DigestInit_ex(ctx, openssl_sha256(), nullptr);
        size_t got;
        while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) EVP_DigestUpdate(ctx, chunk.data(), got);
        std::fclose(f);
        EVP_DigestFinal_ex(ctx, out, &n);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
#endif

#ifdef SHA256_BENCH_OPENSSL
BENCHMARK(BM_openssl_16KiB)->Repetitions(5);
BENCHMARK(BM_openssl_file_256MiB)->Repetitions(3)->Unit(benchmark::kMillisecond);
#endif

/* 256 MiB of pseudo-random bytes in a fresh temporary directory. */
bool make_file(fs::path &dir)
{
    std::error_code ec;
    std::random_device rd;
    dir = fs::temp_directory_path(ec) / ("sha256-bench-" + std::to_string(rd()));
    if (ec || !fs::create_directory(dir, ec)) return false;
    s_file = (dir / "blob").string();
    FILE *f = std::fopen(s_file.c_str(), "wb");
    if (!f) return false;
    const size_t piece = size_t{16} << 20;
    bool ok = true;
    for (size_t done = 0; ok && done < kFileBytes; done += piece) {
        std::vector<uint8_t> v = pseudo_random(piece, done + 1);
        ok = std::fwrite(v.data(), 1, v.size(), f) == v.size();
    }
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    /* The environment forcing our portable backend marks the run without
     * SHA extensions: there the AVX2+BMI2 backend is what such a processor
     * gets, and the portable one is measured too, for reference. */
    struct Ours {
        const char *tag, *pairing;
        int backend;
    };
    std::vector<Ours> ours;
    const int chosen = sha256_backend();
    if (chosen != SHA256_BACKEND_PORTABLE) {
        ours.push_back({"", chosen == SHA256_BACKEND_SHANI ? "accelerated vs libcrypto default"
                                                           : "AVX2+BMI2 vs libcrypto default",
                        chosen});
    } else {
        if (sha256_avx2_available())
            ours.push_back({"avx2_", "no SHA ext: AVX2+BMI2 vs libcrypto", SHA256_BACKEND_AVX2});
        ours.push_back({"portable_", "plain portable vs libcrypto (reference)", SHA256_BACKEND_PORTABLE});
    }
    const char *cap = std::getenv("OPENSSL_ia32cap");
    std::printf("our backends:");
    for (const Ours &o : ours)
        std::printf(" %s", o.backend == SHA256_BACKEND_SHANI ? "SHA-extensions"
                           : o.backend == SHA256_BACKEND_AVX2 ? "AVX2+BMI2"
                                                              : "portable");
    std::printf("\nOPENSSL_ia32cap: %s\n", cap ? cap : "(unset: libcrypto default)");
    for (const Ours &o : ours) {
        const int b = o.backend;
        benchmark::RegisterBenchmark((std::string("BM_ours_") + o.tag + "16KiB").c_str(),
                                     [b](benchmark::State &st) { BM_ours_16KiB(st, b); })
            ->Repetitions(5);
        benchmark::RegisterBenchmark((std::string("BM_ours_") + o.tag + "file_256MiB").c_str(),
                                     [b](benchmark::State &st) { BM_ours_file_256MiB(st, b); })
            ->Repetitions(3)
            ->Unit(benchmark::kMillisecond);
    }

    fs::path dir;
    if (!make_file(dir)) {
        std::fprintf(stderr, "sha256_bench: cannot write the 256 MiB file under %s\n", dir.string().c_str());
        std::error_code ec;
        fs::remove_all(dir, ec);
        return 1;
    }
    bench_support::BestReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::error_code ec;
    fs::remove_all(dir, ec);

    for (const Ours &o : ours) {
        for (const char *what : {"16KiB", "file_256MiB"}) {
            double mine = reporter.best[std::string("BM_ours_") + o.tag + what];
            double theirs = reporter.best[std::string("BM_openssl_") + what];
            if (mine > 0 && theirs > 0)
                std::printf("RATIO %-12s %-40s ours %7.1f MiB/s  libcrypto %7.1f MiB/s  ours/libcrypto %.3f\n",
                            what, o.pairing, mine / 1048576.0, theirs / 1048576.0, mine / theirs);
        }
    }
    benchmark::Shutdown();
    return 0;
}
