/*
 * auth_bcrypt.cpp - bcrypt: Blowfish with an expensive key schedule
 * (eksblowfish), as published by its authors in 1999.
 *
 * The key schedule starts from Blowfish's initial state (pi's digits),
 * mixes in the salt and the key, then alternates 2^cost re-keyings with the
 * key and with the salt. The state then encrypts "OrpheanBeholderScryDoubt"
 * 64 times; 23 of its 24 bytes form the hash. The key is the password's
 * bytes and a NUL, repeated; only the first 72 bytes of that count.
 *
 * $2b$ and $2y$ name the same computation: they mark fixes of faults in
 * particular implementations, not changes to the algorithm. $2a$ is that
 * computation too, but for one guard of the C libraries' bcrypt (see
 * guard_2a), kept so their $2a$ hashes verify here for every password.
 */
#include "auth_passwords.h"
#include "auth_bcrypt_pi.h"

#include "platform.h"

#include <string.h>

#include <string_view>

namespace
{

constexpr std::string_view kAlphabet =
    "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kKeyMax = 72;    /* bytes of key that take part */
constexpr size_t kPrefixLen = 7;  /* "$2y$10$" */
constexpr size_t kSaltChars = 22; /* 16 bytes */
constexpr size_t kDigestLen = 23; /* the 24th byte of the cipher text is dropped */
constexpr size_t kDigestChars = 31;
constexpr size_t kHashLen = kPrefixLen + kSaltChars + kDigestChars;
constexpr int kCipherRounds = 64;
static_assert(kHashLen + 1 == REGISTRY_BCRYPT_HASH_CAP);

struct blowfish {
    uint32_t p[18];
    uint32_t s[4][256];
};

inline uint32_t feistel(const blowfish &b, uint32_t x)
{
    return ((b.s[0][x >> 24] + b.s[1][(x >> 16) & 0xff]) ^ b.s[2][(x >> 8) & 0xff]) +
           b.s[3][x & 0xff];
}

/* One block, 16 rounds with the halves' swaps folded into the order. */
inline void encrypt(const blowfish &b, uint32_t &l, uint32_t &r)
{
    for (int i = 0; i < 16; i += 2) {
        l ^= b.p[i];
        r ^= feistel(b, l);
        r ^= b.p[i + 1];
        l ^= feistel(b, r);
    }
    const uint32_t out_l = r ^ b.p[17];
    r = l ^ b.p[16];
    l = out_l;
}

/* Blowfish's key schedule over the current state: the P-array takes the
 * key words, then every P and S entry is replaced, in order, by the
 * encryption of a running block. In the salted form (only the first) the
 * block takes the salt's two halves in turn before each encryption. */
template <bool Salted> void expand(blowfish &b, const uint32_t key[18], const uint32_t salt[4])
{
    for (int i = 0; i < 18; ++i)
        b.p[i] ^= key[i];
    uint32_t l = 0, r = 0;
    int half = 0;
    auto next = [&](uint32_t *slot) {
        if constexpr (Salted) {
            l ^= salt[half];
            r ^= salt[half + 1];
            half ^= 2;
        }
        encrypt(b, l, r);
        slot[0] = l;
        slot[1] = r;
    };
    for (int i = 0; i < 18; i += 2)
        next(&b.p[i]);
    for (auto &box : b.s)
        for (int i = 0; i < 256; i += 2)
            next(&box[i]);
}

/* Zeroes through a volatile pointer: a plain memset of memory about to go
 * out of scope may be dropped as a dead store. */
void wipe(void *p, size_t n)
{
    volatile unsigned char *b = static_cast<unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        b[i] = 0;
}

/* 18 big-endian words from bytes taken cyclically. */
void key_words(const unsigned char *bytes, size_t len, uint32_t out[18])
{
    size_t pos = 0;
    for (int i = 0; i < 18; ++i) {
        uint32_t w = 0;
        for (int k = 0; k < 4; ++k) {
            w = w << 8 | bytes[pos];
            pos = pos + 1 == len ? 0 : pos + 1;
        }
        out[i] = w;
    }
}

/* bcrypt's own Base64: its alphabet, no padding. */
void encode64(const unsigned char *in, size_t n, char *out)
{
    for (size_t i = 0; i < n; i += 3) {
        const unsigned b0 = in[i];
        const unsigned b1 = i + 1 < n ? in[i + 1] : 0;
        const unsigned b2 = i + 2 < n ? in[i + 2] : 0;
        *out++ = kAlphabet[b0 >> 2];
        *out++ = kAlphabet[(b0 & 3) << 4 | b1 >> 4];
        if (i + 1 < n) *out++ = kAlphabet[(b1 & 15) << 2 | b2 >> 6];
        if (i + 2 < n) *out++ = kAlphabet[b2 & 63];
    }
}

int symbol(char c)
{
    const size_t at = kAlphabet.find(c);
    return at == std::string_view::npos || c == '\0' ? -1 : static_cast<int>(at);
}

/* n bytes from the symbols at in (as many as n bytes need). 0 or -1. */
int decode64(const char *in, size_t n, unsigned char *out)
{
    uint32_t acc = 0;
    int bits = 0;
    size_t done = 0;
    while (done < n) {
        const int v = symbol(*in++);
        if (v < 0) return -1;
        acc = acc << 6 | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[done++] = static_cast<unsigned char>(acc >> bits);
        }
    }
    return 0;
}

