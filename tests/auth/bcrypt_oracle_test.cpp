/* bcrypt against two other writers on this machine: the C library's crypt()
 * and htpasswd -B. Their hashes verify here, ours verify there, for a table
 * of passwords (empty, non-ASCII, ':' inside, around the 72-byte limit).
 * Linux only: those writers are not part of the Windows build. */
#include <gtest/gtest.h>

#include <crypt.h>

#include <cstdlib>
#include <string>

#include "auth_passwords.h"
#include "test_support.h"

namespace
{

using testsupport::TempDir;

const std::string kPasswords[] = {
    "",
    "pass",
    "p\xc3\xa4sswort \xe2\x9c\x93 \xe6\x97\xa5\xe6\x9c\xac",
    "a:b:c",
    " blanks around ",
    std::string(72, '7'),
    std::string(72, '7') + "3",
    std::string(71, 'x') + "\xc3\xa9",
};

/* crypt() of password under setting; "" when it refuses. */
std::string libc_crypt(const std::string &password, const std::string &setting)
{
    struct crypt_data data = {};
    const char *out = crypt_r(password.c_str(), setting.c_str(), &data);
    return out && out[0] != '*' ? out : "";
}

int check(const std::string &password, const std::string &hash)
{
    return registry_bcrypt_check(password.data(), password.size(), hash.c_str());
}

TEST(BcryptOracle, TheCLibraryAgreesBothWays)
{
    const std::string salt = "/OK.fbVrR/bpIqNJ5ianF.";
    for (const std::string &p : kPasswords) {
        SCOPED_TRACE(p);
        for (const char *prefix : {"$2a$05$", "$2b$04$", "$2y$05$"}) {
            const std::string theirs = libc_crypt(p, prefix + salt);
            ASSERT_EQ(theirs.size(), REGISTRY_BCRYPT_HASH_CAP - 1u) << prefix;
            EXPECT_EQ(check(p, theirs), 1) << theirs;
            EXPECT_EQ(check(p + "!", theirs), p.size() < 72 ? 0 : 1) << theirs;
        }
        char ours[REGISTRY_BCRYPT_HASH_CAP];
        ASSERT_EQ(registry_bcrypt_hash(p.data(), p.size(), 4, ours), 0);
        EXPECT_EQ(libc_crypt(p, ours), ours);
    }
}

TEST(BcryptOracle, HtpasswdEntriesVerifyAndWorkAsAUsersFile)
{
    if (std::system("htpasswd >/dev/null 2>&1; test $? -ne 127") != 0)
        GTEST_SKIP() << "htpasswd is not installed (apache2-utils)";
    TempDir tmp;
    const std::string pw = tmp.sub("password"), users = tmp.sub("users");
    for (const std::string &p : kPasswords) {
        for (int cost : {4, 5}) {
            SCOPED_TRACE(p + " cost " + std::to_string(cost));
            testsupport::write_text(pw, p);
            /* -i: the password from standard input, so no shell quoting. */
            const std::string cmd = "htpasswd -B -C " + std::to_string(cost) + " -c -i '" + users +
                                    "' alice < '" + pw + "' 2>/dev/null";
            ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
            const std::string line = testsupport::read_text(users);
            ASSERT_EQ(line.rfind("alice:$2y$0" + std::to_string(cost) + "$", 0), 0u) << line;
            const std::string hash = line.substr(6, REGISTRY_BCRYPT_HASH_CAP - 1);
            EXPECT_EQ(check(p, hash), 1);
            EXPECT_EQ(registry_users_check(users.c_str(), "alice", 5, p.data(), p.size()),
                      REGISTRY_USERS_OK);
            EXPECT_EQ(registry_users_check(users.c_str(), "alice", 5, "nope", 4),
                      REGISTRY_USERS_DENIED);
        }
    }
}

} // namespace
