/*
 * cgi_send.cpp - a file, or a range of it, as the response body: streamed
 * through one fixed buffer, never read whole into memory.
 */
#include "tv_cgi.h"

#include "platform.h"

#include <stdlib.h>

#include <algorithm>
#include <memory>

namespace
{

constexpr size_t kSendChunk = 262144;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

} // namespace

int64_t cgi_send_file(const char *path, int64_t offset, int64_t length)
{
    if (!path || offset < 0 || length < 0) return -1;
    std::unique_ptr<FILE, FileCloser> f(fopen(path, "rb"));
    if (!f || (offset > 0 && plat_fseek64(f.get(), offset) != 0)) return -1;
    std::unique_ptr<unsigned char, FreeDeleter> buf(
        static_cast<unsigned char *>(malloc(kSendChunk)));
    if (!buf) return -1;

    tv_stdout_bin();
    fflush(stdout);
    int64_t sent = 0;
    while (sent < length) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(kSendChunk, length - sent));
        const size_t got = fread(buf.get(), 1, want, f.get());
        /* A file cut short since its size was taken cannot give the length
         * promised in the headers: the caller must not count it as sent. */
        if (got == 0) return -1;
        if (fwrite(buf.get(), 1, got, stdout) != got || fflush(stdout) != 0) return -1;
        sent += static_cast<int64_t>(got);
    }
    return sent;
}
