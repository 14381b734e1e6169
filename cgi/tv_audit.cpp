/*
 * tv_audit.cpp - the access log: at most one line per process, appended at
 * exit to registry_access.log in the storage root (or in the directory
 * REGISTRY_ACCESS_LOG_DIR names), with one older
 * generation (".1") kept when the file would grow past its cap.
 *
 * The log never reports a failure and never changes the response: a
 * missing directory or a failed write only means a missing line.
 */
#include "tv_audit.h"

#include "platform.h"
#include "tv_cgi.h"
#include "tv_config.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

namespace
{

constexpr size_t kPathCap = 1400;
constexpr size_t kActorCap = 160;
constexpr int64_t kDefaultCap = 5242880;
constexpr size_t kPathEscCap = 900;
constexpr size_t kActorEscCap = 320;
constexpr size_t kRecordCap = 1200;
constexpr size_t kLineCap = 2400;
constexpr size_t kWritePiece = 4096;
/* The longest escape of one byte ("\u001f") and room for the NUL. */
constexpr size_t kEscReserve = 7;

constexpr char kLogName[] = "registry_access.log";
constexpr char kOldSuffix[] = ".1";
constexpr char kEpochStamp[] = "1970-01-01T00:00:00Z";

/* Everything below except s_status, s_bytes and s_actor is set once by
 * init_once; those three change only through the note operations. */
int s_init_done = 0;
char s_root[kPathCap] = "";
char s_path[kPathCap] = ""; /* "" exactly when the log is off */
int s_enabled = 0;
int64_t s_cap = kDefaultCap; /* 0: no cap */
int s_status = 0;            /* 0: nothing noted, no line is written */
int64_t s_bytes = 0;
char s_actor[kActorCap] = "anonymous";
int s_flushed = 0;

/* The log escape: unlike the JSON escape of responses it has no \b or \f.
 * The first byte is always taken; each further one only while its longest
 * escape still fits, so the output never needs more than N bytes. */
template <size_t N> void esc_into(char (&dst)[N], const char *src)
{
    static_assert(N > kEscReserve, "room for one escaped byte");
    const auto *in = reinterpret_cast<const unsigned char *>(src);
    size_t o = 0;
    for (size_t i = 0; in[i]; ++i) {
        if (i > 0 && o + kEscReserve >= N) break;
        const unsigned char c = in[i];
        const char *e = nullptr;
        switch (c) {
        case '"':
            e = "\\\"";
            break;
        case '\\':
            e = "\\\\";
            break;
        case '\n':
            e = "\\n";
            break;
        case '\r':
            e = "\\r";
            break;
        case '\t':
            e = "\\t";
            break;
        }
        if (e)
            o += static_cast<size_t>(snprintf(dst + o, N - o, "%s", e));
        else if (c < 0x20)
            o += static_cast<size_t>(snprintf(dst + o, N - o, "\\u%04x", c));
        else
            dst[o++] = static_cast<char>(c);
    }
    dst[o] = '\0';
}

void init_once()
{
    if (s_init_done) return;
    s_init_done = 1;
    /* Invalid settings leave the log off: where it goes is one of them,
     * and the request is refused with the reason anyway. */
    if (tv_config_error()) return;
    const tv_settings *cfg = tv_config();
    tv_strlcpy(s_root, tv_config_storage_root(), sizeof s_root);
    s_cap = cfg->access_log_max_bytes;
    if (!cfg->access_log) return;

    /* Front-ends sharing one store over a cluster file system each keep
     * their own log on local disk: an append there costs a round trip to
     * the file system's servers on every request. */
    const char *dir = getenv("REGISTRY_ACCESS_LOG_DIR");
    if (!dir || !*dir) dir = s_root;
    char path[kPathCap + sizeof kLogName + 1];
    int n = snprintf(path, sizeof path, "%s%s%s", dir, PLAT_SEP_STR, kLogName);
    if (n < 0 || static_cast<size_t>(n) >= kPathCap) return; /* too long: off */
    memcpy(s_path, path, static_cast<size_t>(n) + 1);
    s_enabled = 1;
    atexit(tv_audit_flush);
}

/* Current UTC time, or the epoch when it cannot be broken down. */
void utc_stamp(char *out, size_t cap)
{
    /* Formatted by hand: strftime would load the local time zone on every
     * request for a stamp that is UTC anyway. */
    struct tm tm;
    const int n = plat_gmtime(plat_time(), &tm) != 0
                      ? -1
                      : snprintf(out, cap, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (n != 20) tv_strlcpy(out, kEpochStamp, cap);
}

/* Moves the log to its ".1" name when the line would take it past the cap.
 * Reaching the cap exactly is still fine. */
void rotate_if_full(size_t line_len)
{
    plat_file_info fi;
    if (s_cap <= 0 || plat_stat(s_path, &fi) != 0 || fi.size < 0) return;
    if (fi.size + static_cast<int64_t>(line_len) <= s_cap) return;
    char old[kPathCap + sizeof kOldSuffix];
    tv_snprintf(old, sizeof old, "%s%s", s_path, kOldSuffix);
    /* Only one older generation is kept. The rename never replaces, so a
     * .1 that could not be removed leaves the log growing, not lost. */
    plat_remove(old);
    plat_rename_noreplace(s_path, old);
}

void append_line(const char *line, size_t len)
{
    int fd = plat_open_append(s_path);
    if (fd < 0) return;
    while (len > 0) {
        int64_t n = plat_write(fd, line, std::min(len, kWritePiece));
        if (n <= 0) break;
        line += n;
        len -= static_cast<size_t>(n);
    }
    plat_close(fd);
}

const char *env_or(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

} // namespace

void tv_audit_note_status(int status)
{
    init_once();
    if (status > 0) s_status = status;
}

void tv_audit_note_bytes(int64_t n)
{
    init_once();
    if (n > 0) s_bytes = n;
}

void tv_audit_note_actor(const char *actor)
{
    init_once();
    if (actor && *actor) tv_strlcpy(s_actor, actor, sizeof s_actor);
}

void tv_audit_flush(void)
{
    init_once();
    if (!s_enabled || s_flushed || s_status == 0) return;
    s_flushed = 1; /* before anything else: a second call writes nothing */

    const char *method = env_or("REQUEST_METHOD", "GET");
    char stamp[32];
    utc_stamp(stamp, sizeof stamp);
    char path[kPathEscCap];
    esc_into(path, env_or("PATH_INFO", "/"));
    char actor[kActorEscCap];
    esc_into(actor, s_actor);

    const long long bytes = s_bytes;
    char record[kRecordCap];
    tv_snprintf(record, sizeof record,
                "{\"ts\":\"%s\",\"method\":\"%s\",\"path\":\"%s\",\"status\":%d,\"bytes\":%lld,"
                "\"actor\":\"%s\"}",
                stamp, method, path, s_status, bytes, actor);
    char line[kLineCap];
    const int len = tv_snprintf(line, sizeof line, "%s %s %lld %d %s %s %s\n", method, path, bytes,
                                s_status, s_actor, stamp, record);
    if (len <= 0) return;

    rotate_if_full(static_cast<size_t>(len));
    append_line(line, static_cast<size_t>(len));
}

const char *tv_audit_log_path(void)
{
    init_once();
    return s_path;
}

int64_t tv_audit_cap_bytes(void)
{
    init_once();
    return s_cap;
}

int tv_audit_enabled(void)
{
    init_once();
    return s_enabled;
}

int64_t tv_audit_log_bytes(void)
{
    init_once();
    plat_file_info fi;
    if (!s_path[0] || plat_stat(s_path, &fi) != 0) return -1;
    return fi.size;
}
