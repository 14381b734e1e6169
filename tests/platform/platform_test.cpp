/*
 * platform_test.cpp - the contract of platform.h, checked the same way on
 * every backend: what the storage engine and the access log rely on.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#ifndef _WIN32
#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform.h"
#include "test_support.h"

namespace
{

using namespace testsupport;

class Platform : public ::testing::Test
{
  protected:
    TempDir tmp;
    std::string p(const std::string &name) const { return tmp.str() + PLAT_SEP_STR + name; }
};

TEST_F(Platform, StatReportsKindAndSize)
{
    write_text(p("f"), "12345");
    fs::create_directory(p("d"));
    plat_file_info fi{};
    ASSERT_EQ(plat_stat(p("f").c_str(), &fi), 0);
    EXPECT_EQ((fi.is_dir), 0);
    EXPECT_EQ(fi.size, 5);
    ASSERT_EQ(plat_stat(p("d").c_str(), &fi), 0);
    EXPECT_EQ(fi.is_dir, 1);
    EXPECT_EQ(fi.size, 0);
    EXPECT_EQ(plat_stat(p("missing").c_str(), &fi), -1);
    EXPECT_EQ(plat_stat(nullptr, &fi), -1);

    EXPECT_EQ(plat_is_file(p("f").c_str()), 1);
    EXPECT_EQ(plat_is_dir(p("f").c_str()), 0);
    EXPECT_EQ(plat_is_dir(p("d").c_str()), 1);
    EXPECT_EQ(plat_dir_exists(p("d").c_str()), 1);
    EXPECT_EQ(plat_dir_exists(p("f").c_str()), 0);
    EXPECT_EQ(plat_dir_exists(p("missing").c_str()), 0);
}

TEST_F(Platform, SizesPastFourGibibytesAreWhole)
{
    // Sparse where the file system allows; the high half of the size must
    // not be lost (Windows reports it in a separate 32-bit field).
    const int64_t size = (int64_t{5} << 30) + 7;
    write_text(p("big"), "");
    std::error_code ec;
    fs::resize_file(p("big"), static_cast<uintmax_t>(size), ec);
    if (ec) GTEST_SKIP() << "cannot make a 5 GiB file here: " << ec.message();
    plat_file_info fi{};
    ASSERT_EQ(plat_stat(p("big").c_str(), &fi), 0);
    EXPECT_EQ(fi.size, size);

    plat_dir *d = plat_dir_open(tmp.str().c_str());
    ASSERT_NE(d, nullptr);
    const char *name;
    int is_dir;
    int64_t listed = -1;
    while (plat_dir_next(d, &name, &is_dir))
        if (std::strcmp(name, "big") == 0 && plat_dir_entry_info(d, &fi) == 0) listed = fi.size;
    plat_dir_close(d);
    EXPECT_EQ(listed, size);
    fs::remove(p("big"));
}

TEST_F(Platform, LastWriteTimeRoundTripsInUnixSeconds)
{
    write_text(p("f"), "x");
    fs::create_directory(p("d"));
    // 1970 itself, a leap day, past 2038 (32-bit time_t) and past 2106
    // (32-bit unsigned seconds).
    for (int64_t t : {int64_t{0}, int64_t{951782400}, int64_t{2208988800}, int64_t{4354819200}}) {
        for (const char *name : {"f", "d"}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(t));
            ASSERT_EQ(plat_set_mtime(p(name).c_str(), t), 0);
            plat_file_info fi{};
            ASSERT_EQ(plat_stat(p(name).c_str(), &fi), 0);
            EXPECT_EQ(fi.mtime, t);
        }
    }
    EXPECT_EQ(plat_set_mtime(p("missing").c_str(), 1000), -1);
}

TEST_F(Platform, EnumerationListsEveryEntryWithItsKind)
{
    write_text(p("a.txt"), "abc");
    fs::create_directory(p("sub"));
    ASSERT_EQ(plat_set_mtime(p("a.txt").c_str(), 1600000000), 0);

    plat_dir *d = plat_dir_open(tmp.str().c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> files, dirs;
    const char *name;
    int is_dir;
    while (plat_dir_next(d, &name, &is_dir)) {
        (is_dir ? dirs : files).insert(name);
        plat_file_info fi{};
        ASSERT_EQ(plat_dir_entry_info(d, &fi), 0) << name;
        EXPECT_EQ(fi.is_dir, is_dir) << name;
        if (std::strcmp(name, "a.txt") == 0) {
            EXPECT_EQ(fi.size, 3);
            EXPECT_EQ(fi.mtime, 1600000000);
        }
    }
    EXPECT_EQ(plat_dir_next(d, &name, &is_dir), 0) << "the end stays the end";
    plat_dir_close(d);
    // A drive's root directory lacks "." and "..", so only their kind is
    // checked where they appear.
    dirs.erase(".");
    dirs.erase("..");
    EXPECT_EQ(files, (std::set<std::string>{"a.txt"}));
    EXPECT_EQ(dirs, (std::set<std::string>{"sub"}));
}

TEST_F(Platform, EnumerationOpensDirectoriesOnly)
{
    write_text(p("f"), "x");
    fs::create_directory(p("empty"));
    struct Case {
        std::string path;
        bool opens;
    } cases[] = {
        {p("empty"), true},
        {p("empty") + PLAT_SEP_STR, true}, // a trailing separator is no second level
        {p("f"), false},
        {p("missing"), false},
        {"", false},
    };
    for (const auto &c : cases) {
        plat_dir *d = plat_dir_open(c.path.c_str());
        EXPECT_EQ(d != nullptr, c.opens) << c.path;
        if (!d) continue;
        const char *name;
        int is_dir;
        while (plat_dir_next(d, &name, &is_dir))
            EXPECT_TRUE(!std::strcmp(name, ".") || !std::strcmp(name, "..")) << name;
        plat_dir_close(d);
    }
    EXPECT_EQ(plat_dir_open(nullptr), nullptr);
    plat_dir_close(nullptr);
    EXPECT_EQ(plat_dir_next(nullptr, nullptr, nullptr), 0);
}

TEST_F(Platform, MkdirRmdirAndRemoveKeepToTheirKind)
{
    write_text(p("f"), "x");
    EXPECT_EQ(plat_mkdir(p("d").c_str()), PLAT_MKDIR_CREATED);
    EXPECT_EQ(plat_mkdir(p("d").c_str()), PLAT_MKDIR_EXISTS);
    EXPECT_EQ(plat_mkdir(p("f").c_str()), PLAT_MKDIR_EXISTS); // whatever stands there
    EXPECT_EQ(plat_mkdir(p("no" PLAT_SEP_STR "parent").c_str()), -1);

    write_text(p("d" PLAT_SEP_STR "inner"), "x");
    EXPECT_EQ(plat_rmdir(p("d").c_str()), -1) << "not empty";
    EXPECT_EQ(plat_remove(p("d").c_str()), -1) << "files only";
    EXPECT_EQ(plat_remove(p("d" PLAT_SEP_STR "inner").c_str()), 0);
    EXPECT_EQ(plat_rmdir(p("d").c_str()), 0);
    EXPECT_FALSE(fs::exists(p("d")));
    EXPECT_EQ(plat_remove(p("f").c_str()), 0);
    EXPECT_EQ(plat_remove(p("f").c_str()), -1);
}

TEST_F(Platform, ExclusiveCreateRefusesAnyExistingName)
{
    write_text(p("taken"), "someone else's bytes");
    fs::create_directory(p("dir"));
    EXPECT_EQ(plat_create_excl(p("new").c_str()), 0);
    EXPECT_TRUE(fs::is_regular_file(p("new")));
    EXPECT_EQ(fs::file_size(p("new")), 0u);
    EXPECT_EQ(plat_create_excl(p("new").c_str()), -1);
    EXPECT_EQ(plat_create_excl(p("taken").c_str()), -1);
    EXPECT_EQ(read_text(p("taken")), "someone else's bytes") << "never truncated";
    EXPECT_EQ(plat_create_excl(p("dir").c_str()), -1);
    EXPECT_EQ(plat_create_excl(p("no" PLAT_SEP_STR "file").c_str()), -1);
}

TEST_F(Platform, PrivateFilesAndCopiedPermissions)
{
    using fs::perms;
    EXPECT_EQ(plat_create_private(p("secret").c_str()), 0);
    EXPECT_EQ(fs::file_size(p("secret")), 0u);
    EXPECT_EQ(plat_create_private(p("secret").c_str()), -1) << "exclusive, as plat_create_excl";
    EXPECT_EQ(plat_copy_mode(p("absent").c_str(), p("secret").c_str()), -1);
    FILE *f = std::fopen(p("secret").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("kept", f);
    EXPECT_EQ(plat_fsync(f), 0);
    std::fclose(f);
    EXPECT_EQ(read_text(p("secret")), "kept");
#ifndef _WIN32
    const perms mask = perms::all;
    EXPECT_EQ(fs::status(p("secret")).permissions() & mask,
              perms::owner_read | perms::owner_write | perms::group_read);
    write_text(p("like"), "");
    fs::permissions(p("like"), perms::owner_read | perms::others_read, fs::perm_options::replace);
    EXPECT_EQ(plat_copy_mode(p("like").c_str(), p("secret").c_str()), 0);
    EXPECT_EQ(fs::status(p("secret")).permissions() & mask, perms::owner_read | perms::others_read);
#else
    write_text(p("like"), "");
    EXPECT_EQ(plat_copy_mode(p("like").c_str(), p("secret").c_str()), 0);
#endif
}

TEST_F(Platform, NoReplaceRenameNeverOverwrites)
{
    write_text(p("from"), "new");
    write_text(p("to"), "old");
    EXPECT_EQ(plat_rename_noreplace(p("from").c_str(), p("to").c_str()), -1);
    EXPECT_EQ(read_text(p("to")), "old");
    EXPECT_EQ(read_text(p("from")), "new");

    EXPECT_EQ(plat_rename_noreplace(p("from").c_str(), p("fresh").c_str()), 0);
    EXPECT_EQ(read_text(p("fresh")), "new");
    EXPECT_FALSE(fs::exists(p("from")));

    EXPECT_EQ(plat_rename_replace(p("fresh").c_str(), p("to").c_str()), 0);
    EXPECT_EQ(read_text(p("to")), "new");
    EXPECT_FALSE(fs::exists(p("fresh")));
    EXPECT_EQ(plat_rename_replace(p("missing").c_str(), p("to").c_str()), -1);
}

TEST_F(Platform, SecretCreateWritesOnceForTheOwnerOnly)
{
    const std::string bytes("key\0\r\n\xff", 7);
    EXPECT_EQ(plat_create_secret(p("secret").c_str(), bytes.data(), bytes.size()), 0);
    EXPECT_EQ(read_text(p("secret")), bytes);
#ifndef _WIN32
    EXPECT_EQ(fs::status(p("secret")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    // Never over an existing name, whatever it is; nothing left on failure.
    EXPECT_EQ(plat_create_secret(p("secret").c_str(), "other", 5), -1);
    EXPECT_EQ(read_text(p("secret")), bytes);
    fs::create_directory(p("dir"));
    EXPECT_EQ(plat_create_secret(p("dir").c_str(), "x", 1), -1);
    EXPECT_EQ(plat_create_secret(p("no" PLAT_SEP_STR "file").c_str(), "x", 1), -1);
    EXPECT_EQ(plat_create_secret(p("empty").c_str(), nullptr, 0), 0);
    EXPECT_EQ(read_text(p("empty")), "");
}

TEST_F(Platform, ReadFileGivesTheWholeFileWithinItsCap)
{
    write_text(p("eight"), "12345678");
    write_text(p("empty"), "");
    fs::create_directory(p("dir"));
    struct Case {
        const char *name;
        size_t cap;
        std::string want;
    };
    const Case cases[] = {
        {"eight", 8, "12345678"}, {"eight", 100, "12345678"}, {"eight", 7, "<failed>"},
        {"eight", 0, "<failed>"}, {"empty", 0, ""},           {"empty", 8, ""},
        {"dir", 8, "<failed>"},   {"missing", 8, "<failed>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.cap));
        char buf[100];
        size_t n = 12345;
        const int rc = plat_read_file(p(c.name).c_str(), buf, c.cap, &n);
        EXPECT_EQ(rc == 0 ? std::string(buf, n) : "<failed>", c.want);
    }
}

TEST_F(Platform, AppendOpenCreatesAndAppendsBytesUnchanged)
{
    for (int round = 0; round < 2; ++round) {
        int fd = plat_open_append(p("log").c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(plat_write(fd, "a\nb\r\n\x1a", 6), 6);
        EXPECT_EQ(plat_close(fd), 0);
    }
    // No line-end translation and no end-of-file byte handling.
    EXPECT_EQ(read_text(p("log")), std::string("a\nb\r\n\x1a"
                                               "a\nb\r\n\x1a",
                                               12));
    EXPECT_EQ(plat_open_append(p("no" PLAT_SEP_STR "log").c_str()), -1);
}

TEST_F(Platform, StdoutRedirectCapturesExactBytes)
{
    plat_stdout_binary();
    const std::string got = capture_stdout(p("out"), [] {
        std::fputs("Status: 200\r\n\r\nline\n", stdout);
        std::fflush(stdout);
    });
    EXPECT_EQ(got, "Status: 200\r\n\r\nline\n");
    EXPECT_EQ(plat_stdout_redirect(p("no" PLAT_SEP_STR "out").c_str()), -1);
}

TEST_F(Platform, FileToStdoutCopiesExactlyTheRangeAsked)
{
    /* Every byte value, CR LF and ^Z among them: no text-mode copy. */
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    write_text(p("src"), bytes);
    struct Case {
        int64_t offset, length, sent;
    };
    const Case cases[] = {{0, 300000, 300000}, {5, 10, 10},       {262143, 37857, 37857},
                          {0, 0, 0},           {299990, 100, 10}, {400000, 5, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        int64_t sent = -2;
        const std::string got = capture_stdout(
            p("out"), [&] { sent = plat_file_to_stdout(p("src").c_str(), c.offset, c.length); });
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(got, bytes.substr(std::min<size_t>(c.offset, bytes.size()), c.sent));
    }
    EXPECT_EQ(plat_file_to_stdout(p("missing").c_str(), 0, 1), -1);
    EXPECT_EQ(plat_file_to_stdout(nullptr, 0, 1), -1);
    EXPECT_EQ(plat_file_to_stdout(p("src").c_str(), -1, 1), -1);
}

