/* The access log. It is set up once per process and writes at exit, so
 * every case runs in a child process started from a private directory
 * that holds the default storage root "./registry_storage". */
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "cgi_test_util.h"
#include "platform.h"
#include "tv_audit.h"
#include "tv_cgi.h"

namespace
{

using namespace cgitest;

const std::string SEP = PLAT_SEP_STR;
const std::string LOG_NAME = "registry_access.log";
constexpr int64_t DEFAULT_CAP = 5242880;

std::string utc_now()
{
    std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return buf;
}

/* "YYYY-MM-DDTHH:MM:SSZ" */
bool is_utc_stamp(const std::string &ts)
{
    const std::string form = "dddd-dd-ddTdd:dd:ddZ";
    if (ts.size() != form.size()) return false;
    for (size_t i = 0; i < ts.size(); ++i) {
        const bool ok = form[i] == 'd' ? (ts[i] >= '0' && ts[i] <= '9') : ts[i] == form[i];
        if (!ok) return false;
    }
    return true;
}

/* One logged request as the test expects it; cuts are the caller's. */
struct Line {
    std::string method = "GET";
    std::string path = "/"; // escaped
    long long bytes = 0;
    int status = 200;
    std::string actor = "anonymous";     // raw
    std::string actor_esc = "anonymous"; // escaped

    std::string record(const std::string &ts) const
    {
        return "{\"ts\":\"" + ts + "\",\"method\":\"" + method + "\",\"path\":\"" + path +
               "\",\"status\":" + std::to_string(status) + ",\"bytes\":" + std::to_string(bytes) +
               ",\"actor\":\"" + actor_esc + "\"}";
    }
    std::string text(const std::string &ts) const
    {
        return method + " " + path + " " + std::to_string(bytes) + " " + std::to_string(status) +
               " " + actor + " " + ts + " " + record(ts) + "\n";
    }
};

class AccessLog : public CgiRequest
{
  protected:
    void SetUp() override { fs::create_directory(root()); }
    fs::path root() const { return tmp.path() / "registry_storage"; }
    fs::path log_path() const { return root() / LOG_NAME; }
    std::string log() const { return read_text(log_path()); }
    void config(const std::string &text) const { write_text(tmp.path() / "config.json", text); }

    /* The time stamp of the logged line, checked for form and against the
     * time around the request. */
    std::string stamp(const std::string &before, const std::string &after) const
    {
        const std::string text = log();
        const size_t at = text.find("{\"ts\":\"");
        if (at == std::string::npos) return "<no record>";
        const std::string ts = text.substr(at + 7, 20);
        EXPECT_TRUE(is_utc_stamp(ts)) << ts;
        EXPECT_LE(before, ts);
        EXPECT_GE(after, ts);
        return ts;
    }

    /* Runs a request that notes what `notes` notes, and checks its line. */
    void expect_line(const std::function<void()> &notes, const Line &want)
    {
        fs::remove(log_path());
        const std::string before = utc_now();
        run_in_child(notes);
        const std::string ts = stamp(before, utc_now());
        EXPECT_EQ(log(), want.text(ts));
    }
};

TEST_F(AccessLog, GetWithoutPathAnsweredWith200LogsTheDocumentedLine)
{
    const std::string before = utc_now();
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        cgi_header_status(200, "OK");
    });
    const std::string ts = stamp(before, utc_now());
    EXPECT_EQ(log(), "GET / 0 200 anonymous " + ts + " {\"ts\":\"" + ts +
                         "\",\"method\":\"GET\",\"path\":\"/\",\"status\":200,\"bytes\":0,"
                         "\"actor\":\"anonymous\"}\n");
}

TEST_F(AccessLog, LastNoteWinsAndNonPositiveNotesAreIgnored)
{
    Line ignored;
    ignored.status = 404;
    expect_line(
        [] {
            tv_audit_note_status(404);
            tv_audit_note_status(0);
            tv_audit_note_status(-1);
            tv_audit_note_bytes(-5);
            tv_audit_note_bytes(0);
            tv_audit_note_actor("");
            tv_audit_note_actor(nullptr);
        },
        ignored);

    Line replaced;
    replaced.method = "PUT";
    replaced.path = "/v2/lib/app/blobs/uploads/";
    replaced.status = 202;
    replaced.bytes = 7;
    replaced.actor = replaced.actor_esc = "bob";
    ScopedEnv m("REQUEST_METHOD", "PUT");
    ScopedEnv p("PATH_INFO", "/v2/lib/app/blobs/uploads/");
    expect_line(
        [] {
            tv_audit_note_status(201);
            tv_audit_note_bytes(5000000000LL);
            tv_audit_note_actor("alice");
            tv_audit_note_status(202);
            tv_audit_note_bytes(7);
            tv_audit_note_actor("bob");
        },
        replaced);
}

