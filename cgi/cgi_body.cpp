/*
 * cgi_body.cpp - request-body intake: the whole body into one heap buffer,
 * or streamed to a callback in chunks through one fixed buffer.
 *
 * The body is the spooled file named by POST_BODY_FILE when it can be
 * opened, else standard input with CONTENT_LENGTH bytes. The spooled file
 * is read whole and CONTENT_LENGTH is then not looked at.
 */
#include "tv_cgi.h"

#include "platform.h"

#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>

namespace
{

constexpr size_t kChunkSize = 65536;
/* How far the web server may write ahead of the program into its pipe. */
constexpr size_t kReadAhead = 1048576;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

FilePtr open_spooled()
{
    const char *name = getenv("POST_BODY_FILE");
    if (!name || !*name) return nullptr;
    return FilePtr(fopen(name, "rb"));
}

/* CONTENT_LENGTH as a signed number of at most cap (32 bits unless a
 * caller allocates nothing by it); 0 when there is no body on standard
 * input. Out-of-range values saturate, so no allocation goes beyond 2 GiB. Switches standard input
 * to untranslated mode when there is a body. */
int64_t stdin_length(int64_t cap = INT32_MAX)
{
    const char *v = getenv("CONTENT_LENGTH");
    if (!v) return 0;
    const long long n = std::clamp<long long>(strtoll(v, nullptr, 10), INT32_MIN, cap);
    if (n <= 0) return 0;
    plat_stdin_binary();
    return n;
}

/* Size of the spooled file as the runtime reports it in 32 bits; -1 for a
 * file of 2 GiB or more, whose size cannot be learned that way. */
long spooled_size(FILE *f)
{
    if (fseek(f, 0, SEEK_END) != 0) return -1;
    const long size = ftell(f);
    if (size < 0 || size > INT32_MAX || fseek(f, 0, SEEK_SET) != 0) return -1;
    return size;
}

/* size bytes from f into a new buffer with a NUL after what arrived. */
char *read_all(FILE *f, size_t size, uint64_t *out_len)
{
    HeapPtr<char> buf(static_cast<char *>(malloc(size + 1)));
    if (!buf) return nullptr;
    const size_t n = fread(buf.get(), 1, size, f);
    buf.get()[n] = '\0';
    if (out_len) *out_len = n;
    return buf.release();
}

} // namespace

char *cgi_read_post(uint64_t *out_len)
{
    if (out_len) *out_len = 0;
    if (FilePtr f = open_spooled()) {
        const long size = spooled_size(f.get());
        if (size < 0) return nullptr;
        return read_all(f.get(), static_cast<size_t>(size), out_len);
    }
    const int64_t length = stdin_length();
    if (length <= 0) return nullptr;
    return read_all(stdin, static_cast<size_t>(length), out_len);
}

int cgi_stream_post(cgi_body_cb callback, void *ctx, uint64_t *out_total)
{
    if (out_total) *out_total = 0;
    if (!callback) return -1;

    /* A spooled file is read to its end whatever its size; standard input
     * only for the announced length. */
    FilePtr spooled = open_spooled();
    int64_t remaining = 0;
    if (!spooled) {
        /* Nothing is allocated by length here: a blob of more than 2 GiB
         * streams whole. */
        remaining = stdin_length(INT64_MAX);
        if (remaining <= 0) return 0;
    }
    FILE *in = spooled ? spooled.get() : stdin;
    if (!spooled) plat_pipe_reserve(0, kReadAhead);

    HeapPtr<unsigned char> chunk(static_cast<unsigned char *>(malloc(kChunkSize)));
    if (!chunk) return -1;

    uint64_t total = 0;
    int rc = 0;
    while (true) {
        const size_t want =
            spooled ? kChunkSize : std::min(kChunkSize, static_cast<size_t>(remaining));
        if (want == 0) break;
        const size_t got = fread(chunk.get(), 1, want, in);
        if (got == 0) {
            rc = ferror(in) ? -1 : 0;
            break;
        }
        if (callback(ctx, chunk.get(), got) != 0) {
            rc = -1;
            break;
        }
        total += got;
        if (spooled) {
            if (got < want) break; /* end of file */
        } else {
            /* A short read goes on: the next read meets the end of input. */
            remaining -= static_cast<int64_t>(got);
        }
    }
    if (out_total) *out_total = total;
    return rc;
}
