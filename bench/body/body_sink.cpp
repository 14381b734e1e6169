/*
 * body_sink - what an upload endpoint does with a body: streams it from
 * standard input (CONTENT_LENGTH bytes) through cgi_stream_post into a
 * callback that appends each chunk to the file named by argv[1].
 * Exit status 0 when every announced byte arrived and was written.
 */
#include <stdio.h>
#include <stdlib.h>
#include <stdint.h>

#include "tv_cgi.h"

namespace
{

int write_chunk(void *ctx, const void *data, size_t len)
{
    return fwrite(data, 1, len, static_cast<FILE *>(ctx)) == len ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: CONTENT_LENGTH=N body_sink OUTPUT < body\n");
        return 2;
    }
    FILE *out = fopen(argv[1], "wb");
    if (!out) return 1;
    /* Chunks are already 64 KiB: pass them straight to the file instead of
     * splitting each across a small stdio buffer. */
    setvbuf(out, nullptr, _IONBF, 0);
    uint64_t total = 0;
    const int rc = cgi_stream_post(write_chunk, out, &total);
    const bool closed = fclose(out) == 0;
    const char *want = getenv("CONTENT_LENGTH");
    const bool complete = want && strtoull(want, nullptr, 10) == total;
    return rc == 0 && closed && complete ? 0 : 1;
}
