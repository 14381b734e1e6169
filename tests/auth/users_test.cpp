/* The users file: which lines count, the warnings for the others, the
 * result kinds, line ends, duplicates, huge lines, and that an unknown user
 * costs what a known one does. */
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "auth_passwords.h"
#include "test_support.h"

namespace
{

using testsupport::TempDir;

/* A cost-4 hash of password (a salt per password keeps them apart). */
std::string hash_of(const std::string &password, int cost = 4)
{
    unsigned char salt[REGISTRY_BCRYPT_SALT_LEN] = {};
    for (size_t i = 0; i < password.size(); ++i)
        salt[i % sizeof salt] =
            static_cast<unsigned char>(salt[i % sizeof salt] * 31 + password[i]);
    char out[REGISTRY_BCRYPT_HASH_CAP];
    EXPECT_EQ(registry_bcrypt_hash_salt(password.data(), password.size(), cost, salt, out), 0);
    return out;
}

class UsersFile : public ::testing::Test
{
  protected:
    /* Writes content as the users file and returns its path. */
    std::string file(const std::string &content)
    {
        testsupport::write_text(tmp_.path() / "users", content);
        return path();
    }
    std::string path() const { return tmp_.sub("users"); }

    /* The result for user:password, the warnings it printed in warned. */
    int check(const std::string &user, const std::string &password)
    {
        ::testing::internal::CaptureStderr();
        const int rc = registry_users_check(path().c_str(), user.data(), user.size(),
                                            password.data(), password.size());
        warned = ::testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string warned;
    TempDir tmp_;
};

struct attempt {
    const char *user;
    std::string password;
    int want;
};

TEST_F(UsersFile, BrokenLinesAreSkippedWithAWarningAndTheRestWork)
{
    const std::string x = hash_of("x");
    const std::string long_name(128, 'n'), longest_name(127, 'n');
    file("# team users\n" /* 1 */
         "\n"             /* 2 */
         "alice:" +
         hash_of("a") +
         "\n"                  /* 3 */
         "bob-without-colon\n" /* 4 */
         ":" +
         x +
         "\n" /* 5 */
         "anonymous:" +
         x +
         "\n" /* 6 */
         "*:" +
         x +
         "\n"                                            /* 7 */
         "carol:$apr1$Qx5C2Yb8$8dgAX6i7mJk2sV1J5x6Xo/\n" /* 8 */
         "dave:{SHA}qUqP5cyxm6YcTAhz05Hph5gvu9M=\n"      /* 9 */
         "erin:rl0ZWkTVXY7nE\n"                          /* 10 */
         "frank:plaintext\n"                             /* 11 */
         + long_name + ":" + x +
         "\n"                     /* 12 */
         "gina:$2y$04$tooshort\n" /* 13 */
         "   heidi:" +
         hash_of("h") +
         "  \t\n"                                                              /* 14 */
         "ivan:$2x$05$/OK.fbVrR/bpIqNJ5ianF.CE5elHaaO4EbggVDjb8P19RukzXSM3e\n" /* 15 */
         "judy:$6$salt$hash\n"                                                 /* 16 */
         "  # indented comment\n"                                              /* 17 */
         + longest_name + ":" + x +
         "\n"   /* 18 */
         "\t\n" /* 19 */
         "bob:" +
         hash_of("b") + "\n"); /* 20 */

    const attempt cases[] = {
        {"alice", "a", REGISTRY_USERS_OK},
        {"bob", "b", REGISTRY_USERS_OK},
        {"heidi", "h", REGISTRY_USERS_OK},
        {longest_name.c_str(), "x", REGISTRY_USERS_OK},
        {"alice", "b", REGISTRY_USERS_DENIED},
        {"", "x", REGISTRY_USERS_DENIED},
        {"anonymous", "x", REGISTRY_USERS_DENIED},
        {"*", "x", REGISTRY_USERS_DENIED},
        {"carol", "password", REGISTRY_USERS_DENIED},
        {"frank", "plaintext", REGISTRY_USERS_DENIED},
        {long_name.c_str(), "x", REGISTRY_USERS_DENIED},
        {"bob-without-colon", "", REGISTRY_USERS_DENIED},
    };
    for (const attempt &a : cases)
        EXPECT_EQ(check(a.user, a.password), a.want) << a.user << ":" << a.password;

    /* One line per broken line, the same whoever asked. */
    const std::string at = "registry: users file " + path() + ", line ";
    const std::vector<std::string> want = {
        at + "4: no ':' between user and hash; line skipped",
        at + "5: empty user name; line skipped",
        at + "6: reserved user name; line skipped",
        at + "7: reserved user name; line skipped",
        at + "8: unsupported hash form MD5 ($apr1$); make it again as bcrypt; line skipped",
        at + "9: unsupported hash form SHA-1 ({SHA}); make it again as bcrypt; line skipped",
        at + "10: unsupported hash form DES crypt; make it again as bcrypt; line skipped",
        at + "11: unsupported hash form (plain text or unknown); make it again as bcrypt; line "
             "skipped",
        at + "12: user name longer than 127 bytes; line skipped",
        at + "13: malformed bcrypt hash; line skipped",
        at + "15: unsupported hash form bcrypt $2x$ (made by a faulty writer); make it again; line "
             "skipped",
        at + "16: unsupported hash form SHA-512-crypt ($6$); make it again as bcrypt; line skipped",
    };
    std::string joined;
    for (const std::string &w : want)
        joined += w + "\n";
    EXPECT_EQ(warned, joined);
}

TEST_F(UsersFile, LineEndsDuplicatesAndHugeLines)
{
    const std::string a = hash_of("pa"), b = hash_of("pb");
    const std::string cap_comment = "#" + std::string(REGISTRY_USERS_LINE_CAP - 2, 'c') + "\n";
    struct kase {
        const char *name;
        std::string content;
        std::vector<attempt> attempts;
        const char *warning; /* a piece of stderr, or "" for none */
    };
    const kase cases[] = {
        {"CRLF line ends",
         "alice:" + a + "\r\nbob:" + b + "\r\n",
         {{"alice", "pa", REGISTRY_USERS_OK}, {"bob", "pb", REGISTRY_USERS_OK}},
         ""},
        {"last line without newline",
         "alice:" + a + "\nbob:" + b,
         {{"bob", "pb", REGISTRY_USERS_OK}, {"bob", "pa", REGISTRY_USERS_DENIED}},
         ""},
        {"the first line of a user counts",
         "alice:" + a + "\nalice:" + b + "\n",
         {{"alice", "pa", REGISTRY_USERS_OK}, {"alice", "pb", REGISTRY_USERS_DENIED}},
         ""},
        {"a huge line is skipped, the next one works",
         "alice:" + a + "\n" + std::string(100000, 'z') + "\nbob:" + b + "\n",
         {{"alice", "pa", REGISTRY_USERS_OK}, {"bob", "pb", REGISTRY_USERS_OK}},
         ", line 2: line too long; line skipped\n"},
        {"a huge last line without newline",
         "alice:" + a + "\n" + std::string(5000, 'z'),
         {{"alice", "pa", REGISTRY_USERS_OK}},
         ", line 2: line too long"},
        {"a line of exactly the capacity is read",
         cap_comment + "bob:" + b + "\n",
         {{"bob", "pb", REGISTRY_USERS_OK}},
         ""},
        {"one byte more is not",
         "#" + cap_comment + "bob:" + b + "\n",
         {{"bob", "pb", REGISTRY_USERS_OK}},
         ", line 1: line too long"},
        {"an empty file", "", {{"alice", "pa", REGISTRY_USERS_DENIED}}, ""},
        {"unknown user and wrong password alike",
         "alice:" + a + "\n",
         {{"mallory", "pa", REGISTRY_USERS_DENIED},
          {"alice", "pb", REGISTRY_USERS_DENIED},
          {"alic", "pa", REGISTRY_USERS_DENIED},
          {"alicee", "pa", REGISTRY_USERS_DENIED},
          {"ALICE", "pa", REGISTRY_USERS_DENIED}},
         ""},
        {"a NUL byte inside a name",
         std::string("al\0ce:", 6) + a + "\n",
         {{"al", "pa", REGISTRY_USERS_DENIED}},
         ""},
    };
    for (const kase &k : cases) {
        SCOPED_TRACE(k.name);
        file(k.content);
        for (const attempt &at : k.attempts)
            EXPECT_EQ(check(at.user, at.password), at.want) << at.user << ":" << at.password;
        if (*k.warning)
            EXPECT_NE(warned.find(k.warning), std::string::npos) << warned;
        else
            EXPECT_EQ(warned, "");
    }
}

TEST_F(UsersFile, AFileThatCannotBeReadIsNoDenial)
{
    EXPECT_EQ(check("alice", "pa"), REGISTRY_USERS_UNREADABLE); /* absent */
    testsupport::fs::create_directory(path());
    EXPECT_EQ(check("alice", "pa"), REGISTRY_USERS_UNREADABLE); /* a directory */
}

TEST_F(UsersFile, AnUnknownUserCostsWhatAWrongPasswordDoes)
{
    /* Cost 8, not the default 10: the dummy must follow the file. Each
     * figure is the best of three, so a busy machine only slows both. */
    file("alice:" + hash_of("pa", 8) + "\n");
    auto best_ms = [&](const char *user) {
        double best = 1e9;
        for (int i = 0; i < 3; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            EXPECT_EQ(check(user, "wrong"), REGISTRY_USERS_DENIED);
            const std::chrono::duration<double, std::milli> d =
                std::chrono::steady_clock::now() - t0;
            best = std::min(best, d.count());
        }
        return best;
    };
    const double known = best_ms("alice"), unknown = best_ms("mallory");
    /* A cost off by two would be 4 times apart. */
    EXPECT_GT(unknown, known / 2) << known << " ms vs " << unknown << " ms";
    EXPECT_LT(unknown, known * 2) << known << " ms vs " << unknown << " ms";
}

TEST(UsersLine, WhatALineHolds)
{
    const std::string h = hash_of("p");
    const std::string line = " alice:" + h + " \r\n";
    registry_users_line e;
    ASSERT_EQ(registry_users_parse_line(line.data(), line.size(), &e), REGISTRY_USERS_LINE_ENTRY);
    EXPECT_EQ(std::string(e.user, e.user_len), "alice");
    EXPECT_EQ(std::string(e.hash, e.hash_len), h);
    EXPECT_EQ(registry_users_parse_line("# x:y", 5, &e), REGISTRY_USERS_LINE_BLANK);
    EXPECT_EQ(registry_users_parse_line("", 0, &e), REGISTRY_USERS_LINE_BLANK);
    EXPECT_EQ(registry_users_parse_line("a:b:c", 5, &e), REGISTRY_USERS_LINE_BROKEN);
    EXPECT_STREQ(e.reason,
                 "unsupported hash form (plain text or unknown); make it again as bcrypt");
    EXPECT_EQ(registry_users_parse_line("a:", 2, &e), REGISTRY_USERS_LINE_BROKEN);
    EXPECT_STREQ(e.reason, "empty hash");
}

} // namespace
