/*
 * tv_audit_traffic.cpp - counts of the last day's access-log lines. The
 * log can be long, so its tail is found by probing windows growing from
 * the end until one starts before the day began; only that tail is read.
 */
#include "tv_audit_traffic.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"
#include "tv_cgi.h"

namespace
{

constexpr int64_t kDay = 86400;
constexpr int64_t kFirstWindow = 64 * 1024;
constexpr size_t kLineCap = 8192;
constexpr char kOldSuffix[] = ".1";

/* Requests per repository: every repository of the day is counted, however
 * many, so a busy one seen late in the log is never left out. */
struct Scan {
    tv_traffic *out;
    std::map<std::string, int64_t, std::less<>> repos;
    bool out_of_memory = false;
};

int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool digits(std::string_view s, size_t at, size_t n, int64_t *out)
{
    int64_t v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

int64_t parse_stamp(std::string_view s)
{
    int64_t y, mo, d, h, mi, se;
    if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
        s[16] != ':' || s[19] != 'Z')
        return -1;
    if (!digits(s, 0, 4, &y) || !digits(s, 5, 2, &mo) || !digits(s, 8, 2, &d) ||
        !digits(s, 11, 2, &h) || !digits(s, 14, 2, &mi) || !digits(s, 17, 2, &se))
        return -1;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return -1;
    return days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * kDay +
           h * 3600 + mi * 60 + se;
}

/* A line is "METHOD PATH BYTES STATUS ACTOR STAMP {json}"; the path may
 * hold spaces, so the fields are taken from the right of the JSON's start. */
struct Line {
    std::string_view path;
    int64_t bytes, status, stamp;
};

bool split_field(std::string_view *rest, std::string_view *field)
{
    size_t sp = rest->rfind(' ');
    if (sp == std::string_view::npos) return false;
    *field = rest->substr(sp + 1);
    *rest = rest->substr(0, sp);
    return true;
}

bool parse_line(std::string_view s, Line *out)
{
    size_t brace = s.find(" {");
    if (brace == std::string_view::npos) return false;
    std::string_view rest = s.substr(0, brace), stamp, actor, status, bytes;
    if (!split_field(&rest, &stamp) || !split_field(&rest, &actor) ||
        !split_field(&rest, &status) || !split_field(&rest, &bytes))
        return false;
    size_t sp = rest.find(' ');
    if (sp == std::string_view::npos) return false;
    out->path = rest.substr(sp + 1);
    out->stamp = parse_stamp(stamp);
    if (out->stamp < 0 || status.size() != 3 || !digits(status, 0, 3, &out->status)) return false;
    if (bytes.empty() || bytes.size() > 18 || !digits(bytes, 0, bytes.size(), &out->bytes))
        return false;
    return true;
}

/* The repository a /v2/ path names: what lies between "/v2/" and the last
 * endpoint marker. Empty for other paths. */
std::string_view repo_of(std::string_view path)
{
    if (path.substr(0, 4) != "/v2/") return {};
    path = path.substr(4, path.find('?') == std::string_view::npos ? std::string_view::npos
                                                                   : path.find('?') - 4);
    static constexpr std::string_view kMarkers[] = {"/manifests/", "/blobs/", "/tags/",
                                                    "/referrers/"};
    size_t best = std::string_view::npos;
    for (std::string_view m : kMarkers) {
        size_t at = path.rfind(m);
        if (at != std::string_view::npos && (best == std::string_view::npos || at > best))
            best = at;
    }
    return best == std::string_view::npos ? std::string_view{} : path.substr(0, best);
}

void count_repo(Scan *scan, std::string_view repo)
{
    if (repo.empty() || repo.size() >= TV_TRAFFIC_REPO_CAP) return;
    try {
        auto it = scan->repos.find(repo);
        if (it == scan->repos.end()) it = scan->repos.emplace(std::string(repo), 0).first;
        ++it->second;
    } catch (...) {
        scan->out_of_memory = true;
    }
}

void count_line(Scan *scan, std::string_view s, int64_t now)
{
    Line l;
    if (!parse_line(s, &l) || l.stamp <= now - kDay || l.stamp > now) return;
    tv_traffic *t = scan->out;
    ++t->requests;
    int cls = static_cast<int>(l.status / 100);
    ++t->by_class[cls >= 1 && cls <= 5 ? cls : 0];
    t->bytes += l.bytes;
    int64_t age_hours = (now - l.stamp) / 3600;
    if (age_hours >= 0 && age_hours < 24) ++t->per_hour[23 - age_hours];
    count_repo(scan, repo_of(l.path));
}

/* The stamp of the first whole line at or after offset; -1 if none. */
int64_t stamp_at(FILE *f, int64_t offset)
{
    if (plat_fseek64(f, offset) != 0) return -1;
    char line[kLineCap];
    if (offset > 0 && !fgets(line, sizeof line, f)) return -1; /* partial line */
    if (!fgets(line, sizeof line, f)) return -1;
    Line l;
    std::string_view s(line, strcspn(line, "\n"));
    return parse_line(s, &l) ? l.stamp : -1;
}

/* Reads one file's lines of the last day. *out_whole: the file began
 * inside the day, so an older generation may hold more of it. */
int scan_file(Scan *scan, const char *path, int64_t now, bool *out_whole)
{
    *out_whole = false;
    plat_file_info fi;
    if (plat_stat(path, &fi) != 0) return -1;
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    int64_t start = 0;
    for (int64_t window = kFirstWindow; window < fi.size; window *= 4) {
        int64_t at = fi.size - window;
        int64_t stamp = stamp_at(f, at);
        if (stamp >= 0 && stamp <= now - kDay) {
            start = at;
            break;
        }
    }
    if (start == 0) {
        int64_t first = stamp_at(f, 0);
        *out_whole = first < 0 || first > now - kDay;
    }
    if (plat_fseek64(f, start) != 0) {
        fclose(f);
        return -1;
    }
    char line[kLineCap];
    bool partial = start > 0;
    while (fgets(line, sizeof line, f)) {
        size_t len = strlen(line);
        bool complete = len > 0 && line[len - 1] == '\n';
        if (!partial && complete) count_line(scan, std::string_view(line, len - 1), now);
        /* A line longer than the buffer is skipped whole. */
        partial = !complete;
    }
    fclose(f);
    return 0;
}

} // namespace