/* A fault of an old C implementation read key bytes >= 0x80 as signed, so
 * each smeared ones over the bytes before it in its 32-bit word. Its fixed
 * successor marks $2a$ keys where that fault would have changed nothing
 * though such a byte sits after a word's first place (every byte before it
 * in the word is 0xff): their first key word gets bit 16 flipped, in the
 * first, salted expansion only, so that no such hash matches one the faulty
 * code made. UTF-8 never holds 0xff: text passwords are never concerned. */
bool guard_2a(const unsigned char *key, size_t len)
{
    size_t pos = 0;
    bool late_high = false, differs = false;
    for (int i = 0; i < 18; ++i) {
        uint32_t right = 0, smeared = 0;
        for (int k = 0; k < 4; ++k) {
            const unsigned char c = key[pos];
            right = right << 8 | c;
            smeared = smeared << 8 | (c & 0x80 ? 0xffffff00u | c : c);
            if (k > 0 && (c & 0x80)) late_high = true;
            pos = pos + 1 == len ? 0 : pos + 1;
        }
        if (right != smeared) differs = true;
    }
    return late_high && !differs;
}

/* The 23 digest bytes of password under cost and salt; guard: the $2a$
 * form. */
void digest(const void *password, size_t len, int cost, const unsigned char salt[16], bool guard,
            unsigned char out[kDigestLen])
{
    unsigned char key[kKeyMax];
    const size_t used = len < kKeyMax ? len : kKeyMax;
    if (used) memcpy(key, password, used);
    size_t key_len = used;
    if (key_len < kKeyMax) key[key_len++] = 0;

    uint32_t kw[18], sw[18], salt4[4];
    key_words(key, key_len, kw);
    key_words(salt, 16, sw);
    for (int i = 0; i < 4; ++i)
        salt4[i] = sw[i];

    blowfish b;
    memcpy(b.p, auth::kBlowfishP, sizeof b.p);
    memcpy(b.s, auth::kBlowfishS, sizeof b.s);
    const uint32_t flip = guard && guard_2a(key, key_len) ? 0x10000u : 0;
    kw[0] ^= flip;
    expand<true>(b, kw, salt4);
    kw[0] ^= flip;
    for (uint64_t round = 0, n = uint64_t{1} << cost; round < n; ++round) {
        expand<false>(b, kw, nullptr);
        expand<false>(b, sw, nullptr);
    }

    static const unsigned char kMagic[] = "OrpheanBeholderScryDoubt";
    uint32_t text[18];
    key_words(kMagic, 24, text); /* the first 6 words are the text */
    for (int i = 0; i < kCipherRounds; ++i)
        for (int k = 0; k < 6; k += 2)
            encrypt(b, text[k], text[k + 1]);
    for (size_t i = 0; i < kDigestLen; ++i)
        out[i] = static_cast<unsigned char>(text[i / 4] >> (24 - 8 * (i % 4)));

    /* The key and the state it made are the password's close kin. */
    wipe(key, sizeof key);
    wipe(kw, sizeof kw);
    wipe(&b, sizeof b);
}

