/* SHA-512 against the published vectors, split updates, files, and the
 * digest grammar both the request layer and the engine use. */
#include "digest_text.h"
#include "sha512.h"
#include "sha512_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

std::string hex_of(const uint8_t *p, size_t n)
{
    static const char k[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += k[p[i] >> 4];
        s += k[p[i] & 15];
    }
    return s;
}

std::string sha512_hex(const std::string &m, size_t step)
{
    sha512_ctx c;
    sha512_init(&c);
    for (size_t at = 0; at < m.size(); at += step)
        sha512_update(&c, m.data() + at, std::min(step, m.size() - at));
    uint8_t out[SHA512_DIGEST_BYTES];
    sha512_final(&c, out);
    return hex_of(out, sizeof out);
}

struct vector_case {
    std::string message;
    const char *hex;
};

const std::vector<vector_case> &vectors()
{
    static const std::vector<vector_case> v = {
        {"", "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff831"
             "8d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836"
                "ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec"
         "4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {std::string(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce"
         "577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    return v;
}

/* Every backend this machine runs, each forced in turn. */
std::vector<int> runnable_backends()
{
    std::vector<int> b = {SHA512_BACKEND_PORTABLE};
    if (sha512_avx2_available()) b.push_back(SHA512_BACKEND_AVX2);
    return b;
}

TEST(Sha512, PublishedVectorsOnEveryBackendAndSplit)
{
    for (int backend : runnable_backends()) {
        ASSERT_EQ(sha512_backend_force(backend), 1);
        for (const vector_case &v : vectors())
            for (size_t step :
                 {size_t{1}, size_t{7}, size_t{111}, size_t{128}, size_t{129}, size_t{65536}}) {
                if (step == 1 && v.message.size() > 100000) continue;
                EXPECT_EQ(sha512_hex(v.message, step), v.hex)
                    << "backend " << backend << " step " << step;
            }
    }
    sha512_backend_reselect();
}

/* Lengths around the padding edges (111, 112, 127, 128 bytes) agree
 * between backends, and with the block function fed directly. */
TEST(Sha512, BackendsAgreeAtEveryLengthUpToFourBlocks)
{
    std::string m;
    for (int i = 0; i < 520; ++i)
        m += static_cast<char>(i * 131 + 7);
    for (int backend : runnable_backends()) {
        ASSERT_EQ(sha512_backend_force(backend), 1);
        for (size_t n = 0; n <= m.size(); ++n) {
            sha512_backend_force(SHA512_BACKEND_PORTABLE);
            const std::string want = sha512_hex(m.substr(0, n), 1 + n);
            sha512_backend_force(backend);
            ASSERT_EQ(sha512_hex(m.substr(0, n), 1 + n / 3), want) << "length " << n;
        }
    }
    sha512_backend_reselect();
}

std::vector<uint8_t> noise(size_t n)
{
    std::vector<uint8_t> v(n);
    uint64_t x = 88172645463325252ULL;
    for (uint8_t &b : v) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<uint8_t>(x >> 32);
    }
    return v;
}

void compress_with(int backend, uint64_t state[8], const uint8_t *p, size_t count)
{
    if (backend == SHA512_BACKEND_AVX2)
        sha512_compress_avx2(state, p, count);
    else
        sha512_compress_portable(state, p, count);
}

/* Runs of whole blocks in one call, odd and even counts (the AVX2 backend
 * takes blocks in pairs), from pointers of any alignment (update hands the
 * caller's memory straight to the backend), each backend against the
 * portable rounds. */
TEST(Sha512, BackendsAgreeOnBlockRunsAtAnyAlignment)
{
    constexpr size_t kMostBlocks = 1031;
    const std::vector<uint8_t> bytes = noise(kMostBlocks * SHA512_BLOCK_BYTES + 16);
    for (size_t offset : {0, 1, 7, 8, 13})
        for (size_t count :
             {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{17}, kMostBlocks}) {
            const uint8_t *p = bytes.data() + offset;
            uint64_t want[8];
            for (int i = 0; i < 8; ++i)
                want[i] = 0x0123456789abcdefULL * static_cast<uint64_t>(i + 1);
            uint64_t start[8];
            std::memcpy(start, want, sizeof start);
            sha512_compress_portable(want, p, count);
            for (int backend : runnable_backends()) {
                uint64_t got[8];
                std::memcpy(got, start, sizeof got);
                compress_with(backend, got, p, count);
                EXPECT_EQ(std::memcmp(got, want, sizeof got), 0)
                    << "backend " << backend << " offset " << offset << " blocks " << count;
            }
        }
}

/* A long message in one update from an odd address, and the same bytes
 * fed in uneven pieces, give one digest on every backend. */
TEST(Sha512, LongUnalignedMessageAgreesAcrossBackends)
{
    const std::vector<uint8_t> bytes = noise((size_t{5} << 20) + 77);
    const std::string m(reinterpret_cast<const char *>(bytes.data()) + 3, bytes.size() - 3);
    ASSERT_EQ(sha512_backend_force(SHA512_BACKEND_PORTABLE), 1);
    const std::string want = sha512_hex(m, m.size());
    for (int backend : runnable_backends()) {
        ASSERT_EQ(sha512_backend_force(backend), 1);
        sha512_ctx c;
        sha512_init(&c);
        sha512_update(&c, bytes.data() + 3, bytes.size() - 3);
        uint8_t out[SHA512_DIGEST_BYTES];
        sha512_final(&c, out);
        EXPECT_EQ(hex_of(out, sizeof out), want) << "backend " << backend;
        EXPECT_EQ(sha512_hex(m, 65536 + 3), want) << "backend " << backend;
    }
    sha512_backend_reselect();
}

TEST(Sha512, FileMatchesMemoryAndAMissingFileFails)
{
    const std::string path = ::testing::TempDir() + "sha512_file_test.bin";
    std::string m;
    for (int i = 0; i < 200000; ++i)
        m += static_cast<char>(i % 251);
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(m.data(), 1, m.size(), f);
    std::fclose(f);
    uint8_t out[SHA512_DIGEST_BYTES] = {};
    ASSERT_EQ(sha512_file(path.c_str(), out), 0);
    EXPECT_EQ(hex_of(out, sizeof out), sha512_hex(m, 4096));

    char text[DIGEST_TEXT_CAP];
    ASSERT_EQ(digest_file_text(path.c_str(), DIGEST_SHA512, text), 0);
    EXPECT_EQ(std::string(text), "sha512:" + sha512_hex(m, 4096));
    std::remove(path.c_str());
    EXPECT_EQ(sha512_file(path.c_str(), out), -1);
    EXPECT_EQ(digest_file_text(path.c_str(), DIGEST_SHA512, text), -1);
}

TEST(DigestText, BothAlgorithmsSpellTheirDigests)
{
    char text[DIGEST_TEXT_CAP];
    digest_bytes_text(DIGEST_SHA256, "abc", 3, text);
    EXPECT_STREQ(text, "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    digest_bytes_text(DIGEST_SHA512, "abc", 3, text);
    EXPECT_EQ(std::string(text), std::string("sha512:") + vectors()[1].hex);
    EXPECT_EQ(std::strlen(text) + 1, size_t{DIGEST_TEXT_CAP});
}

TEST(DigestText, Grammar)
{
    const std::string h64(64, 'a'), h128(128, '0');
    struct row {
        std::string text;
        digest_form form;
        digest_algorithm algorithm;
    };
    const row rows[] = {
        {"sha256:" + h64, DIGEST_FORM_OK, DIGEST_SHA256},
        {"sha512:" + h128, DIGEST_FORM_OK, DIGEST_SHA512},
        /* other algorithms in the general form */
        {"md5:d41d8cd98f00b204e9800998ecf8427e", DIGEST_FORM_UNSUPPORTED, DIGEST_NONE},
        {"sha384:" + std::string(96, 'a'), DIGEST_FORM_UNSUPPORTED, DIGEST_NONE},
        {"multihash+base58:QmRZxt2b1FVZPNqd8hsiykDL3TdBDeTSPX9Kv46HmX4Gx8", DIGEST_FORM_UNSUPPORTED,
         DIGEST_NONE},
        {"sha256+b64u:LCa0a2j_xo_5m0U8HTBBNBNCLXBkg7-g-YpeiGJm564", DIGEST_FORM_UNSUPPORTED,
         DIGEST_NONE},
        /* supported names with the wrong length or case */
        {"sha256:" + h64.substr(1), DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha256:" + h128, DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha512:" + h64, DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha256:" + std::string(64, 'A'), DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha512:" + std::string(127, '0') + "g", DIGEST_FORM_MALFORMED, DIGEST_NONE},
        /* not the general form */
        {"", DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha256", DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha256:", DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {":" + h64, DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"SHA256:" + h64, DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha+:abc", DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"sha++256:abc", DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"md5:abc/def", DIGEST_FORM_MALFORMED, DIGEST_NONE},
        {"md5:abc:def", DIGEST_FORM_MALFORMED, DIGEST_NONE},
    };
    for (const row &r : rows) {
        digest_algorithm a = DIGEST_SHA512;
        EXPECT_EQ(digest_parse(r.text.c_str(), &a), r.form) << r.text;
        EXPECT_EQ(a, r.algorithm) << r.text;
        EXPECT_EQ(digest_text_valid(r.text.c_str()), r.form == DIGEST_FORM_OK ? 1 : 0) << r.text;
    }
    EXPECT_EQ(digest_parse(nullptr, nullptr), DIGEST_FORM_MALFORMED);
    /* A NUL inside the counted text is not part of any digest. */
    const std::string with_nul =
        "sha256:" + h64.substr(0, 10) + std::string(1, '\0') + h64.substr(11);
    EXPECT_EQ(digest_parse_n(with_nul.data(), with_nul.size(), nullptr), DIGEST_FORM_MALFORMED);
}

TEST(DigestText, AlgorithmTable)
{
    EXPECT_STREQ(digest_algorithm_name(DIGEST_SHA256), "sha256");
    EXPECT_STREQ(digest_algorithm_name(DIGEST_SHA512), "sha512");
    EXPECT_STREQ(digest_algorithm_name(DIGEST_NONE), "");
    EXPECT_EQ(digest_hex_len(DIGEST_SHA256), 64u);
    EXPECT_EQ(digest_hex_len(DIGEST_SHA512), 128u);
    EXPECT_EQ(digest_algorithm_of("sha512:00"), DIGEST_SHA512);
    EXPECT_EQ(digest_algorithm_of("sha256:00"), DIGEST_SHA256);
    EXPECT_EQ(digest_algorithm_of("sha2560:00"), DIGEST_NONE);
}

} // namespace
