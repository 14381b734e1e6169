/* Request-body intake from a spooled file (in this process) and from
 * standard input (in a child, whose standard input is a prepared file). */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "tv_cgi.h"

namespace
{

using namespace cgitest;

/* Bytes that include NULs and every other value, so a text-based copy or
 * a line-end translation would show. */
std::string body_of(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

/* What a callback saw: chunk sizes and the bytes; stops at chunk stop_at. */
struct Sink {
    std::vector<size_t> chunks;
    std::string bytes;
    size_t stop_at = 0; // 1-based; 0: never stop

    static int take(void *ctx, const void *data, size_t len)
    {
        auto *s = static_cast<Sink *>(ctx);
        s->chunks.push_back(len);
        if (s->stop_at && s->chunks.size() == s->stop_at) return 1;
        s->bytes.append(static_cast<const char *>(data), len);
        return 0;
    }
};

std::string sizes(const std::vector<size_t> &v)
{
    std::string s;
    for (size_t n : v)
        s += (s.empty() ? "" : ",") + std::to_string(n);
    return s;
}

/* Both intake operations as one text, for a child to hand back. */
struct Intake {
    std::string read;   // "NULL len" or "<len> <bytes match>"
    std::string stream; // "<rc> <total> <chunk sizes>"
};

std::string read_post_summary(const std::string &want)
{
    uint64_t len = 99;
    char *buf = cgi_read_post(&len);
    if (!buf) return "NULL " + std::to_string(len);
    const bool same = std::string(buf, len) == want.substr(0, len) && buf[len] == '\0';
    std::free(buf);
    return std::to_string(len) + (same ? " same" : " differs");
}

std::string stream_post_summary(Sink &sink)
{
    uint64_t total = 99;
    const int rc = cgi_stream_post(&Sink::take, &sink, &total);
    return std::to_string(rc) + " " + std::to_string(total) + " " + sizes(sink.chunks);
}

class Body : public CgiRequest
{
  protected:
    std::string spool(const std::string &bytes)
    {
        const std::string p = tmp.sub("spooled.bin");
        write_text(p, bytes);
        return p;
    }

    /* Runs both operations in a child whose standard input holds input,
     * reopened between them. */
    Intake from_stdin(const std::string &input)
    {
        const std::string in = tmp.sub("stdin.bin");
        write_text(in, input);
        run_in_child([&] {
            std::freopen(in.c_str(), "rb", stdin);
            const std::string r = read_post_summary(input);
            std::freopen(in.c_str(), "rb", stdin);
            Sink sink;
            const std::string s = stream_post_summary(sink);
            const bool same = sink.bytes == input.substr(0, sink.bytes.size());
            write_text(result_file(), r + "\n" + s + (same ? "" : " differs"));
        });
        const std::string text = result();
        const size_t nl = text.find('\n');
        if (nl == std::string::npos) return {"<no result>", text};
        return {text.substr(0, nl), text.substr(nl + 1)};
    }
};

TEST_F(Body, SpooledFileIsReadWholeAndStreamedInChunks)
{
    struct Case {
        size_t size;
        std::string chunks;
    };
    const Case cases[] = {
        {0, ""}, {5, "5"}, {65536, "65536"}, {65537, "65536,1"}, {200000, "65536,65536,65536,3392"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        const std::string bytes = body_of(c.size);
        ScopedEnv f("POST_BODY_FILE", spool(bytes).c_str());
        ScopedEnv l("CONTENT_LENGTH", "3"); // not looked at for a spooled file

        uint64_t len = 99;
        char *buf = cgi_read_post(&len);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(len, c.size);
        EXPECT_EQ(std::string(buf, len), bytes);
        EXPECT_EQ(buf[len], '\0');
        std::free(buf);

        Sink sink;
        uint64_t total = 99;
        EXPECT_EQ(cgi_stream_post(&Sink::take, &sink, &total), 0);
        EXPECT_EQ(total, c.size);
        EXPECT_EQ(sizes(sink.chunks), c.chunks);
        EXPECT_EQ(sink.bytes, bytes);
    }
}

TEST_F(Body, CallbackThatStopsFailsTheStreamAndItsChunkIsNotCounted)
{
    ScopedEnv f("POST_BODY_FILE", spool(body_of(200000)).c_str());
    for (size_t stop_at : {1u, 3u}) {
        Sink sink;
        sink.stop_at = stop_at;
        uint64_t total = 99;
        EXPECT_EQ(cgi_stream_post(&Sink::take, &sink, &total), -1);
        EXPECT_EQ(total, (stop_at - 1) * 65536) << "stop at chunk " << stop_at;
        EXPECT_EQ(sink.chunks.size(), stop_at) << "no chunk after the refusal";
    }
}

TEST_F(Body, MissingCallbackFails)
{
    ScopedEnv f("POST_BODY_FILE", spool("abc").c_str());
    uint64_t total = 99;
    EXPECT_EQ(cgi_stream_post(nullptr, nullptr, &total), -1);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(cgi_stream_post(nullptr, nullptr, nullptr), -1);
}

TEST_F(Body, OutPointersMayBeNull)
{
    ScopedEnv f("POST_BODY_FILE", spool("abc").c_str());
    char *buf = cgi_read_post(nullptr);
    ASSERT_NE(buf, nullptr);
    EXPECT_STREQ(buf, "abc");
    std::free(buf);
    Sink sink;
    EXPECT_EQ(cgi_stream_post(&Sink::take, &sink, nullptr), 0);
    EXPECT_EQ(sink.bytes, "abc");
}

TEST_F(Body, SpooledFileOf2GiBIsStreamedButNotReadWhole)
{
    const std::string p = tmp.sub("huge.bin");
    write_text(p, "");
    std::error_code ec;
    fs::resize_file(p, uint64_t{1} << 31, ec); // sparse on the usual file systems
    if (ec) GTEST_SKIP() << "cannot make a 2 GiB file: " << ec.message();
    ScopedEnv f("POST_BODY_FILE", p.c_str());

    uint64_t len = 99;
    EXPECT_EQ(cgi_read_post(&len), nullptr);
    EXPECT_EQ(len, 0u);

    Sink sink;
    sink.stop_at = 4; // enough to show the stream starts; the size is never needed
    uint64_t total = 0;
    EXPECT_EQ(cgi_stream_post(&Sink::take, &sink, &total), -1);
    EXPECT_EQ(total, 3u * 65536);
}

TEST_F(Body, ReadErrorFailsTheStream)
{
    SKIP_ON_WINDOWS("opening a directory for reading fails on Windows, so no read error can be provoked");
    // Opening a directory for reading succeeds on POSIX; reading it fails.
    ScopedEnv f("POST_BODY_FILE", tmp.str().c_str());
    Sink sink;
    uint64_t total = 99;
    EXPECT_EQ(cgi_stream_post(&Sink::take, &sink, &total), -1);
    EXPECT_EQ(total, 0u);
    EXPECT_TRUE(sink.chunks.empty());
}

TEST_F(Body, StandardInputTakesContentLengthBytes)
{
    struct Case {
        const char *length; // nullptr: unset
        size_t available;
        std::string read;
        std::string stream;
    };
    const Case cases[] = {
        {nullptr, 10, "NULL 0", "0 0 "},
        {"", 10, "NULL 0", "0 0 "},
        {"0", 10, "NULL 0", "0 0 "},
        {"-3", 10, "NULL 0", "0 0 "},
        {"abc", 10, "NULL 0", "0 0 "},
        {"-99999999999", 10, "NULL 0", "0 0 "}, // below the range stays negative
        {"5", 5, "5 same", "0 5 5"},
        {"12abc", 20, "12 same", "0 12 12"},
        {" +7", 20, "7 same", "0 7 7"},
        {"100", 150, "100 same", "0 100 100"},
        {"100", 40, "40 same", "0 40 40"}, // a short body is no error
        {"200000", 200000, "200000 same", "0 200000 65536,65536,65536,3392"},
        {"65536", 65536, "65536 same", "0 65536 65536"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length ? c.length : "(unset)");
        ScopedEnv l("CONTENT_LENGTH", c.length);
        const Intake got = from_stdin(body_of(c.available));
        EXPECT_EQ(got.read, c.read);
        EXPECT_EQ(got.stream, c.stream);
    }
}

TEST_F(Body, HugeContentLengthIsClampedAndAShortBodyEndsTheStream)
{
    // A length far beyond the body: the stream reads what there is and stops
    // at the end of input without allocating for the length; the whole-body
    // read counts it as 2147483647.
    ScopedEnv l("CONTENT_LENGTH", "99999999999");
    const std::string in = tmp.sub("stdin.bin");
    write_text(in, body_of(70000));
    run_in_child([&] {
        std::freopen(in.c_str(), "rb", stdin);
        Sink sink;
        const std::string s = stream_post_summary(sink);
        // The whole-body read may reserve the clamped length, no more, and
        // hands back what arrived.
        std::freopen(in.c_str(), "rb", stdin);
        write_text(result_file(), s + "\n" + read_post_summary(body_of(70000)));
    });
    EXPECT_EQ(result(), "0 70000 65536,4464\n70000 same");
}

/* A blob upload needs no buffer of its length, so the stream takes a
 * CONTENT_LENGTH past 32 bits whole: no clamp to 2 GiB, and not a byte
 * beyond the announced length. */
TEST_F(Body, StandardInputPast2GiBStreamsToTheAnnouncedLength)
{
    const uint64_t two_gib = uint64_t{1} << 31;
    const std::string in = tmp.sub("stdin.bin");
    write_text(in, "");
    std::error_code ec;
    fs::resize_file(in, two_gib, ec); // sparse on the usual file systems
    if (ec) GTEST_SKIP() << "cannot make a 2 GiB file: " << ec.message();
    {
        std::ofstream f(in, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(two_gib));
        f << "0123456789";
    }
    const std::string length = std::to_string(two_gib + 5);
    ScopedEnv l("CONTENT_LENGTH", length.c_str());

    /* Counts without keeping: only the last bytes are looked at. */
    struct Tail {
        uint64_t bytes = 0;
        std::string last;
        static int take(void *ctx, const void *data, size_t len)
        {
            auto *t = static_cast<Tail *>(ctx);
            t->bytes += len;
            const char *p = static_cast<const char *>(data);
            t->last.append(p + (len > 16 ? len - 16 : 0), std::min<size_t>(len, 16));
            if (t->last.size() > 16) t->last.erase(0, t->last.size() - 16);
            return 0;
        }
    };
    run_in_child([&] {
        std::freopen(in.c_str(), "rb", stdin);
        Tail tail;
        uint64_t total = 0;
        const int rc = cgi_stream_post(&Tail::take, &tail, &total);
        write_text(result_file(), std::to_string(rc) + " " + std::to_string(total) + " " +
                                      std::to_string(tail.bytes) + " " +
                                      tail.last.substr(tail.last.size() - 6));
    });
    EXPECT_EQ(result(), "0 " + length + " " + length + " " + std::string("\0", 1) + "01234");
}

TEST_F(Body, UnopenableSpooledFileFallsBackToStandardInput)
{
    ScopedEnv f("POST_BODY_FILE", tmp.sub("no-such-file").c_str());
    ScopedEnv l("CONTENT_LENGTH", "5");
    const Intake got = from_stdin(body_of(5));
    EXPECT_EQ(got.read, "5 same");
    EXPECT_EQ(got.stream, "0 5 5");
}

TEST_F(Body, EmptySpooledNameMeansStandardInput)
{
    ScopedEnv f("POST_BODY_FILE", "");
    ScopedEnv l("CONTENT_LENGTH", "3");
    const Intake got = from_stdin("abcdef");
    EXPECT_EQ(got.read, "3 same");
    EXPECT_EQ(got.stream, "0 3 3");
}

} // namespace
