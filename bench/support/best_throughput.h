/*
 * best_throughput.h - a console reporter that also keeps each benchmark's
 * best throughput over its repetitions: the figure least disturbed by
 * other work on a shared machine, which the digest benchmarks compare.
 */
#ifndef REGISTRY_BENCH_BEST_THROUGHPUT_H
#define REGISTRY_BENCH_BEST_THROUGHPUT_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench_support
{

/* A run that failed: "skipped" from benchmark 1.8 on (trixie), where it
 * replaced "error_occurred" (bookworm's 1.7). */
template <class R> auto run_failed(const R &r, int) -> decltype(r.skipped, bool())
{
    return static_cast<int>(r.skipped) != 0;
}
template <class R> auto run_failed(const R &r, long) -> decltype(r.error_occurred, bool())
{
    return r.error_occurred;
}

/* Console output as usual, plus the best bytes per second by benchmark
 * name (0 for one that never ran). */
class BestReporter : public benchmark::ConsoleReporter
{
  public:
    std::map<std::string, double> best;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || run_failed(r, 0)) continue;
            auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end()) continue;
            double &b = best[r.run_name.function_name];
            if (it->second.value > b) b = it->second.value;
        }
    }
};

} // namespace bench_support

#endif
