/*
 * cgi_send.cpp - a file, or a range of it, as the response body: copied by
 * the platform layer (in the kernel where it can), never read whole into
 * memory; or named for the web server to send itself (X-Sendfile).
 */
#include "tv_cgi.h"

#include "platform.h"

#include <stdlib.h>
#include <string.h>

#include <string_view>

namespace
{
/* How far the program may write ahead of the web server into its pipe. */
constexpr size_t kWriteAhead = 1048576;
constexpr size_t kPathCap = 4096;

#ifndef _WIN32
/* Drops "." segments, empty ones and a ".." with the segment before it,
 * in place, from an absolute path with '/' separators, as the server does
 * before it compares a name with its directory. */
void drop_dot_segments(char *path)
{
    size_t out = 0;
    for (const char *p = path; *p;) {
        while (*p == '/')
            ++p;
        const char *end = p;
        while (*end && *end != '/')
            ++end;
        const std::string_view seg(p, static_cast<size_t>(end - p));
        if (seg == "..") {
            while (out > 0 && path[--out] != '/') {
            }
        } else if (!seg.empty() && seg != ".") {
            path[out++] = '/';
            memmove(path + out, p, seg.size());
            out += seg.size();
        }
        p = end;
    }
    if (out == 0) path[out++] = '/';
    path[out] = '\0';
}

/* A storage root moved since the server's configuration was written lies
 * outside the directory the server sends from: it would refuse the name,
 * so such a file goes through standard output instead. */
bool within_docroot(const char *full)
{
    const char *docroot = getenv("REGISTRY_X_SENDFILE_DOCROOT");
    if (!docroot || !*docroot) return true;
    char dir[kPathCap];
    if (plat_absolute_path(docroot, dir, sizeof dir) != 0) return false;
    drop_dot_segments(dir);
    const size_t n = strlen(dir);
    return strncmp(full, dir, n) == 0 && (full[n] == '/' || dir[n - 1] == '/');
}
#else
/* Drive letters and two separators: the Windows servers' samples name no
 * directory, and the server itself refuses what lies outside its own. */
bool within_docroot(const char *)
{
    return true;
}
#endif
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
    char full[kPathCap];
    if (!path || plat_absolute_path(path, full, sizeof full) != 0) return -1;
#ifndef _WIN32
    drop_dot_segments(full);
#endif
    if (!within_docroot(full)) return -1;
    char line[3 * kPathCap + 16] = "X-Sendfile: ";
    size_t n = 12;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(full); *p; ++p) {
        if (n + 4 > sizeof line) return -1;
        const unsigned char c = *p;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           c == '/';
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
