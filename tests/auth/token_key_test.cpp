/* The tokens' signing key at ROOT/_auth/token.key: made once and read
 * after, private to its owner, one key however many first requests race
 * (threads released together, and a lost race staged with the platform's
 * fault hook), and refused when the file is not a key. */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "auth_token.h"
#include "platform.h"
#include "test_support.h"

namespace
{

namespace fs = std::filesystem;
using testsupport::read_text;
using testsupport::TempDir;
using testsupport::write_text;

using key_bytes = std::string;

/* The key as the function gives it, or "<failed>". */
key_bytes get_key(const std::string &root)
{
    uint8_t k[REGISTRY_TOKEN_KEY_BYTES];
    if (registry_token_key(root.c_str(), k) != 0) return "<failed>";
    return key_bytes(reinterpret_cast<const char *>(k), sizeof k);
}

fs::path key_file(const TempDir &t)
{
    return t.path() / "_auth" / "token.key";
}

std::vector<std::string> auth_dir_entries(const TempDir &t)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(t.path() / "_auth"))
        names.push_back(e.path().filename().string());
    return names;
}

TEST(TokenKey, MadeOnceThenRead)
{
    TempDir t;
    const key_bytes first = get_key(t.str());
    ASSERT_EQ(first.size(), size_t{REGISTRY_TOKEN_KEY_BYTES});
    EXPECT_EQ(read_text(key_file(t)), first);
    EXPECT_EQ(auth_dir_entries(t), std::vector<std::string>{"token.key"}); // no candidate left
    EXPECT_EQ(get_key(t.str()), first);
    EXPECT_NE(first, std::string(REGISTRY_TOKEN_KEY_BYTES, '\0'));

    TempDir other;
    EXPECT_NE(get_key(other.str()), first); // random, not derived from anything
}

#ifndef _WIN32
TEST(TokenKey, FileIsPrivateToItsOwner)
{
    TempDir t;
    ASSERT_NE(get_key(t.str()), "<failed>");
    EXPECT_EQ(fs::status(key_file(t)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}
#endif

TEST(TokenKey, ConcurrentFirstCallsAgree)
{
    constexpr int kThreads = 8;
    for (int round = 0; round < 10; ++round) {
        TempDir t;
        std::vector<key_bytes> got(kThreads);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                ++ready;
                while (ready.load() < kThreads)
                    std::this_thread::yield();
                got[i] = get_key(t.str());
            });
        for (auto &th : threads)
            th.join();
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(got[0].size(), size_t{REGISTRY_TOKEN_KEY_BYTES});
        EXPECT_EQ(std::count(got.begin(), got.end(), got[0]), kThreads);
        EXPECT_EQ(read_text(key_file(t)), got[0]);
        EXPECT_EQ(auth_dir_entries(t), std::vector<std::string>{"token.key"});
    }
}

/* Writes a key of its own at the destination just before the first rename
 * to token.key: another process winning between our check and our rename. */
int win_race_first(const char *op, const char *path, void *ctx)
{
    auto *winner = static_cast<key_bytes *>(ctx);
    const std::string p = path;
    if (std::string(op) != "rename" || p.size() < 9 || p.substr(p.size() - 9) != "token.key" ||
        winner->empty())
        return 0;
    write_text(p, *winner);
    winner->clear();
    return 0;
}

int refuse_creates(const char *op, const char *, void *)
{
    return std::string(op) == "create" ? EACCES : 0;
}

TEST(TokenKey, ALostRaceReadsTheWinnersKey)
{
    TempDir t;
    const key_bytes theirs(REGISTRY_TOKEN_KEY_BYTES, 'W');
    key_bytes pending = theirs;
    plat_set_fault_hook(win_race_first, &pending);
    const key_bytes got = get_key(t.str());
    plat_set_fault_hook(nullptr, nullptr);
    EXPECT_TRUE(pending.empty()); // the race happened
    EXPECT_EQ(got, theirs);
    EXPECT_EQ(read_text(key_file(t)), theirs);
    EXPECT_EQ(auth_dir_entries(t), std::vector<std::string>{"token.key"});
}

TEST(TokenKey, RefusedWhenNotAKey)
{
    struct Case {
        const char *name;
        std::string contents;
    };
    const Case cases[] = {
        {"empty", ""},
        {"one byte short", std::string(REGISTRY_TOKEN_KEY_BYTES - 1, 'k')},
        {"one byte over", std::string(REGISTRY_TOKEN_KEY_BYTES + 1, 'k')},
        {"hex text of a key", std::string(2 * REGISTRY_TOKEN_KEY_BYTES, 'a') + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        fs::create_directories(key_file(t).parent_path());
        write_text(key_file(t), c.contents);
        EXPECT_EQ(get_key(t.str()), "<failed>");
        EXPECT_EQ(read_text(key_file(t)), c.contents); // never replaced
    }

    TempDir dir_in_the_way;
    fs::create_directories(key_file(dir_in_the_way));
    EXPECT_EQ(get_key(dir_in_the_way.str()), "<failed>");

    TempDir file_in_the_way;
    write_text(file_in_the_way.path() / "_auth", "not a directory");
    EXPECT_EQ(get_key(file_in_the_way.str()), "<failed>");

    TempDir t;
    EXPECT_EQ(get_key(t.sub("missing-root")), "<failed>");
    EXPECT_EQ(get_key(""), "<failed>");
    EXPECT_EQ(get_key(std::string(5000, 'r')), "<failed>");
    uint8_t k[REGISTRY_TOKEN_KEY_BYTES];
    EXPECT_EQ(registry_token_key(nullptr, k), -1);
    EXPECT_EQ(registry_token_key(t.str().c_str(), nullptr), -1);

    // A candidate that cannot be written leaves nothing behind.
    plat_set_fault_hook(refuse_creates, nullptr);
    EXPECT_EQ(get_key(t.str()), "<failed>");
    plat_set_fault_hook(nullptr, nullptr);
    EXPECT_TRUE(auth_dir_entries(t).empty());
    EXPECT_NE(get_key(t.str()), "<failed>"); // and the next request makes it
}

TEST(TokenKey, UnreadableKeyFileIsRefused)
{
    TempDir t;
    const key_bytes key = get_key(t.str());
    ASSERT_NE(key, "<failed>");
    fs::permissions(key_file(t), fs::perms::none, fs::perm_options::replace);
    if (FILE *f = std::fopen(key_file(t).string().c_str(), "rb")) {
        std::fclose(f);
        fs::permissions(key_file(t), fs::perms::owner_read, fs::perm_options::replace);
        GTEST_SKIP() << "file permissions do not bind this process (running as root?)";
    }
    EXPECT_EQ(get_key(t.str()), "<failed>");
    fs::permissions(key_file(t), fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_EQ(get_key(t.str()), key);
}

} // namespace
