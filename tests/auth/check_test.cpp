/* The Basic credential check as a process sees it: the exact 401 answer,
 * the access-log line with its status and actor, and a table of
 * Authorization headers against configured users and passwords. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth_internal.h"
#include "cgi_test_util.h"
#include "platform.h"
#include "sha256.h"
#include "tv_cgi.h"
#include "tv_config.h"
#include "v2_auth.h"

namespace
{

using namespace cgitest;

std::string sha256_hex(const std::string &text)
{
    sha256_ctx ctx;
    uint8_t d[32];
    sha256_init(&ctx);
    sha256_update(&ctx, text.data(), text.size());
    sha256_final(&ctx, d);
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d) {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

std::string url_safe(std::string s)
{
    for (char &c : s)
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    return s;
}

std::string config_for(const std::string &user, const std::string &digest)
{
    // The Basic challenge, as before tokens: the bearer one is tested with the gates.
    return "{\"registry_auth_user\": \"" + user + "\",\n \"registry_auth_sha256\": \"" + digest +
           "\",\n \"registry_token_auth\": false}";
}

const std::string kUnauthorized =
    "Status: 401 Unauthorized\r\n"
    "WWW-Authenticate: Basic realm=\"Vornhalt Registry\"\r\n"
    "Docker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "\r\n"
    "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"authentication required\"}]}\n";

/* A guarded request from a working directory that configures alice with
 * the password "s3cret"; the access log goes to its default root there. */
class BasicAuth : public CgiRequest
{
  protected:
    ScopedEnv env_auth{"HTTP_AUTHORIZATION", nullptr};
    ScopedEnv env_path_info{"PATH_INFO", "/v2/team/app/tags/list"};

    void SetUp() override
    {
        fs::create_directory(tmp.path() / "registry_storage");
        config(config_for("alice", sha256_hex("s3cret")));
    }
    void config(const std::string &text)
    {
        write_text(tmp.path() / "config.json", text);
        tv_config_reload();
    }
    std::string log() const
    {
        return read_text(tmp.path() / "registry_storage" / "registry_access.log");
    }
    bool log_starts(const std::string &head) const { return log().rfind(head, 0) == 0; }
};

TEST_F(BasicAuth, RefusalIsTheExact401AndIsLoggedAnonymously)
{
    for (const char *header : {(const char *)nullptr, "Basic YWxpY2U6d3Jvbmc="}) {
        SCOPED_TRACE(header ? header : "(no header)");
        ScopedEnv h("HTTP_AUTHORIZATION", header);
        fs::remove(tmp.path() / "registry_storage" / "registry_access.log");
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            write_text(result_file(), std::to_string(registry_auth_check()));
        });
        EXPECT_EQ(result(), "0");
        EXPECT_EQ(output(), kUnauthorized);
        EXPECT_EQ(kUnauthorized.size() - kUnauthorized.find("{\"errors"), 73u);
        // The body's size is not noted: the line keeps 0 bytes.
        EXPECT_TRUE(log_starts("GET /v2/team/app/tags/list 73 401 anonymous ")) << log();
    }
}

TEST_F(BasicAuth, SuccessWritesNothingAndNamesTheActor)
{
    ScopedEnv h("HTTP_AUTHORIZATION", ("Basic " + base64("alice:s3cret")).c_str());
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        const int rc = registry_auth_check();
        write_text(result_file(), std::to_string(rc) + " [" + read_text(out_file()) + "]");
        cgi_header_status(200, nullptr);
    });
    EXPECT_EQ(result(), "1 []");
    EXPECT_TRUE(log_starts("GET /v2/team/app/tags/list 0 200 alice ")) << log();
    EXPECT_NE(log().find("\"actor\":\"alice\""), std::string::npos) << log();
}

TEST_F(BasicAuth, AuthenticationOffPassesWithoutLookingAtTheRequest)
{
    ScopedEnv h("HTTP_AUTHORIZATION", "Bearer nonsense");
    for (const std::string &file : {std::string(), std::string("{}")}) {
        SCOPED_TRACE(file);
        if (file.empty())
            fs::remove(tmp.path() / "config.json");
        else
            config(file);
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            write_text(result_file(), std::to_string(registry_auth_check()));
        });
        EXPECT_EQ(result(), "1");
        EXPECT_EQ(output(), "");
    }
}

TEST_F(BasicAuth, UnusableCredentialSettingsFailClosed)
{
    // Once these switched authentication off; now the request is refused.
    ScopedEnv h("HTTP_AUTHORIZATION", nullptr);
    std::string non_hex = sha256_hex("s3cret");
    non_hex[40] = 'g';
    for (const std::string &file :
         {config_for("", sha256_hex("x")), config_for("alice", std::string(63, 'a')),
          config_for("alice", std::string(65, 'a')), config_for("alice", non_hex),
          std::string("{\"registry_auth_user\": \"a\"}")}) {
        SCOPED_TRACE(file);
        config(file);
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            write_text(result_file(), std::to_string(registry_auth_enabled()) + " " +
                                          std::to_string(registry_auth_check()));
        });
        EXPECT_EQ(result(), "0 0");
        EXPECT_EQ(output().rfind("Status: 500 Internal Server Error\r\n", 0), 0u) << output();
        EXPECT_NE(output().find("settings file config.json: "), std::string::npos) << output();
    }
}

