/*
 * sha256_test.cpp - SHA-256: known-answer vectors, update splits around
 * block boundaries, the compression backends against each other, the
 * backend switches, and file hashing (including against the system's
 * sha256sum on large random files).
 */
#include "sha256.h"
#include "sha256_internal.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using testsupport::ScopedEnv;
using testsupport::TempDir;

std::string to_hex(const uint8_t d[32])
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 32; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string hash_hex(const void *data, size_t len)
{
    sha256_ctx ctx;
    uint8_t out[32];
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    sha256_final(&ctx, out);
    return to_hex(out);
}

std::string hash_hex(const std::string &s) { return hash_hex(s.data(), s.size()); }

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(gen());
    return v;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &data)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!data.empty()) {
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    }
    std::fclose(f);
}

std::string file_hex(const std::string &path)
{
    uint8_t out[32];
    if (sha256_file(path.c_str(), out) != 0) return "<failed>";
    return to_hex(out);
}

/* The accelerated backends, for direct calls. */
struct Backend {
    const char *name;
    int id;
    int (*available)(void);
    void (*compress)(uint32_t *, const uint8_t *, size_t);
};

const Backend kAccelerated[] = {
    {"SHA extensions", SHA256_BACKEND_SHANI, sha256_shani_available, sha256_compress_shani},
    {"AVX2+BMI2", SHA256_BACKEND_AVX2, sha256_avx2_available, sha256_compress_avx2},
};

/* Runs the body once per backend this machine can execute, with
 * sha256_update switched to that backend, and restores the choice. The
 * portable one is reached through the environment switch, as a user would;
 * the others are forced, since the automatic choice takes only the best. */
template <class Fn> void for_each_backend(Fn fn)
{
    {
        ScopedEnv env(SHA256_PORTABLE_ENV, "1");
        sha256_backend_reselect();
        ASSERT_EQ(sha256_backend(), SHA256_BACKEND_PORTABLE);
        SCOPED_TRACE("portable backend");
        fn();
    }
    for (const Backend &b : kAccelerated) {
        if (!b.available()) continue;
        ASSERT_EQ(sha256_backend_force(b.id), 1) << b.name;
        ASSERT_EQ(sha256_backend(), b.id) << b.name;
        SCOPED_TRACE(std::string(b.name) + " backend");
        fn();
    }
    sha256_backend_reselect();
}

/* ---- known answers ------------------------------------------------------- */

struct Vector {
    const char *name;
    std::string message;
    const char *digest;
};

