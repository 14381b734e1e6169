/* bcrypt: the published test vectors (all three prefixes, the 72-byte
 * limit, bytes >= 0x80), hashes we make, and texts that are no bcrypt hash. */
#include <gtest/gtest.h>

#include <string>

#include "auth_passwords.h"

namespace
{

int check(const std::string &password, const std::string &hash)
{
    return registry_bcrypt_check(password.data(), password.size(), hash.c_str());
}

std::string hash_with(const std::string &password, int cost, const unsigned char salt[16])
{
    char out[REGISTRY_BCRYPT_HASH_CAP];
    if (registry_bcrypt_hash_salt(password.data(), password.size(), cost, salt, out) != 0)
        return "<failed>";
    return out;
}

/* The vectors published with the original C implementation and its fixed
 * successor; cost 5 keeps them quick. */
struct vector {
    const char *hash;
    std::string password;
};
const vector kPublished[] = {
    {"$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW", "U*U"},
    {"$2a$05$CCCCCCCCCCCCCCCCCCCCC.VGOzA784oUp/Z0DY336zx7pLYAy0lwK", "U*U*"},
    {"$2a$05$XXXXXXXXXXXXXXXXXXXXXOAcXxm9kjPGEMsLznoKqmqw7tc8WCx4a", "U*U*U"},
    {"$2a$05$abcdefghijklmnopqrstuu5s2v8.iXieOjg/.AySBTTZIIVFJeBui",
     "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
     "chars after 72 are ignored"},
    {"$2a$05$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy", ""},
    {"$2y$05$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy", ""},
    {"$2y$05$/OK.fbVrR/bpIqNJ5ianF.Sa7shbm4.OzKpvFnX1pQLmQW96oUlCq", "\xa3"},
    {"$2a$05$/OK.fbVrR/bpIqNJ5ianF.Sa7shbm4.OzKpvFnX1pQLmQW96oUlCq", "\xa3"},
    {"$2a$05$/OK.fbVrR/bpIqNJ5ianF.6IflQkJytoRVc1yuaNtHfiuq.FRlSIS", "\xa3"
                                                                     "ab"},
    {"$2y$05$/OK.fbVrR/bpIqNJ5ianF.6IflQkJytoRVc1yuaNtHfiuq.FRlSIS", "\xa3"
                                                                     "ab"},
    {"$2y$05$/OK.fbVrR/bpIqNJ5ianF.nRht2l/HRhr6zmCp9vYUvvsqynflf9e", "\xff\xa3"
                                                                     "345"},
    {"$2a$05$/OK.fbVrR/bpIqNJ5ianF.nRht2l/HRhr6zmCp9vYUvvsqynflf9e", "\xff\xa3"
                                                                     "345"},
    /* The one password here where $2a$ differs: its guard flips a key bit. */
    {"$2y$05$/OK.fbVrR/bpIqNJ5ianF.o./n25XVfn6oAPaUvHe.Csk4zRfsYPi", "\xff\xa3"
                                                                     "34\xff\xff\xff\xa3"
                                                                     "345"},
    {"$2b$05$/OK.fbVrR/bpIqNJ5ianF.o./n25XVfn6oAPaUvHe.Csk4zRfsYPi", "\xff\xa3"
                                                                     "34\xff\xff\xff\xa3"
                                                                     "345"},
    {"$2a$05$/OK.fbVrR/bpIqNJ5ianF.ZC1JEJ8Z4gPfpe1JOr/oyPXTWl9EFd.", "\xff\xa3"
                                                                     "34\xff\xff\xff\xa3"
                                                                     "345"},
    {"$2a$05$/OK.fbVrR/bpIqNJ5ianF.swQOIzjOiJ9GHEPuhEkvqrUyvWhEMx6", std::string(72, '\xaa')},
    {"$2a$05$/OK.fbVrR/bpIqNJ5ianF.R9xrDjiycxMbQE2bp.vgqlYpW5wx2yy",
     [] {
         std::string s;
         for (int i = 0; i < 36; ++i)
             s += "\xaa\x55";
         return s;
     }()},
    {"$2a$05$/OK.fbVrR/bpIqNJ5ianF.9tQZzcJfm3uj2NvJ/n5xkhpqLrMpWCe",
     [] {
         std::string s;
         for (int i = 0; i < 24; ++i)
             s += "\x55\xaa\xff";
         return s;
     }()},
};

TEST(Bcrypt, PublishedVectorsVerifyAndNothingElseDoes)
{
    for (const vector &v : kPublished) {
        SCOPED_TRACE(v.hash);
        EXPECT_EQ(check(v.password, v.hash), 1);
        EXPECT_EQ(check(v.password + "x", v.hash), v.password.size() < 72 ? 0 : 1);
        if (!v.password.empty()) {
            std::string flipped = v.password;
            flipped[0] = static_cast<char>(flipped[0] ^ 1);
            EXPECT_EQ(check(flipped, v.hash), 0);
        }
        EXPECT_EQ(registry_bcrypt_cost(v.hash), 5);
    }
}

TEST(Bcrypt, MakesThePublishedHashFromItsSalt)
{
    /* "CCCCCCCCCCCCCCCCCCCCC." and "/OK.fbVrR/bpIqNJ5ianF." as bytes. */
    const unsigned char c_salt[16] = {0x10, 0x41, 0x04, 0x10, 0x41, 0x04, 0x10, 0x41,
                                      0x04, 0x10, 0x41, 0x04, 0x10, 0x41, 0x04, 0x10};
    EXPECT_EQ(hash_with("", 5, c_salt),
              "$2y$05$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy");
    const unsigned char ok_salt[16] = {0x05, 0x03, 0x00, 0x85, 0xd5, 0xed, 0x4c, 0x17,
                                       0x6b, 0x2a, 0xc3, 0xcb, 0xee, 0x47, 0x29, 0x1c};
    EXPECT_EQ(hash_with("\xa3", 5, ok_salt),
              "$2y$05$/OK.fbVrR/bpIqNJ5ianF.Sa7shbm4.OzKpvFnX1pQLmQW96oUlCq");
}

TEST(Bcrypt, OnlyTheFirst72BytesCount)
{
    const unsigned char salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::string p72(72, 'k');
    const std::string h72 = hash_with(p72, 4, salt);
    EXPECT_EQ(hash_with(p72 + "A", 4, salt), h72);
    EXPECT_EQ(hash_with(p72 + std::string(200, 'B'), 4, salt), h72);
    EXPECT_EQ(check(p72 + "anything", h72), 1);
    /* 71 bytes and its NUL fill the 72 too, but differ from 72 bytes. */
    EXPECT_NE(hash_with(p72.substr(0, 71), 4, salt), h72);
    EXPECT_EQ(check(p72.substr(0, 71), h72), 0);
    /* A NUL inside is a byte of the password, not its end. */
    EXPECT_NE(hash_with(std::string("ab\0cd", 5), 4, salt), hash_with("ab", 4, salt));
}

TEST(Bcrypt, OurHashesUseFreshSaltsAndAnyPrefixVerifies)
{
    char a[REGISTRY_BCRYPT_HASH_CAP], b[REGISTRY_BCRYPT_HASH_CAP];
    ASSERT_EQ(registry_bcrypt_hash("secret", 6, 4, a), 0);
    ASSERT_EQ(registry_bcrypt_hash("secret", 6, 4, b), 0);
    EXPECT_STRNE(a, b);
    EXPECT_EQ(std::string(a).substr(0, 7), "$2y$04$");
    EXPECT_EQ(std::string(a).size(), REGISTRY_BCRYPT_HASH_CAP - 1u);
    for (char prefix : {'a', 'b', 'y'}) {
        std::string h = a;
        h[2] = prefix;
        EXPECT_EQ(check("secret", h), 1) << h;
        EXPECT_EQ(check("Secret", h), 0) << h;
    }
    EXPECT_EQ(check("secret", b), 1);
    for (int cost : {3, 32, -1})
        EXPECT_EQ(registry_bcrypt_hash("secret", 6, cost, a), -1) << cost;
}

TEST(Bcrypt, TextsThatAreNoBcryptHash)
{
    const std::string good = "$2y$05$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy";
    const std::string cases[] = {
        "",
        good.substr(0, 59),
        good + "y",
        "$2x" + good.substr(3),
        "$3y" + good.substr(3),
        "$2y$03" + good.substr(6),
        "$2y$32" + good.substr(6),
        "$2y$5$" + good.substr(6) + "C",
        "$2y$05$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWN!",
        "$2y$05$CCCCCCCCCCCCCCCCCCCC$.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy",
        "$apr1$abcdefgh$0123456789abcdefghijkl",
        "{SHA}qUqP5cyxm6YcTAhz05Hph5gvu9M=",
    };
    for (const std::string &h : cases) {
        EXPECT_EQ(check("", h), -1) << h;
        EXPECT_EQ(registry_bcrypt_cost(h.c_str()), -1) << h;
    }
    EXPECT_EQ(registry_bcrypt_check("", 0, nullptr), -1);
}

} // namespace