/* Splits a "$2?$NN$" + salt + digest text. 0 with the cost and the salt, or
 * -1 when it is no bcrypt hash this build verifies. */
int parse(const char *hash, int *cost, unsigned char salt[16])
{
    if (!hash || strnlen(hash, kHashLen + 1) != kHashLen) return -1;
    if (hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$') return -1;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return -1;
    if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') return -1;
    *cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (*cost < REGISTRY_BCRYPT_MIN_COST || *cost > REGISTRY_BCRYPT_MAX_COST) return -1;
    for (size_t i = kPrefixLen; i < kHashLen; ++i)
        if (symbol(hash[i]) < 0) return -1;
    return decode64(hash + kPrefixLen, 16, salt);
}

/* The whole hash text in the form variant ('a', 'b' or 'y') names. */
int hash_text(const void *password, size_t len, int cost, const unsigned char salt[16],
              char variant, char out[REGISTRY_BCRYPT_HASH_CAP])
{
    if (cost < REGISTRY_BCRYPT_MIN_COST || cost > REGISTRY_BCRYPT_MAX_COST) return -1;
    if (!password && len) return -1;
    unsigned char d[kDigestLen];
    digest(password, len, cost, salt, variant == 'a', d);
    out[0] = '$';
    out[1] = '2';
    out[2] = variant;
    out[3] = '$';
    out[4] = static_cast<char>('0' + cost / 10);
    out[5] = static_cast<char>('0' + cost % 10);
    out[6] = '$';
    encode64(salt, 16, out + kPrefixLen);
    encode64(d, kDigestLen, out + kPrefixLen + kSaltChars);
    out[kHashLen] = '\0';
    return 0;
}

} // namespace

int registry_bcrypt_hash_salt(const void *password, size_t len, int cost,
                              const unsigned char salt[REGISTRY_BCRYPT_SALT_LEN],
                              char out[REGISTRY_BCRYPT_HASH_CAP])
{
    return hash_text(password, len, cost, salt, 'y', out);
}

int registry_bcrypt_hash(const void *password, size_t len, int cost,
                         char out[REGISTRY_BCRYPT_HASH_CAP])
{
    unsigned char salt[REGISTRY_BCRYPT_SALT_LEN];
    if (plat_random_bytes(salt, sizeof salt) != 0) return -1;
    return registry_bcrypt_hash_salt(password, len, cost, salt, out);
}

int registry_bcrypt_cost(const char *hash)
{
    int cost;
    unsigned char salt[16];
    return parse(hash, &cost, salt) == 0 ? cost : -1;
}

int registry_bcrypt_check(const void *password, size_t len, const char *hash)
{
    int cost;
    unsigned char salt[16];
    if (parse(hash, &cost, salt) != 0) return -1;
    if (!password && len) return 0;
    char mine[REGISTRY_BCRYPT_HASH_CAP];
    if (hash_text(password, len, cost, salt, hash[2], mine) != 0) return -1;
    /* Only the digest is compared: the salt's last symbol carries two
     * unused bits, which another writer may have set. Every byte is looked
     * at whatever the first difference. */
    volatile unsigned diff = 0;
    for (size_t i = kPrefixLen + kSaltChars; i < kHashLen; ++i)
        diff = diff | static_cast<unsigned>(mine[i] ^ hash[i]);
    return diff == 0 ? 1 : 0;
}