std::vector<Vector> known_vectors()
{
    const std::string m448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string m896 = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                             "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
    return {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", m448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits", m896, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"one million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        /* 55, 56, 63 and 64 bytes: the padding fits in the last block, no
         * longer fits, and the message fills whole blocks. */
        {"55 bytes", std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {"56 bytes", std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {"63 bytes", std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {"64 bytes", std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
}

TEST(Sha256KnownAnswers, OneShotOnEveryBackend)
{
    for_each_backend([] {
        for (const Vector &v : known_vectors()) EXPECT_EQ(hash_hex(v.message), v.digest) << v.name;
    });
}

TEST(Sha256KnownAnswers, EmptyUpdateSequenceAndZeroLengthUpdates)
{
    sha256_ctx ctx;
    uint8_t out[32];
    sha256_init(&ctx);
    sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    /* Zero-length updates, even with no data pointer, change nothing. */
    sha256_init(&ctx);
    sha256_update(&ctx, nullptr, 0);
    sha256_update(&ctx, "ab", 2);
    sha256_update(&ctx, nullptr, 0);
    sha256_update(&ctx, "c", 1);
    sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256KnownAnswers, OneMillionAOneByteAtATime)
{
    sha256_ctx ctx;
    uint8_t out[32];
    sha256_init(&ctx);
    for (int i = 0; i < 1000000; ++i) sha256_update(&ctx, "a", 1);
    sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

/* ---- context fields ------------------------------------------------------ */

TEST(Sha256Context, InitSetsInitialValueAndUpdateTracksLengths)
{
    sha256_ctx ctx;
    std::memset(&ctx, 0xAB, sizeof ctx);
    sha256_init(&ctx);
    const uint32_t h0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    EXPECT_EQ(std::memcmp(ctx.state, h0, sizeof h0), 0);
    EXPECT_EQ(ctx.bit_count, 0u);
    EXPECT_EQ(ctx.buffer_len, 0u);

    const std::vector<uint8_t> data = random_bytes(200, 1);
    struct Step {
        size_t len;
        uint64_t bits_after, buffered_after;
    };
    const Step steps[] = {{10, 80, 10}, {54, 512, 0}, {0, 512, 0}, {65, 1032, 1}, {71, 1600, 8}};
    size_t off = 0;
    for (const Step &s : steps) {
        sha256_update(&ctx, data.data() + off, s.len);
        off += s.len;
        EXPECT_EQ(ctx.bit_count, s.bits_after) << "after " << off << " bytes";
        EXPECT_EQ(ctx.buffer_len, s.buffered_after) << "after " << off << " bytes";
    }
    /* The partial block holds the message's last bytes. */
    EXPECT_EQ(std::memcmp(ctx.buffer, data.data() + off - 8, 8), 0);
}

/* ---- splits around block boundaries ------------------------------------- */

/* Every 2-way split of every length 0..200 (so every position relative to
 * the first three block boundaries) gives the one-shot digest, on both
 * backends; the one-shot digests of the two backends agree too. */
TEST(Sha256Splits, EveryTwoWaySplitMatchesOneShotOnEveryBackend)
{
    const std::vector<uint8_t> msg = random_bytes(200, 7);
    std::vector<std::string> portable_one_shot;
    {
        ScopedEnv env(SHA256_PORTABLE_ENV, "1");
        sha256_backend_reselect();
        for (size_t len = 0; len <= msg.size(); ++len) portable_one_shot.push_back(hash_hex(msg.data(), len));
    }
    for_each_backend([&] {
        for (size_t len = 0; len <= msg.size(); ++len) {
            const std::string whole = hash_hex(msg.data(), len);
            ASSERT_EQ(whole, portable_one_shot[len]) << "len " << len;
            for (size_t cut = 0; cut <= len; ++cut) {
                sha256_ctx ctx;
                uint8_t out[32];
                sha256_init(&ctx);
                sha256_update(&ctx, msg.data(), cut);
                sha256_update(&ctx, msg.data() + cut, len - cut);
                sha256_final(&ctx, out);
                ASSERT_EQ(to_hex(out), whole) << "len " << len << " cut " << cut;
            }
        }
    });
}

TEST(Sha256Splits, ChunkPatternsMatchOneShot)
{
    const std::vector<uint8_t> msg = random_bytes(5000, 11);
    const std::string whole = hash_hex(msg.data(), msg.size());
    struct Pattern {
        const char *name;
        std::vector<size_t> sizes; /* repeated until the message is used up */
    };
    const Pattern patterns[] = {
        {"1 byte at a time", {1}},
        {"63 + 1", {63, 1}},
        {"64", {64}},
        {"65", {65}},
        {"3 + 127 + 200, crossing boundaries", {3, 127, 200}},
        {"many blocks then a byte", {1000, 1}},
    };
    for_each_backend([&] {
        for (const Pattern &p : patterns) {
            sha256_ctx ctx;
            uint8_t out[32];
            sha256_init(&ctx);
            size_t off = 0;
            for (size_t i = 0; off < msg.size(); ++i) {
                size_t n = std::min(p.sizes[i % p.sizes.size()], msg.size() - off);
                sha256_update(&ctx, msg.data() + off, n);
                off += n;
            }
            sha256_final(&ctx, out);
            EXPECT_EQ(to_hex(out), whole) << p.name;
        }
    });
}

/* ---- backends ------------------------------------------------------------ */

/* Direct calls, multi-block runs and unaligned input: the batch path that
 * sha256_update uses for whole blocks straight from the caller's memory.
 * Odd and even counts matter: the AVX2 backend works on pairs of blocks
 * and handles a lone last block separately. */
TEST(Sha256Backends, CompressionFunctionsAgreeOnBatchesAndUnalignedInput)
{
    const std::vector<uint8_t> data = random_bytes(64 * 40 + 3, 3);
    int tested = 0;
    for (const Backend &b : kAccelerated) {
        if (!b.available()) continue;
        ++tested;
        for (size_t offset : {0, 1, 3}) {
            for (size_t blocks : {1, 2, 3, 4, 7, 40}) {
                uint32_t want[8], got[8];
                for (int i = 0; i < 8; ++i) want[i] = got[i] = static_cast<uint32_t>(0x01020304u * (i + 1) + offset);
                sha256_compress_portable(want, data.data() + offset, blocks);
                b.compress(got, data.data() + offset, blocks);
                EXPECT_EQ(std::memcmp(want, got, sizeof want), 0)
                    << b.name << ": " << blocks << " blocks at offset " << offset;
            }
        }
    }
    if (tested == 0) GTEST_SKIP() << "processor has no accelerated backend";
}

/* Zero blocks leaves the state alone (sha256_update never asks, but the
 * pair loop must not run a lone block that is not there). */
TEST(Sha256Backends, ZeroBlocksLeaveStateUnchanged)
{
    const uint8_t block[64] = {0};
    const uint32_t init[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t s[8];
    std::memcpy(s, init, sizeof s);
    sha256_compress_portable(s, block, 0);
    EXPECT_EQ(std::memcmp(s, init, sizeof s), 0) << "portable";
    for (const Backend &b : kAccelerated) {
        if (!b.available()) continue;
        b.compress(s, block, 0);
        EXPECT_EQ(std::memcmp(s, init, sizeof s), 0) << b.name;
    }
}

TEST(Sha256Backends, PortableBlockMatchesStandardAbcBlock)
{
    /* The padded one-block message "abc", compressed from the initial value. */
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;
    uint32_t s[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    sha256_compress_portable(s, block, 1);
    const uint32_t want[8] = {0xba7816bf, 0x8f01cfea, 0x414140de, 0x5dae2223,
                              0xb00361a3, 0x96177a9c, 0xb410ff61, 0xf20015ad};
    EXPECT_EQ(std::memcmp(s, want, sizeof s), 0);
}

TEST(Sha256Backends, EnvironmentVariableForcesPortable)
{
    const int accelerated = sha256_shani_available() ? SHA256_BACKEND_SHANI
                            : sha256_avx2_available() ? SHA256_BACKEND_AVX2
                                                      : SHA256_BACKEND_PORTABLE;
    struct Case {
        const char *value; /* nullptr: unset */
        int backend;
    };
    const Case cases[] = {
        {nullptr, accelerated}, {"", accelerated}, {"0", accelerated},
        {"1", SHA256_BACKEND_PORTABLE}, {"yes", SHA256_BACKEND_PORTABLE},
    };
    for (const Case &c : cases) {
        ScopedEnv env(SHA256_PORTABLE_ENV, c.value);
        sha256_backend_reselect();
        EXPECT_EQ(sha256_backend(), c.backend) << (c.value ? c.value : "(unset)");
    }
    sha256_backend_reselect();
}

/* Forcing a backend takes effect only when it can run here; an unknown
 * or unavailable one leaves the current choice, and reselecting undoes it. */
TEST(Sha256Backends, ForceSelectsOnlyRunnableBackends)
{
    ScopedEnv env(SHA256_PORTABLE_ENV, "1");
    sha256_backend_reselect();
    struct Case {
        int backend;
        bool runs;
    };
    const Case cases[] = {
        {SHA256_BACKEND_PORTABLE, true},
        {SHA256_BACKEND_SHANI, sha256_shani_available() != 0},
        {SHA256_BACKEND_AVX2, sha256_avx2_available() != 0},
        {0, false},
        {99, false},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(sha256_backend_force(SHA256_BACKEND_PORTABLE), 1);
        EXPECT_EQ(sha256_backend_force(c.backend), c.runs ? 1 : 0) << c.backend;
        EXPECT_EQ(sha256_backend(), c.runs ? c.backend : SHA256_BACKEND_PORTABLE) << c.backend;
        EXPECT_EQ(hash_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") << c.backend;
    }
    sha256_backend_reselect();
    EXPECT_EQ(sha256_backend(), SHA256_BACKEND_PORTABLE); /* the environment still says portable */
}

/* ---- files --------------------------------------------------------------- */

TEST(Sha256File, MissingFileFailsAndLeavesOutputUntouched)
{
    TempDir dir;
    uint8_t out[32];
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(sha256_file(dir.sub("no-such-file").c_str(), out), -1);
    for (uint8_t b : out) ASSERT_EQ(b, 0x5A);
}

TEST(Sha256File, ReadErrorFailsAndLeavesOutputUntouched)
{
    /* A directory: POSIX opens it and then the read fails; Windows refuses
     * to open it. Either way the result is -1. */
    TempDir dir;
    uint8_t out[32];
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(sha256_file(dir.str().c_str(), out), -1);
    for (uint8_t b : out) ASSERT_EQ(b, 0x5A);
}

/* Sizes around the 65,536-byte read chunk, checked against the in-memory
 * digest of the same bytes. */
TEST(Sha256File, SizesAroundTheReadChunkMatchInMemoryDigest)
{
    TempDir dir;
    for (size_t size : {0, 1, 65535, 65536, 65537, 3 * 65536 + 64}) {
        const std::vector<uint8_t> data = random_bytes(size, static_cast<uint32_t>(size));
        const std::string path = dir.sub("f" + std::to_string(size));
        write_bytes(path, data);
        EXPECT_EQ(file_hex(path), hash_hex(data.data(), data.size())) << size << " bytes";
    }
    EXPECT_EQ(file_hex(dir.sub("f0")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

/* Hex digest from the system's sha256sum, or "" when it is not installed. */
[[maybe_unused]] std::string system_sha256sum(const std::string &path)
{
    std::string cmd = "sha256sum '" + path + "' 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return "";
    char line[256] = {0};
    size_t n = std::fread(line, 1, sizeof line - 1, p);
    int status = pclose(p);
    if (status != 0 || n < 64) return "";
    return std::string(line, 64);
}

TEST(Sha256File, LargeRandomFilesMatchSystemSha256sum)
{
#ifdef _WIN32
    GTEST_SKIP() << "no sha256sum on Windows";
#else
    if (std::system("command -v sha256sum >/dev/null 2>&1") != 0) GTEST_SKIP() << "sha256sum not installed";
    TempDir dir;
    for (size_t size : {size_t{10} << 20, (size_t{10} << 20) + 1, size_t{1234567}, size_t{4099}}) {
        const std::string path = dir.sub("r" + std::to_string(size));
        write_bytes(path, random_bytes(size, static_cast<uint32_t>(size ^ 0x5eed)));
        const std::string want = system_sha256sum(path);
        ASSERT_EQ(want.size(), 64u) << "sha256sum failed on " << path;
        for_each_backend([&] { EXPECT_EQ(file_hex(path), want) << size << " bytes"; });
    }
#endif
}

} // namespace
