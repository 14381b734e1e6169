/*
 * cgi_send.cpp - a file, or a range of it, as the response body: copied by
 * the platform layer (in the kernel where it can), never read whole into
 * memory; or named for the web server to send itself (X-Sendfile).
 */
#include "tv_cgi.h"

#include "platform.h"

#include <stdlib.h>

namespace
{
/* How far the program may write ahead of the web server into its pipe. */
constexpr size_t kWriteAhead = 1048576;
} // namespace

int64_t cgi_send_file(const char *path, int64_t offset, int64_t length)
{
    if (!path || offset < 0 || length < 0) return -1;
    tv_stdout_bin();
    if (fflush(stdout) != 0) return -1;
    plat_pipe_reserve(1, kWriteAhead);
    /* A file cut short since its size was taken cannot give the length
     * promised in the headers: the caller must not count it as sent. */
    const int64_t sent = plat_file_to_stdout(path, offset, length);
    return sent == length ? sent : -1;
}

int cgi_x_sendfile_enabled(void)
{
    const char *v = getenv("REGISTRY_X_SENDFILE");
    return v && v[0] == '1' && v[1] == '\0';
}

int cgi_header_x_sendfile(const char *path)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    /* The server resolves a relative name against its own directory, not
     * the program's. */
    char full[4096];
    if (!path || plat_absolute_path(path, full, sizeof full) != 0) return -1;
    char line[3 * 4096 + 16] = "X-Sendfile: ";
    size_t n = 12;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(full); *p; ++p) {
        if (n + 4 > sizeof line) return -1;
        const unsigned char c = *p;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                           c == '~' || c == '/';
        if (plain) {
            line[n++] = static_cast<char>(c);
        } else {
            line[n++] = '%';
            line[n++] = kHex[c >> 4];
            line[n++] = kHex[c & 15];
        }
    }
    line[n] = '\0';
    cgi_header_extra(line);
    return 0;
}
