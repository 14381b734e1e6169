/*
 * rename_race.cpp - one process of the no-replace rename race on a shared
 * file system; the test starts two, each on its own mount.
 *
 *   rename_race DIR ID ROUNDS SYNC_DIR
 *       Each round writes its own source file (holding ID) in DIR and moves
 *       it to DIR/name-ROUND with plat_rename_noreplace, then prints
 *       "ROUND won" or "ROUND lost". Before each move both processes meet in
 *       SYNC_DIR (local disk) so they really race for every name. A lost
 *       round must leave the source whole where it was.
 *
 * Last line "ok" on success; a broken promise goes to stderr, status 1.
 */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform.h"

namespace fs = std::filesystem;

namespace
{

std::string read_all(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/* Marks this process as arrived at round and waits for the other. */
bool meet(const fs::path &sync, const std::string &id, int round)
{
    const std::string me = "r" + std::to_string(round) + "-" + id;
    std::ofstream(sync / me).put('x');
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        int here = 0;
        for (const auto &e : fs::directory_iterator(sync)) {
            const std::string n = e.path().filename().string();
            if (n.rfind("r" + std::to_string(round) + "-", 0) == 0) ++here;
        }
        if (here >= 2) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: rename_race DIR ID ROUNDS SYNC_DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    const std::string id = argv[2];
    const int rounds = std::atoi(argv[3]);
    const fs::path sync = argv[4];
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        const fs::path src = dir / ("src-" + id + "-" + std::to_string(round));
        const fs::path dst = dir / ("name-" + std::to_string(round));
        std::ofstream(src, std::ios::binary) << id;
        if (!meet(sync, id, round)) {
            std::fprintf(stderr, "round %d: the other process never came\n", round);
            return 1;
        }
        const bool won = plat_rename_noreplace(src.string().c_str(), dst.string().c_str()) == 0;
        if (won && fs::exists(src)) {
            std::fprintf(stderr, "round %d: won, but the source is still there\n", round);
            ++failures;
        }
        if (!won && read_all(src) != id) {
            std::fprintf(stderr, "round %d: lost, and the source did not stay whole\n", round);
            ++failures;
        }
        std::printf("%d %s\n", round, won ? "won" : "lost");
    }
    std::printf("ok\n");
    return failures ? 1 : 0;
}
