/*
 * gc_bench.cpp - garbage collection against the file-system floor.
 *
 *   gc_bench TEMPLATE LIST WORK [ROUNDS]
 *
 * Each round copies the generated store TEMPLATE to WORK and measures, on
 * that copy: the floor (`du -s` over the store, then reading every manifest
 * body named in LIST once), a dry run and then a real run of reg_gc_json.
 * Prints each round's ratios to the floor and their medians, and the
 * process's peak memory.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "reg_storage.h"

namespace
{

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

bool run(const std::string &cmd)
{
    return std::system(cmd.c_str()) == 0;
}

std::string quoted(const std::string &s)
{
    return "'" + s + "'";
}

/* du -s, then every body read once: what any collector must at least do. */
double floor_seconds(const std::string &work, const std::vector<std::string> &bodies)
{
    auto t0 = clock_type::now();
    if (!run("du -s " + quoted(work) + " >/dev/null")) std::fprintf(stderr, "du failed\n");
    static char buf[1 << 16];
    size_t total = 0;
    for (const auto &rel : bodies) {
        FILE *f = std::fopen((work + "/" + rel).c_str(), "rb");
        if (!f) continue;
        total += std::fread(buf, 1, sizeof buf, f);
        std::fclose(f);
    }
    double s = seconds_since(t0);
    if (total == 0) std::fprintf(stderr, "no manifest body read\n");
    return s;
}

double gc_seconds(int dry_run, const char *expect)
{
    auto t0 = clock_type::now();
    const char *doc = reg_gc_json(dry_run);
    double s = seconds_since(t0);
    if (!doc) {
        std::fprintf(stderr, "gc failed: %s\n", reg_storage_last_error());
        std::exit(1);
    }
    if (std::string(doc).find(expect) == std::string::npos) {
        std::fprintf(stderr, "unexpected report: %s\n", doc);
        std::exit(1);
    }
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long peak_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: gc_bench TEMPLATE LIST WORK [ROUNDS]\n");
        return 2;
    }
    const std::string tmpl = argv[1], work = argv[3];
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    std::vector<std::string> bodies;
    {
        std::ifstream list(argv[2]);
        for (std::string line; std::getline(list, line);)
            if (!line.empty()) bodies.push_back(line);
    }
    std::vector<double> dry_ratio, real_ratio;
    for (int r = 0; r < rounds; ++r) {
        /* sync: the copy's write-back must not land inside a timed run. */
        if (!run("rm -rf " + quoted(work) + " && cp -a " + quoted(tmpl) + " " + quoted(work) +
                 " && sync"))
            return 1;
        floor_seconds(work, bodies); /* warm-up, not counted */
        const double floor = floor_seconds(work, bodies);
        if (reg_storage_init(work.c_str()) != 0) {
            std::fprintf(stderr, "init failed: %s\n", reg_storage_last_error());
            return 1;
        }
        const double dry = gc_seconds(1, "\"blobs_deleted\":10000,");
        const double real = gc_seconds(0, "\"blobs_deleted\":10000,");
        reg_storage_cleanup();
        dry_ratio.push_back(dry / floor);
        real_ratio.push_back(real / floor);
        std::printf("round %d: floor %.3f s, dry run %.3f s (%.2fx), real run %.3f s (%.2fx)\n",
                    r + 1, floor, dry, dry / floor, real, real / floor);
    }
    run("rm -rf " + quoted(work));
    std::printf("ratio dry run / floor: %.2f\n", median(dry_ratio));
    std::printf("ratio real run / floor: %.2f\n", median(real_ratio));
    std::printf("peak memory: %ld KiB\n", peak_kib());
    return 0;
}