int64_t tv_audit_parse_stamp(const char *text)
{
    return text ? parse_stamp(text) : -1;
}

int tv_audit_traffic(const char *log_path, int64_t now, tv_traffic *out)
{
    if (!out) return -1;
    memset(out, 0, sizeof *out);
    if (!log_path || !*log_path) return -1;
    Scan scan{out, {}};
    bool whole = false;
    int rc = scan_file(&scan, log_path, now, &whole);
    if (rc != 0 || whole) {
        char old[1024];
        tv_snprintf(old, sizeof old, "%s%s", log_path, kOldSuffix);
        bool ignored;
        if (scan_file(&scan, old, now, &ignored) == 0) rc = 0;
    }
    /* The busiest first; ties by name so the page is stable. */
    using entry = const std::pair<const std::string, int64_t> *;
    std::vector<entry> order;
    try {
        order.reserve(scan.repos.size());
    } catch (...) {
        scan.out_of_memory = true;
    }
    if (scan.out_of_memory) rc = -1; /* no figures rather than wrong ones */
    for (const auto &r : scan.repos)
        if (rc == 0) order.push_back(&r);
    const size_t top = std::min<size_t>(TV_TRAFFIC_TOP, order.size());
    std::partial_sort(order.begin(), order.begin() + top, order.end(), [](entry a, entry b) {
        return a->second != b->second ? a->second > b->second : a->first < b->first;
    });
    for (size_t k = 0; k < top; ++k) {
        tv_strlcpy(out->top_repo[k], order[k]->first.c_str(), TV_TRAFFIC_REPO_CAP);
        out->top_requests[k] = order[k]->second;
    }
    out->top_count = static_cast<int>(top);
    if (rc != 0) memset(out, 0, sizeof *out);
    return rc;
}
