/*
 * admin_progress.cpp - the progress line: the bar, the counts, the time
 * taken and the estimate of the rest, redrawn in place on a terminal.
 */
#include "admin_progress.h"

#include "oci_common.h"
#include "platform.h"
#include "tv_cgi.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr uint64_t kRedrawEveryMs = 100;
constexpr int64_t kMaxShownSecs = 99 * 3600 + 59 * 60 + 59;

void fmt_amount(int64_t n, int in_bytes, char *out)
{
    if (in_bytes)
        oci_fmt_bytes(n, out);
    else
        tv_snprintf(out, OCI_FMT_BYTES_CAP, "%lld", static_cast<long long>(n));
}

} // namespace

int64_t admin_eta_ms(int64_t done, int64_t total, int64_t rate_ms)
{
    if (done <= 0 || total <= 0 || rate_ms <= 0) return -1;
    if (done >= total) return 0;
    /* In floating point: bytes times milliseconds overflows 64 bits for
     * stores of a few terabytes. */
    const double left = static_cast<double>(total - done) * static_cast<double>(rate_ms) /
                        static_cast<double>(done);
    return left > static_cast<double>(kMaxShownSecs) * 1000.0 ? kMaxShownSecs * 1000
                                                                : static_cast<int64_t>(left);
}

void admin_fmt_duration(int64_t ms, char *out)
{
    if (ms < 0) {
        tv_strlcpy(out, "--:--", ADMIN_DURATION_CAP);
        return;
    }
    int64_t s = ms / 1000;
    if (s > kMaxShownSecs) s = kMaxShownSecs;
    const long long h = s / 3600, m = (s / 60) % 60, sec = s % 60;
    if (h > 0)
        tv_snprintf(out, ADMIN_DURATION_CAP, "%lld:%02lld:%02lld", h, m, sec);
    else
        tv_snprintf(out, ADMIN_DURATION_CAP, "%lld:%02lld", m, sec);
}

size_t admin_progress_line(const admin_progress_view *v, char *out)
{
    const int64_t total = v->total > 0 ? v->total : 0;
    const int64_t done = v->done < 0 ? 0 : (total > 0 && v->done > total ? total : v->done);
    char bar[ADMIN_BAR_WIDTH + 1];
    const int filled =
        total > 0 ? static_cast<int>(static_cast<double>(done) * ADMIN_BAR_WIDTH /
                                     static_cast<double>(total))
                  : 0;
    for (int i = 0; i < ADMIN_BAR_WIDTH; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[ADMIN_BAR_WIDTH] = '\0';

    char done_text[OCI_FMT_BYTES_CAP], total_text[OCI_FMT_BYTES_CAP];
    char elapsed[ADMIN_DURATION_CAP], left[ADMIN_DURATION_CAP];
    fmt_amount(done, v->in_bytes, done_text);
    admin_fmt_duration(v->elapsed_ms, elapsed);
    admin_fmt_duration(admin_eta_ms(done, total, v->rate_ms), left);
    const char *phase = v->phase && *v->phase ? v->phase : "working";
    int n;
    if (total > 0) {
        fmt_amount(total, v->in_bytes, total_text);
        const int pct = static_cast<int>(static_cast<double>(done) * 100.0 /
                                         static_cast<double>(total));
        n = tv_snprintf(out, ADMIN_LINE_CAP, "%-9.12s [%s] %s/%s %3d%%  %s  ~%s left", phase, bar,
                        done_text, total_text, pct, elapsed, left);
    } else {
        n = tv_snprintf(out, ADMIN_LINE_CAP, "%-9.12s [%s] %s  %s", phase, bar, done_text,
                        elapsed);
    }
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return std::strlen(out);
}

void admin_bar_init(admin_bar *bar, FILE *stream)
{
    std::memset(bar, 0, sizeof *bar);
    bar->out = plat_is_terminal(stream) ? stream : nullptr;
}

void admin_bar_draw(admin_bar *bar, const admin_progress_view *v, int force)
{
    if (!bar->out) return;
    const uint64_t now = plat_tick_ms();
    if (!force && bar->drawn && now - bar->last_ms < kRedrawEveryMs) return;
    char line[ADMIN_LINE_CAP];
    const size_t len = admin_progress_line(v, line);
    const int pad = bar->last_len > len ? static_cast<int>(bar->last_len - len) : 0;
    std::fprintf(bar->out, "\r%s%*s", line, pad, "");
    std::fflush(bar->out);
    bar->last_ms = now;
    bar->last_len = len;
    bar->drawn = 1;
}

void admin_bar_clear(admin_bar *bar)
{
    if (!bar->out || !bar->drawn) return;
    std::fprintf(bar->out, "\r%*s\r", static_cast<int>(bar->last_len), "");
    std::fflush(bar->out);
    bar->drawn = 0;
    bar->last_len = 0;
}