TEST_F(AccessLog, NoPositiveStatusNoLine)
{
    run_in_child([] {
        tv_audit_note_bytes(10);
        tv_audit_note_actor("alice");
        tv_audit_note_status(0);
    });
    EXPECT_FALSE(fs::exists(log_path()));
}

TEST_F(AccessLog, DirectFlushWritesTheOnlyLine)
{
    run_in_child([] {
        tv_audit_note_status(200);
        tv_audit_flush();
        tv_audit_note_status(500); // too late: the line is written
        tv_audit_flush();
    });
    const std::string text = log();
    EXPECT_EQ(text.rfind("GET / 0 200 ", 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "exactly one line";
}

TEST_F(AccessLog, PathAndActorAreEscapedAndCut)
{
    struct Case {
        const char *what;
        std::string path_info;
        std::string actor;
        std::string path_esc;
        std::string actor_raw;
        std::string actor_esc;
    };
    const std::string a893(893, 'a');
    const Case cases[] = {
        {"every escape", "/\"\\\n\x01\x0c\x08\t\r\x7f\xc3\xa9 x", "anonymous",
         "/\\\"\\\\\\n\\u0001\\u000c\\u0008\\t\\r\x7f\xc3\xa9 x", "anonymous", "anonymous"},
        {"plain path keeps 893 bytes", std::string(1000, 'a'), "anonymous", a893, "anonymous",
         "anonymous"},
        {"escape may end at byte 898", std::string(892, 'a') + "\x01zzz", "anonymous",
         std::string(892, 'a') + "\\u0001", "anonymous", "anonymous"},
        {"no byte after 893", a893 + "\x01", "anonymous", a893, "anonymous", "anonymous"},
        {"quotes in path", std::string(500, '"'), "anonymous",
         [] {
             std::string s;
             for (int i = 0; i < 447; ++i)
                 s += "\\\"";
             return s;
         }(),
         "anonymous", "anonymous"},
        {"actor raw in the line, escaped in the record", "/", "a\"b\\c", "/", "a\"b\\c",
         "a\\\"b\\\\c"},
        {"actor cut to 159 bytes", "/", std::string(200, 'b'), "/", std::string(159, 'b'),
         std::string(159, 'b')},
        {"escaped actor keeps 157 quotes", "/", std::string(200, '"'), "/", std::string(159, '"'),
         [] {
             std::string s;
             for (int i = 0; i < 157; ++i)
                 s += "\\\"";
             return s;
         }()},
        {"escaped actor ends at byte 318", "/", std::string(200, '\x01'), "/",
         std::string(159, '\x01'),
         [] {
             std::string s;
             for (int i = 0; i < 53; ++i)
                 s += "\\u0001";
             return s;
         }()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv p("PATH_INFO", c.path_info.c_str());
        Line want;
        want.path = c.path_esc;
        want.actor = c.actor_raw;
        want.actor_esc = c.actor_esc;
        const std::string actor = c.actor;
        expect_line(
            [&] {
                tv_audit_note_actor(actor.c_str());
                tv_audit_note_status(200);
            },
            want);
    }
}

TEST_F(AccessLog, LongRecordIsCutAt1199Bytes)
{
    const std::string method(1150, 'M');
    ScopedEnv m("REQUEST_METHOD", method.c_str());
    const std::string before = utc_now();
    run_in_child([] { tv_audit_note_status(200); });
    const std::string ts = stamp(before, utc_now());
    // 39 bytes before the method, 1150 of it, then 10 of the next member.
    const std::string record = "{\"ts\":\"" + ts + "\",\"method\":\"" + method + "\",\"path\":\"";
    ASSERT_EQ(record.size(), 1199u);
    EXPECT_EQ(log(), method + " / 0 200 anonymous " + ts + " " + record + "\n");
}

TEST_F(AccessLog, LongLineIsCutAt2399BytesWithoutLineFeed)
{
    ScopedEnv m("REQUEST_METHOD", std::string(3000, 'M').c_str());
    run_in_child([] { tv_audit_note_status(200); });
    EXPECT_EQ(log(), std::string(2399, 'M'));
}

TEST_F(AccessLog, SettingsComeFromEnvironmentAndConfigFile)
{
    // The default root is one text on every system; the log joins it with
    // the system's separator.
    const std::string def = "./registry_storage" + SEP + LOG_NAME;
    const std::string other = tmp.sub("other");
    const std::string far(20000, ' ');
    const std::string root1379(1379, 'r');
    const std::string root1023(1023, 'r');
    struct Case {
        const char *what;
        std::optional<std::string> config; // nullopt: no file
        std::string env_root;
        int enabled;
        int64_t cap;
        std::string path;
    };
    // Settings the reader refuses turn the log off: where it would go is one
    // of them, and the program refuses the request with the reason anyway.
    const Case cases[] = {
        {"no file", std::nullopt, "", 1, DEFAULT_CAP, def},
        {"empty file: no JSON", "", "", 0, DEFAULT_CAP, ""},
        {"log off", "{\"registry_access_log\": 0}", "", 0, DEFAULT_CAP, ""},
        {"log off, false", "{\"registry_access_log\": false}", "", 0, DEFAULT_CAP, ""},
        {"log off, white space", "{\"registry_access_log\" :\r\n\t 0}", "", 0, DEFAULT_CAP, ""},
        {"quoted: refused", "{\"registry_access_log\": \"1\"}", "", 0, DEFAULT_CAP, ""},
        {"no cap", "{\"registry_access_log_max_bytes\": 0}", "", 1, 0, def},
        {"negative cap: refused", "{\"registry_access_log_max_bytes\": -7}", "", 0, DEFAULT_CAP,
         ""},
        {"cap as text: refused", "{\"registry_access_log_max_bytes\": \"5MB\"}", "", 0, DEFAULT_CAP,
         ""},
        {"storage_root", "{\"storage_root\": \"/srv/reg\"}", "", 1, DEFAULT_CAP,
         "/srv/reg" + SEP + LOG_NAME},
        {"both root keys, the same",
         "{\"storage_root\": \"/a\", \"registry_storage_root\": \"/a\"}", "", 1, DEFAULT_CAP,
         "/a" + SEP + LOG_NAME},
        {"both root keys, different: refused",
         "{\"storage_root\": \"/b\", \"registry_storage_root\": \"/a\"}", "", 0, DEFAULT_CAP, ""},
        {"root value of 1023 bytes", "{\"registry_storage_root\": \"" + root1023 + "\"}", "", 1,
         DEFAULT_CAP, root1023 + SEP + LOG_NAME},
        {"JSON escapes are read", "{\"storage_root\": \"a\\\\b\"}", "", 1, DEFAULT_CAP,
         "a\\b" + SEP + LOG_NAME},
        {"environment wins", "{\"storage_root\": \"/b\"}", other, 1, DEFAULT_CAP,
         other + SEP + LOG_NAME},
        {"file still read with an environment root", "{\"registry_access_log\": 0}", other, 0,
         DEFAULT_CAP, ""},
        {"root ending in a separator", std::nullopt, other + "/", 1, DEFAULT_CAP,
         other + "/" + SEP + LOG_NAME},
        {"path of 1399 bytes", std::nullopt, root1379, 1, DEFAULT_CAP, root1379 + SEP + LOG_NAME},
        {"path of 1400 bytes: off", std::nullopt, root1379 + "r", 0, DEFAULT_CAP, ""},
        {"key far into the file", "{\"_pad\": \"" + far + "\", \"registry_access_log\": 0}", "", 0,
         DEFAULT_CAP, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(tmp.path() / "config.json");
        if (c.config) config(*c.config);
        ScopedEnv r("REGISTRY_STORAGE_ROOT", c.env_root.empty() ? nullptr : c.env_root.c_str());
        run_in_child([&] {
            write_text(result_file(), std::to_string(tv_audit_enabled()) + "|" +
                                          std::to_string(tv_audit_cap_bytes()) + "|" +
                                          tv_audit_log_path());
        });
        EXPECT_EQ(result(), std::to_string(c.enabled) + "|" + std::to_string(c.cap) + "|" + c.path);
    }
}

TEST_F(AccessLog, LogDirectorySettingPlacesTheLogOutsideTheStore)
{
    /* Front-ends sharing a store keep their own logs on local disk. */
    const std::string dir = tmp.sub("local-log");
    fs::create_directories(dir);
    const struct {
        const char *value;
        std::string expected;
    } cases[] = {
        {dir.c_str(), dir + SEP + LOG_NAME},
        {"", log_path().string()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        ScopedEnv d("REGISTRY_ACCESS_LOG_DIR", c.value);
        run_in_child([] { tv_audit_note_status(204); });
        EXPECT_TRUE(fs::exists(c.expected));
        if (*c.value) {
            EXPECT_FALSE(fs::exists(log_path())) << "nothing in the store";
        }
        std::error_code ec;
        fs::remove(c.expected, ec);
    }
}

TEST_F(AccessLog, LogOffWritesNoLine)
{
    config("{\n  \"registry_access_log\": 0\n}\n");
    run_in_child([] { tv_audit_note_status(200); });
    EXPECT_FALSE(fs::exists(log_path()));
}

TEST_F(AccessLog, MissingRootGivesNoLineAndAnUnchangedResponse)
{
    const std::string absent = tmp.sub("absent");
    ScopedEnv r("REGISTRY_STORAGE_ROOT", absent.c_str());
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        cgi_header_status(200, "OK");
        cgi_header_json();
        cgi_headers_end();
        std::fputs("{}\n", stdout);
    });
    EXPECT_EQ(output(),
              "Status: 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n\r\n{}\n");
    EXPECT_FALSE(fs::exists(absent)) << "the log never creates the root";
}

TEST_F(AccessLog, LogBytesReportsTheFileSize)
{
    write_text(log_path(), std::string(123, 'x'));
    run_in_child([&] { write_text(result_file(), std::to_string(tv_audit_log_bytes())); });
    EXPECT_EQ(result(), "123");

    fs::remove(log_path());
    run_in_child([&] { write_text(result_file(), std::to_string(tv_audit_log_bytes())); });
    EXPECT_EQ(result(), "-1");

    write_text(log_path(), "x");
    config("{\"registry_access_log\": 0}");
    run_in_child([&] { write_text(result_file(), std::to_string(tv_audit_log_bytes())); });
    EXPECT_EQ(result(), "-1") << "log off";
}

TEST_F(AccessLog, RotatesOnlyWhenTheLineWouldPassTheCap)
{
    // The line of a plain GET answered 200: its length does not depend on the time.
    const size_t line_len = Line{}.text("1970-01-01T00:00:00Z").size();
    struct Case {
        const char *what;
        const char *config; // nullptr: default cap
        int64_t cap;
        int64_t extra; // the log holds cap - line_len + extra bytes before the request
        bool rotates;
    };
    const Case cases[] = {
        {"exactly reaching the default cap", nullptr, DEFAULT_CAP, 0, false},
        {"one byte over the default cap", nullptr, DEFAULT_CAP, 1, true},
        {"exactly reaching a configured cap", "{\"registry_access_log_max_bytes\": 1000}", 1000, 0,
         false},
        {"well over a configured cap", "{\"registry_access_log_max_bytes\": 1000}", 1000, 500,
         true},
        {"no cap", "{\"registry_access_log_max_bytes\": 0}", DEFAULT_CAP, 1000, false},
    };
    const fs::path old = root() / (LOG_NAME + ".1");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(tmp.path() / "config.json");
        if (c.config) config(c.config);
        const std::string before(static_cast<size_t>(c.cap - line_len + c.extra), 'x');
        write_text(log_path(), before);
        write_text(old, "older generation\n");

        run_in_child([] { tv_audit_note_status(200); });

        const std::string now = log();
        if (c.rotates) {
            EXPECT_EQ(read_text(old), before) << "the log became the .1 generation";
            EXPECT_EQ(now.size(), line_len) << "the new log holds only the new line";
        } else {
            EXPECT_EQ(read_text(old), "older generation\n");
            EXPECT_EQ(now.size(), before.size() + line_len);
            EXPECT_EQ(now.compare(0, before.size(), before), 0);
        }
        EXPECT_EQ(now.substr(now.size() - line_len, 12), "GET / 0 200 ");
    }
}

} // namespace
