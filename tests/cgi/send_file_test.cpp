/* A file, or a range of it, streamed to standard output after the
 * headers. Sending switches output modes and signal handling once per
 * process, so every case runs in a child. */
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "tv_cgi.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace
{

using namespace cgitest;

constexpr char kHeaders[] = "Status: 200\r\n\r\n";
constexpr size_t kFileSize = 600000; /* more than two of the sender's chunks */

/* Bytes of every value, line ends and end-of-file marks among them, so a
 * text-mode copy would show. */
std::string body_of(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 13 + i / 256) & 0xff);
    return s;
}

/* What one send gave: its return value and what reached standard output
 * after the headers written before it. */
struct Sent {
    std::string rc;
    std::string body;
};

class SendFile : public CgiRequest
{
  protected:
    std::string file() const { return tmp.sub("blob.bin"); }

    Sent send(const char *path, int64_t offset, int64_t length)
    {
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            std::fputs(kHeaders, stdout); // buffered: must come out first
            const int64_t rc = cgi_send_file(path, offset, length);
            write_text(result_file(), std::to_string(rc));
        });
        const std::string out = output();
        if (out.compare(0, sizeof kHeaders - 1, kHeaders) != 0) return {result(), "<no headers>"};
        return {result(), out.substr(sizeof kHeaders - 1)};
    }
};

TEST_F(SendFile, RangesComeOutExactly)
{
    const std::string bytes = body_of(kFileSize);
    write_text(file(), bytes);
    struct Case {
        int64_t offset, length;
    };
    const Case cases[] = {
        {0, kFileSize},     {0, 0},         {0, 1},
        {1, kFileSize - 1}, {262143, 2},    // across the first chunk boundary
        {262144, 262144},                   // exactly the second chunk
        {kFileSize - 1, 1}, {kFileSize, 0}, // nothing asked at the end: nothing sent, no failure
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        const Sent s = send(file().c_str(), c.offset, c.length);
        EXPECT_EQ(s.rc, std::to_string(c.length));
        EXPECT_EQ(s.body, bytes.substr(c.offset, c.length));
    }
}

