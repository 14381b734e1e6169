/* The request side: environment, method, path info, query parameters, and
 * the JSON string escape of response bodies. None of it touches the access
 * log, so it runs in the test process itself. */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "tv_cgi.h"

namespace
{

using namespace cgitest;

using Request = CgiRequest;

TEST_F(Request, EnvFallsBackWhenUnsetOrEmpty)
{
    ScopedEnv set("TV_TEST_VAR", "value");
    ScopedEnv empty("TV_TEST_EMPTY", "");
    EXPECT_STREQ(cgi_env("TV_TEST_VAR", "fb"), "value");
    EXPECT_EQ(cgi_env("TV_TEST_VAR", nullptr), std::getenv("TV_TEST_VAR")); // not copied
    EXPECT_STREQ(cgi_env("TV_TEST_EMPTY", "fb"), "fb");
    EXPECT_STREQ(cgi_env("TV_TEST_UNSET", "fb"), "fb");
    EXPECT_STREQ(cgi_env("TV_TEST_UNSET", nullptr), "");
    EXPECT_STREQ(cgi_env("TV_TEST_EMPTY", nullptr), "");
}

TEST_F(Request, MethodAndItsTests)
{
    struct Case {
        const char *method; // nullptr: unset
        const char *want_method;
        int post;
        int head;
    };
    const Case cases[] = {
        {nullptr, "GET", 0, 0}, {"", "GET", 0, 0},      {"GET", "GET", 0, 0},
        {"PO", "PO", 1, 0},     {"POST", "POST", 1, 0}, {"post", "post", 0, 0},
        {"P", "P", 0, 0},       {"HEAD", "HEAD", 0, 1}, {"HEADER", "HEADER", 0, 1},
        {"HEA", "HEA", 0, 0},   {"head", "head", 0, 0}, {"PUT", "PUT", 0, 0},
    };
    for (const auto &c : cases) {
        ScopedEnv m("REQUEST_METHOD", c.method);
        SCOPED_TRACE(c.method ? c.method : "(unset)");
        EXPECT_STREQ(cgi_method(), c.want_method);
        EXPECT_EQ(cgi_is_post(), c.post);
        EXPECT_EQ(cgi_is_head(), c.head);
    }
}

TEST_F(Request, PathInfoDefaultsToRoot)
{
    EXPECT_STREQ(cgi_path_info(), "/");
    {
        ScopedEnv p("PATH_INFO", "");
        EXPECT_STREQ(cgi_path_info(), "/");
    }
    ScopedEnv p("PATH_INFO", "/v2/library/alpine/tags/list");
    EXPECT_STREQ(cgi_path_info(), "/v2/library/alpine/tags/list");
}

TEST_F(Request, QueryLookupAndDecoding)
{
    struct Case {
        const char *query;
        const char *name;
        std::string want;
    };
    const Case cases[] = {
        {"a=1&b=2&a=3", "a", "1"}, // the first match decides
        {"a=1&b=2&a=3", "b", "2"},
        {"a=1&b=2&a=3", "A", ""}, // keys are case-sensitive
        {"a=1&b=2&a=3", "c", ""},
        {"ab=1&a=2", "a", "2"}, // key length must match exactly
        {"a=1&ab=2", "ab", "2"},
        {"flag&x=", "flag", ""},
        {"flag&x=", "x", ""},
        {"&&a=1&", "a", "1"}, // empty segments are skipped
        {"a==b", "a", "=b"},  // value is everything after the first '='
        {"q=a+b%2Fc%2f", "q", "a b/c/"},
        {"q=100%", "q", "100%"},
        {"q=%zz", "q", "%zz"},
        {"q=%4", "q", "%4"},
        {"q=%4&r=1", "q", "%4"}, // hex digits must lie inside the value
        {"q=%g1%41", "q", "%g1A"},
        {"q=%e2%82%ac", "q", "\xe2\x82\xac"},
        {"q=a%00b", "q", "a"}, // a decoded NUL ends the text
        {"q=%2B+", "q", "+ "},
        {"%71=1", "q", ""}, // keys are not decoded
    };
    for (const auto &c : cases) {
        ScopedEnv q("QUERY_STRING", c.query);
        EXPECT_EQ(cgi_query(c.name), c.want) << c.query << " [" << c.name << "]";
    }
}

TEST_F(Request, QueryValueIsCutAt511Bytes)
{
    const std::string value(600, 'v');
    ScopedEnv q("QUERY_STRING", ("x=" + value).c_str());
    EXPECT_EQ(cgi_query("x"), value.substr(0, 511));

    // Encoded bytes count after decoding: 600 encoded bytes give 200.
    std::string encoded;
    for (int i = 0; i < 200; ++i)
        encoded += "%41";
    ScopedEnv q2("QUERY_STRING", ("x=" + encoded).c_str());
    EXPECT_EQ(cgi_query("x"), std::string(200, 'A'));
}

TEST_F(Request, RingHoldsEightResults)
{
    ScopedEnv q("QUERY_STRING", "a=0&b=1&c=2&d=3&e=4&f=5&g=6&h=7&i=8");
    const char *names[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    std::vector<const char *> got;
    for (const char *n : names)
        got.push_back(cgi_query(n));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(std::string(got[i]), std::to_string(i));

    // The ninth lookup reuses the first lookup's buffer.
    const char *ninth = cgi_query("i");
    EXPECT_EQ(ninth, got[0]);
    EXPECT_STREQ(got[0], "8");
    EXPECT_STREQ(got[1], "1");
}

TEST_F(Request, LookupsWithoutNameDoNotMoveTheRing)
{
    ScopedEnv q("QUERY_STRING", "a=keep&b=other");
    const char *kept = cgi_query("a");
    for (int i = 0; i < 10; ++i) {
        EXPECT_STREQ(cgi_query(""), "");
        EXPECT_STREQ(cgi_query(nullptr), "");
    }
    for (int i = 0; i < 7; ++i)
        cgi_query("b");
    EXPECT_STREQ(kept, "keep");
    cgi_query("b"); // the eighth further lookup takes its buffer
    EXPECT_STREQ(kept, "other");
}

TEST_F(Request, MissesAndEnvironmentValuesMoveTheRingToo)
{
    const char *kept = nullptr;
    {
        ScopedEnv q("QUERY_STRING", "a=keep");
        kept = cgi_query("a");
        for (int i = 0; i < 4; ++i)
            EXPECT_STREQ(cgi_query("missing"), "");
    }
    ScopedEnv v("format", "json");
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(cgi_query("format"), "json");
    EXPECT_STREQ(kept, "keep");
    EXPECT_STREQ(cgi_query("format"), "json");
    EXPECT_STREQ(kept, "") << "the eighth lookup empties the first one's buffer";
}

TEST_F(Request, WithoutQueryStringTheVariableOfThatNameAnswers)
{
    struct Case {
        const char *query; // nullptr: unset
        const char *var;   // value of the variable "format"; nullptr: unset
        std::string want;
    };
    const Case cases[] = {
        {nullptr, "json", "json"},
        {"", "json", "json"},
        {nullptr, "a+b%41", "a+b%41"}, // returned as it is, not decoded
        {nullptr, "C:\\a;C:\\b", ""},  // both ';' and ':': refused
        {nullptr, "a;b", "a;b"},
        {nullptr, "a:b", "a:b"},
        {nullptr, "", ""},
        {nullptr, nullptr, ""},
        {"other=1", "json", ""}, // a query string, even without the key, wins
    };
    for (const auto &c : cases) {
        ScopedEnv q("QUERY_STRING", c.query);
        ScopedEnv v("format", c.var);
        EXPECT_EQ(cgi_query("format"), c.want) << (c.var ? c.var : "(unset)");
    }
    ScopedEnv v("format", "json");
    EXPECT_EQ(cgi_query("format"), std::getenv("format")) << "not copied";
}

/* What json_escape_f writes for text. */
std::string escaped(const char *text)
{
    std::FILE *f = std::tmpfile();
    if (!f) return "<tmpfile failed>";
    json_escape_f(f, text);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;)
        s += static_cast<char>(c);
    std::fclose(f);
    return s;
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes)
{
    struct Case {
        const char *text;
        std::string want;
    };
    const Case cases[] = {
        {"plain text", "plain text"},
        {"\"q\"\\", "\\\"q\\\"\\\\"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"\x01\x0b\x1f", "\\u0001\\u000b\\u001f"},
        {"/\x7f", "/\x7f"},                           // '/' and DEL pass through
        {"\xc3\xa9\xff", "\xc3\xa9\xff"},             // high bytes untouched
        {"a\"b\\c\nd\x01", "a\\\"b\\\\c\\nd\\u0001"}, // the mixed message
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(escaped(c.text), c.want) << c.text;
}

TEST(JsonEscape, NullTextOrStreamWritesNothing)
{
    EXPECT_EQ(escaped(nullptr), "");
    json_escape_f(nullptr, "x");
}

} // namespace