TEST_F(BasicAuth, HeadersAgainstConfiguredCredentials)
{
    struct Case {
        std::string header;
        int want;
        std::string user = "alice";
        std::string password = "s3cret";
        bool upper_digest = false;
    };
    const std::string good = base64("alice:s3cret");       // YWxpY2U6czNjcmV0
    const std::string pw_url = "\xfb\xff\xbf\xfb\xff\xbf"; // after "alice:": "+/+/+/+/"
    const std::string user127(127, 'u');
    const std::string pw505(505, 'p');
    std::vector<Case> cases = {
        {"Basic " + good, 1},
        {"basic " + good, 1},
        {"bAsIc\t" + good, 1},
        {"   Basic " + good, 1},
        {"Basic    " + good + "  ", 1},
        {"Basic YWxpY2U6czNjcmV0", 1},
        {"Basic YWxp Y2U6\r\nczNj\tcmV0", 1},
        {"Basic " + base64("alice:a"), 1, "alice", "a"}, // "YWxpY2U6YQ==", padded
        {"Basic YWxpY2U6YQ", 1, "alice", "a"},           // unpadded
        {"Basic YWxpY2U6=YQ", 1, "alice", "a"},          // padding inside
        {"Basic " + url_safe(base64("alice:" + pw_url)), 1, "alice", pw_url},
        {"Basic " + base64("alice:" + pw_url), 1, "alice", pw_url},
        {"Basic " + base64("alice:pa:ss:"), 1, "alice",
         "pa:ss:"},                                    // taken whole after the first ':'
        {"Basic " + base64("alice:"), 1, "alice", ""}, // the empty password
        {"Basic " + base64(user127 + ":x"), 1, user127, "x"},
        {"Basic " + base64("alice:" + pw505), 1, "alice", pw505}, // 511 bytes decoded
        {"Basic " + good, 1, "alice", "s3cret", true},            // digest in upper case
        // Refused.
        {"", 0},
        {"Basic", 0},
        {"Basic ", 0},
        {"Basic     ", 0},
        {"Basic====", 0},
        {"Basic" + good, 0},
        {"\tBasic " + good, 0}, // only spaces may lead
        {"Basi " + good, 0},
        {"Bearer " + good, 0},
        {"Digest username=\"alice\"", 0},
        {"Basic " + good + ".", 0},
        {"Basic " + good + "Q", 0}, // one symbol over
        {"Basic " + base64("alice:wrong"), 0},
        {"Basic " + base64("alicf:s3cret"), 0},
        {"Basic " + base64("blice:s3cret"), 0},
        {"Basic " + base64("alic:s3cret"), 0},
        {"Basic " + base64("alice2:s3cret"), 0},
        {"Basic " + base64(std::string("alice\0:s3cret", 13)), 0},
        {"Basic " + base64("ALICE:s3cret"), 0},
        {"Basic " + base64(":s3cret"), 0},
        {"Basic " + base64("alices3cret"), 0},                                // no colon
        {"Basic " + base64("alice:" + pw505 + "p"), 0, "alice", pw505 + "p"}, // 512 bytes
        {"Basic " + base64(std::string(128, 'u') + ":x"), 0, std::string(127, 'u'), "x"},
        {"Basic " + std::string(200000, 'Q'), 0}, // oversized header
        {"Basic " + std::string(200000, ' '), 0},
    };
    std::string want;
    for (size_t i = 0; i < cases.size(); ++i)
        want += std::to_string(i) + ":" + std::to_string(cases[i].want) + "\n";

    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        std::string got;
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case &c = cases[i];
            std::string digest = sha256_hex(c.password);
            if (c.upper_digest)
                for (char &ch : digest)
                    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            config(config_for(c.user, digest));
            set_env("HTTP_AUTHORIZATION", c.header.c_str());
            got += std::to_string(i) + ":" + std::to_string(registry_auth_check()) + "\n";
        }
        write_text(result_file(), got);
    });
    EXPECT_EQ(result(), want);
}

TEST(Compare, WholeLengthComparisons)
{
    const auto *u = reinterpret_cast<const uint8_t *>("alice");
    EXPECT_EQ(auth::user_equal(u, 5, "alice"), 1);
    EXPECT_EQ(auth::user_equal(u, 4, "alice"), 0);
    EXPECT_EQ(auth::user_equal(u, 5, "alicex"), 0);
    EXPECT_EQ(auth::user_equal(u, 5, "alicf"), 0);
    EXPECT_EQ(auth::user_equal(u, 5, ""), 0);
    const std::string long_user(200, 'a');
    EXPECT_EQ(auth::user_equal(reinterpret_cast<const uint8_t *>(long_user.data()), 200,
                               long_user.c_str()),
              0)
        << "longer than any configured user";

    uint8_t d[32];
    for (int i = 0; i < 32; ++i)
        d[i] = static_cast<uint8_t>(i * 9);
    std::string hex;
    for (uint8_t b : d) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789ABCDEF"[b & 15]; // mixed case on purpose
    }
    EXPECT_EQ(auth::digest_equal(d, hex.c_str()), 1);
    for (size_t pos : {0u, 31u, 63u}) {
        std::string other = hex;
        other[pos] = other[pos] == '0' ? '1' : '0';
        EXPECT_EQ(auth::digest_equal(d, other.c_str()), 0) << pos;
    }
    hex[63] = 'z';
    EXPECT_EQ(auth::digest_equal(d, hex.c_str()), -1);
}

} // namespace
