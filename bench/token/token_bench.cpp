/*
 * token_bench.cpp - registry_token_verify on a typical token (a user, one
 * repository with pull and push, the catalog) next to one SHA-256 of the
 * token's bytes, with the ratio verify / SHA-256 and the absolute times.
 *
 * The HMAC alone is measured too: it is the floor of verification (two more
 * compressions than the plain hash, on the signed part), and the rest is
 * the Base64url decoding and the two small JSON reads. Times are CPU time
 * per call, the best of the repetitions: on a shared machine wall time
 * mostly measures the other work.
 *
 * Usage: token_bench [benchmark flags]
 */
#include "auth_token.h"
#include "hmac_sha256.h"
#include "sha256.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace
{

constexpr int64_t kNow = 1765400000;
constexpr char kService[] = "registry.example";

struct fixture {
    uint8_t key[REGISTRY_TOKEN_KEY_BYTES];
    char token[REGISTRY_TOKEN_CAP];
    size_t signed_len = 0; /* header.payload */
};

const fixture &typical()
{
    static const fixture f = [] {
        fixture x{};
        for (size_t i = 0; i < sizeof x.key; ++i)
            x.key[i] = static_cast<uint8_t>(i * 37 + 11);
        registry_token_claims c{};
        std::snprintf(c.subject, sizeof c.subject, "ci-builder");
        std::snprintf(c.service, sizeof c.service, "%s", kService);
        c.issued_at = c.not_before = kNow;
        c.expires_at = kNow + 300;
        if (registry_scope_parse("repository:team/backend/api:pull,push", &c) != 0 ||
            registry_scope_parse("registry:catalog:*", &c) != 0 ||
            registry_token_mint(x.key, &c, x.token, sizeof x.token) != 0) {
            std::fprintf(stderr, "token_bench: cannot mint the token\n");
            std::abort();
        }
        x.signed_len = std::strrchr(x.token, '.') - x.token;
        return x;
    }();
    return f;
}

void BM_sha256_token_bytes(benchmark::State &state)
{
    const fixture &f = typical();
    const size_t n = std::strlen(f.token);
    uint8_t out[32];
    for (auto _ : state) {
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, f.token, n);
        sha256_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    state.counters["token_bytes"] = static_cast<double>(n);
}

void BM_hmac_signed_part(benchmark::State &state)
{
    const fixture &f = typical();
    uint8_t out[HMAC_SHA256_BYTES];
    for (auto _ : state) {
        hmac_sha256(f.key, sizeof f.key, f.token, f.signed_len, out);
        benchmark::DoNotOptimize(out);
    }
}

void BM_token_verify(benchmark::State &state)
{
    const fixture &f = typical();
    registry_token_claims claims;
    for (auto _ : state) {
        const registry_token_status st =
            registry_token_verify(f.key, f.token, kService, kNow, &claims);
        if (st != REGISTRY_TOKEN_VALID) {
            state.SkipWithError("the token does not verify");
            break;
        }
        benchmark::DoNotOptimize(claims);
    }
}

BENCHMARK(BM_sha256_token_bytes)->Repetitions(7);
BENCHMARK(BM_hmac_signed_part)->Repetitions(7);
BENCHMARK(BM_token_verify)->Repetitions(7);

/* Console output as usual, plus the best CPU time per call per benchmark. */
class BestReporter : public benchmark::ConsoleReporter
{
  public:
    std::map<std::string, double> best_ns;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
            const double ns = r.GetAdjustedCPUTime() *
                              benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                              benchmark::GetTimeUnitMultiplier(r.time_unit);
            double &b = best_ns[r.run_name.function_name];
            if (b == 0 || ns < b) b = ns;
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("token: %zu bytes\n", std::strlen(typical().token));
    BestReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double sha = reporter.best_ns["BM_sha256_token_bytes"];
    const double hmac = reporter.best_ns["BM_hmac_signed_part"];
    const double verify = reporter.best_ns["BM_token_verify"];
    if (sha > 0 && verify > 0)
        std::printf("RATIO (CPU time per call) verify %.0f ns  hmac %.0f ns  sha256 %.0f ns  "
                    "verify/sha256 %.2f  "
                    "verify/hmac %.2f\n",
                    verify, hmac, sha, verify / sha, hmac > 0 ? verify / hmac : 0.0);
    benchmark::Shutdown();
    return 0;
}