TEST_F(SendFile, AFileShorterThanPromisedFails)
{
    const std::string bytes = body_of(kFileSize);
    write_text(file(), bytes);
    struct Case {
        int64_t offset, length;
    };
    const Case cases[] = {
        {0, kFileSize + 1},
        {kFileSize - 10, 20},
        {kFileSize, 1},
        {kFileSize + 100000, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        const Sent s = send(file().c_str(), c.offset, c.length);
        EXPECT_EQ(s.rc, "-1");
        // What did go out is the file's own bytes, never more than it holds.
        const std::string have = c.offset < int64_t(kFileSize) ? bytes.substr(c.offset) : "";
        EXPECT_EQ(s.body, have.substr(0, s.body.size()));
    }
}

TEST_F(SendFile, UnreadableOrRefusedArgumentsSendNothing)
{
    write_text(file(), "abc");
    fs::create_directory(tmp.path() / "dir");
    const std::string missing = tmp.sub("missing.bin");
    const std::string dir = tmp.sub("dir");
    struct Case {
        const char *label;
        const char *path;
        int64_t offset, length;
    };
    const Case cases[] = {
        {"missing file", missing.c_str(), 0, 1},
        {"directory", dir.c_str(), 0, 1},
        {"NULL path", nullptr, 0, 1},
        {"negative offset", file().c_str(), -1, 1},
        {"negative length", file().c_str(), 0, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const Sent s = send(c.path, c.offset, c.length);
        EXPECT_EQ(s.rc, "-1");
        EXPECT_EQ(s.body, "");
    }
}

TEST_F(SendFile, OffsetsPastFourGibibytesAreReached)
{
    // Sparse where the file system allows; a 32-bit seek would land
    // elsewhere in the file.
    const int64_t at = (int64_t{5} << 30) + 3;
    write_text(file(), "");
    std::error_code ec;
    fs::resize_file(file(), static_cast<uintmax_t>(at), ec);
    if (ec) GTEST_SKIP() << "cannot make a 5 GiB file here: " << ec.message();
    {
        std::ofstream f(file(), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(at);
        f << "tail!";
    }
    const Sent s = send(file().c_str(), at - 2, 7);
    EXPECT_EQ(s.rc, "7");
    EXPECT_EQ(s.body, std::string("\0\0tail!", 7));
}

TEST_F(SendFile, AClientThatHungUpFailsTheSendButNotTheProcess)
{
    SKIP_ON_WINDOWS("a pipe without reader raises no signal on Windows");
#ifndef _WIN32
    write_text(file(), body_of(kFileSize));
    run_in_child([&] {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        close(fds[0]); // the reader is gone before the first byte
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        const int64_t rc = cgi_send_file(file().c_str(), 0, kFileSize);
        write_text(result_file(), std::to_string(rc));
    });
    EXPECT_EQ(result(), "-1");
#endif
}

TEST_F(SendFile, EveryKindOfOutputGetsTheSameBytes)
{
    /* A pipe, as the web server reads a program (copied in the kernel on
     * Linux), and a file opened for appending, which that copy refuses and
     * the buffered one takes over. */
    SKIP_ON_WINDOWS("pipes and append mode are set up with POSIX calls here");
#ifndef _WIN32
    const std::string bytes = body_of(kFileSize);
    write_text(file(), bytes);
    const std::string piped = tmp.sub("piped.bin");
    run_in_child([&] {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        const pid_t reader = fork();
        if (reader == 0) {
            close(fds[1]);
            FILE *out = std::fopen(piped.c_str(), "wb");
            char buf[4096];
            ssize_t n;
            while ((n = read(fds[0], buf, sizeof buf)) > 0)
                std::fwrite(buf, 1, n, out);
            std::fclose(out);
            _exit(0);
        }
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        const int64_t rc = cgi_send_file(file().c_str(), 1000, kFileSize - 2000);
        std::fclose(stdout);
        close(STDOUT_FILENO);
        int status = 0;
        waitpid(reader, &status, 0);
        write_text(result_file(), std::to_string(rc));
    });
    EXPECT_EQ(result(), std::to_string(kFileSize - 2000));
    EXPECT_EQ(read_text(piped), bytes.substr(1000, kFileSize - 2000));

    const std::string appended = tmp.sub("appended.bin");
    write_text(appended, "head|");
    run_in_child([&] {
        const int fd = open(appended.c_str(), O_WRONLY | O_APPEND);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        const int64_t rc = cgi_send_file(file().c_str(), 7, 300000);
        write_text(result_file(), std::to_string(rc));
    });
    EXPECT_EQ(result(), "300000");
    EXPECT_EQ(read_text(appended), "head|" + bytes.substr(7, 300000));
#endif
}

TEST_F(SendFile, XSendfileOnlyWhenTheServerSaysSoAndWithTheNameEncoded)
{
    struct Case {
        const char *value;
        int enabled;
    };
    for (const Case &c : {Case{nullptr, 0}, Case{"", 0}, Case{"0", 0}, Case{"yes", 0},
                          Case{"10", 0}, Case{"1", 1}}) {
        ScopedEnv e("REGISTRY_X_SENDFILE", c.value);
        EXPECT_EQ(cgi_x_sendfile_enabled(), c.enabled) << (c.value ? c.value : "(unset)");
    }
    /* The server decodes the value: a '%', a space or a line end in the
     * storage root must reach it as itself, never end the header early. A
     * relative name is made absolute (the server's directory is not ours). */
    const std::string hostile = "/srv/a b%c\r\nX-Evil: 1/blob";
    run_in_child([&] {
        plat_stdout_redirect(out_file().c_str());
        const int a = cgi_header_x_sendfile(hostile.c_str());
        const int b = cgi_header_x_sendfile("rel/blob");
        const int c = cgi_header_x_sendfile(std::string(5000, 'x').c_str());
        write_text(result_file(), std::to_string(a) + std::to_string(b) + std::to_string(c));
    });
    EXPECT_EQ(result(), "00-1");
    std::vector<std::string> lines;
    const std::string out = output();
    for (size_t at = 0, end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(out.substr(at, end - at));
    ASSERT_EQ(lines.size(), 2u) << out;
    auto decoded = [](const std::string &line) {
        std::string v;
        for (size_t i = 12; i < line.size(); ++i) {
            if (line[i] == '%' && i + 2 < line.size()) {
                v += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                v += line[i];
            }
        }
        return v;
    };
    char full[4096];
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(lines[i].rfind("X-Sendfile: ", 0), 0u);
        EXPECT_EQ(lines[i].find(' ', 12), std::string::npos) << "no raw space";
        ASSERT_EQ(plat_absolute_path(i == 0 ? hostile.c_str() : "rel/blob", full, sizeof full), 0);
        EXPECT_EQ(decoded(lines[i]), full);
    }
#ifndef _WIN32
    EXPECT_EQ(lines[0], "X-Sendfile: /srv/a%20b%25c%0D%0AX-Evil%3A%201/blob");
    EXPECT_EQ(lines[1], "X-Sendfile: " + fs::current_path().generic_string() + "/rel/blob");
#endif
}

#ifndef _WIN32
/* Named by the server, the directory it sends from decides: a file outside
 * it (a storage root moved since the server's configuration was written)
 * is not named, and the caller sends it itself. Names are compared as the
 * server does, after "." and ".." segments and doubled slashes. */
TEST_F(SendFile, XSendfileNamesOnlyFilesUnderTheServersDirectory)
{
    const std::string cwd = fs::current_path().generic_string();
    struct Case {
        const char *docroot;
        const char *path;
        const char *named; /* nullptr: refused */
        bool from_cwd;     /* named below the working directory */
    } cases[] = {
        {nullptr, "/srv/reg/blobs/ab/c", "/srv/reg/blobs/ab/c", false},
        {"", "/srv/reg/blobs/ab/c", "/srv/reg/blobs/ab/c", false},
        {"/srv/reg/blobs/", "/srv/reg/blobs/ab/c", "/srv/reg/blobs/ab/c", false},
        {"/srv/reg/blobs", "/srv/reg/blobs/ab/c", "/srv/reg/blobs/ab/c", false},
        {"/srv//reg/./blobs/", "/srv/reg/x/../blobs//ab/./c", "/srv/reg/blobs/ab/c", false},
        {"/srv/reg/blobs/", "/srv/other/blobs/ab/c", nullptr, false},
        {"/srv/reg/blobs/", "/srv/reg/blobsmore/ab/c", nullptr, false},
        {"/srv/reg/blobs/", "/srv/reg/blobs/../uploads/x", nullptr, false},
        {"/srv/reg/blobs/", "/srv/reg/blobs/../../../etc/passwd", nullptr, false},
        {"/", "/any/file", "/any/file", false},
        {"reg/blobs/", "./reg/blobs/ab/c", "/reg/blobs/ab/c", true}, /* both from here */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.docroot ? c.docroot : "(unset)") + " " + c.path);
        ScopedEnv e("REGISTRY_X_SENDFILE_DOCROOT", c.docroot);
        run_in_child([&] {
            plat_stdout_redirect(out_file().c_str());
            write_text(result_file(), std::to_string(cgi_header_x_sendfile(c.path)));
        });
        if (!c.named) {
            EXPECT_EQ(result(), "-1");
            EXPECT_EQ(output(), "");
            continue;
        }
        const std::string want = (c.from_cwd ? cwd : std::string()) + c.named;
        EXPECT_EQ(result(), "0");
        EXPECT_EQ(output(), "X-Sendfile: " + want + "\r\n");
    }
}
#endif

} // namespace