TEST_F(Platform, AbsolutePathsAreKeptRelativeOnesJoinTheWorkingDirectory)
{
    char out[4096];
    const std::string here = std::filesystem::current_path().string();
    ASSERT_EQ(plat_absolute_path("a" PLAT_SEP_STR "b", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), here + PLAT_SEP_STR "a" PLAT_SEP_STR "b");
    ASSERT_EQ(plat_absolute_path(tmp.str().c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), tmp.str());
    EXPECT_EQ(plat_absolute_path("a", out, here.size() + 2), -1) << "no room for the name";
    EXPECT_EQ(plat_absolute_path(nullptr, out, sizeof out), -1);
}

TEST_F(Platform, Fseek64PositionsFromTheStartPastFourGibibytes)
{
    write_text(p("small"), "abcdef");
    FILE *f = std::fopen(p("small").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat_fseek64(f, 3), 0);
    EXPECT_EQ(std::fgetc(f), 'd');
    EXPECT_EQ(plat_fseek64(f, 0), 0); // from the start, not from here
    EXPECT_EQ(std::fgetc(f), 'a');
    EXPECT_EQ(plat_fseek64(f, -1), -1);
    std::fclose(f);

    // Sparse where the file system allows; the runtime's own seek takes a
    // 32-bit long on Windows and would land elsewhere.
    const int64_t at = (int64_t{5} << 30) + 3;
    write_text(p("big"), "");
    std::error_code ec;
    fs::resize_file(p("big"), static_cast<uintmax_t>(at), ec);
    if (ec) GTEST_SKIP() << "cannot make a 5 GiB file here: " << ec.message();
    {
        std::ofstream out(p("big"), std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(at);
        out << "xyz";
    }
    f = std::fopen(p("big").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    const struct {
        int64_t offset;
        int byte;
    } cases[] = {{at + 2, 'z'}, {at - 1, 0}, {at, 'x'}, {int64_t{1} << 32, 0}, {at + 3, EOF}};
    for (const auto &c : cases) {
        EXPECT_EQ(plat_fseek64(f, c.offset), 0) << c.offset;
        EXPECT_EQ(std::fgetc(f), c.byte) << c.offset;
    }
    std::fclose(f);
    fs::remove(p("big"));
}

/* A CGI program must finish its request (and log it) after the web server
 * hangs up or asks it to stop once the answer is complete. */
TEST(PlatformSignals, OutliveHangupIgnoresTerminationAndBrokenPipes)
{
#ifdef _WIN32
    EXPECT_EXIT(
        {
            plat_outlive_hangup();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    GTEST_SKIP() << "Windows has neither signal: the call only has to return";
#else
    // Without the call the termination request ends the process.
    EXPECT_EXIT(raise(SIGTERM), ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_EXIT(
        {
            plat_outlive_hangup();
            raise(SIGTERM);
            int fds[2];
            if (pipe(fds) != 0) std::exit(2);
            close(fds[0]);
            // The write to a pipe without reader fails instead of killing.
            const bool failed = write(fds[1], "x", 1) == -1 && errno == EPIPE;
            std::exit(failed ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

TEST(PlatformTime, GmtimeBreaksDownUtc)
{
    struct Case {
        int64_t t;
        int year, mon, mday, hour, min, sec, wday, yday;
    } cases[] = {
        {0, 70, 0, 1, 0, 0, 0, 4, 0},
        {951782400, 100, 1, 29, 0, 0, 0, 2, 59},       // 2000-02-29
        {2147483648, 138, 0, 19, 3, 14, 8, 2, 18},     // one past the 32-bit limit
        {4102444799, 199, 11, 31, 23, 59, 59, 4, 364}, // 2099-12-31
        {4107456000, 200, 1, 28, 0, 0, 0, 0, 58},      // 2100-02-28, no leap day
    };
    for (const auto &c : cases) {
        struct tm tm {
        };
        ASSERT_EQ(plat_gmtime(c.t, &tm), 0) << c.t;
        EXPECT_EQ(tm.tm_year, c.year) << c.t;
        EXPECT_EQ(tm.tm_mon, c.mon) << c.t;
        EXPECT_EQ(tm.tm_mday, c.mday) << c.t;
        EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec,
                  c.hour * 3600 + c.min * 60 + c.sec)
            << c.t;
        EXPECT_EQ(tm.tm_wday, c.wday) << c.t;
        EXPECT_EQ(tm.tm_yday, c.yday) << c.t;
    }
    EXPECT_EQ(plat_gmtime(0, nullptr), -1);
}

/* Why a write failed, as the programs tell a client: a full device, a
 * refused one, anything else. */
TEST(PlatformFailures, FullAndNotWritableAreToldApart)
{
    testsupport::TempDir dir;
    const std::string file = (dir.path() / "f").string();
    ASSERT_EQ(plat_create_excl(file.c_str()), 0);
    EXPECT_EQ(plat_create_excl(file.c_str()), -1);
    EXPECT_EQ(plat_last_failure(), PLAT_FAIL_OTHER) << "a name taken";
#ifdef __linux__
    const int fd = plat_open_append("/dev/full");
    ASSERT_GE(fd, 0);
    EXPECT_LT(plat_write(fd, "x", 1), 1);
    EXPECT_EQ(plat_last_failure(), PLAT_FAIL_FULL);
    plat_close(fd);
#endif
#ifndef _WIN32
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().string().c_str(), 0500), 0);
        EXPECT_EQ(plat_create_excl((dir.path() / "g").string().c_str()), -1);
        EXPECT_EQ(plat_last_failure(), PLAT_FAIL_NOT_WRITABLE);
        chmod(dir.path().string().c_str(), 0700);
    }
#endif
}

TEST(PlatformTime, ClockTickAndProcessId)
{
    EXPECT_GT(plat_time(), 1600000000); // set after 2020 on any machine that runs this
    const uint64_t a = plat_tick_ms();
    const uint64_t b = plat_tick_ms();
    EXPECT_LE(a, b) << "monotonic";
    EXPECT_GT(plat_pid(), 0);
    EXPECT_EQ(plat_pid(), plat_pid());
}

} // namespace

namespace
{

/* A command's first interruption is its own to handle (ask a collection to
 * stop), off the signal handler; the next one ends it as usual. */
TEST(PlatformSignals, FirstInterruptCallsBackTheNextEndsTheProcess)
{
#ifdef _WIN32
    GTEST_SKIP() << "console control events cannot be sent to a process without a console";
#else
    /* The child blocks signals and starts a thread: it must not be a
     * fork of a process that may have threads of its own. */
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int sig : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                static std::atomic<int> calls{0};
                if (plat_on_interrupt([](void *) { calls.fetch_add(1); }, nullptr) != 0)
                    std::exit(2);
                kill(static_cast<pid_t>(plat_pid()), sig);
                while (calls.load() == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::fprintf(stderr, "called back %d\n", calls.load());
                kill(static_cast<pid_t>(plat_pid()), sig);
                for (;;)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            },
            ::testing::KilledBySignal(sig), "called back 1");
    }
    GTEST_FLAG_SET(death_test_style, style);
    EXPECT_EQ(plat_on_interrupt(nullptr, nullptr), -1);
#endif
}

TEST(PlatformStreams, FilesAndPipesAreNoTerminal)
{
    EXPECT_EQ(plat_is_terminal(nullptr), 0);
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat_is_terminal(f), 0);
    std::fclose(f);
    /* A terminal answers 1: see the command's pseudo-terminal tests. */
    if (!plat_is_terminal(stdin)) {
        char buf[16] = "untouched";
        EXPECT_EQ(plat_read_secret("never shown: ", buf, sizeof buf), PLAT_SECRET_NO_TERMINAL);
        EXPECT_STREQ(buf, "");
    }
}

} // namespace
