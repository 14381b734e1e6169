/*
 * storage_retention.cpp - tag retention: in every repository, rank the tags
 * newest first, select those beyond a count to keep and those older than
 * an age, spare "latest" unless told otherwise, delete (or in a dry run
 * only report) the selection.
 *
 * Every tag is seen: each tags directory is read in full and the table
 * grows as needed. A real run deletes one repository's selection with one
 * pass over its tags directory for the manifests left untagged, instead of
 * one pass per deleted tag, so its cost stays linear in the tags.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "storage_internal.h"

namespace storage
{

namespace
{

constexpr int kReportMaxEntries = 500; /* "deleted" entries in a report */
constexpr int64_t kDaySeconds = 86400;
constexpr char kLatest[] = "latest";

/* One tag found by the run. Names live elsewhere: the repository is an
 * index into the sorted repository list, the tag an offset into the run's
 * name text, so the table stays small and sorts fast. */
struct retention_tag {
    int repo;
    size_t tag;
    int64_t mtime; /* last write of the tag link; 0 when unreadable */
    char digest[DIGEST_TEXT_CAP];
    int selected;
};

struct retention_run {
    repo_list repos;
    std::vector<retention_tag> tags;
    std::vector<char> names;

    const char *tag_name(const retention_tag &t) const { return names.data() + t.tag; }
};

/* Repository (already in name order), then newest first, then tag name. */
bool retention_before(const retention_run &run, const retention_tag &a, const retention_tag &b)
{
    if (a.repo != b.repo) return a.repo < b.repo;
    if (a.mtime != b.mtime) return a.mtime > b.mtime;
    return std::strcmp(run.tag_name(a), run.tag_name(b)) < 0;
}

/* The tags of one repository whose link is a file naming an algorithm. */
void collect_repo(retention_run &run, int r, dir_listing_full &listing)
{
    const char *repo = run.repos[r];
    char dir[kPathCap], link[kPathCap], text[kTagLinkCap];
    if (manifest_tags_dir(repo, dir) != 0 || list_dir_full(dir, &listing) != 0) return;
    for (int i = 0; i < listing.count(); ++i) {
        if (!listing.is_dir(i)) continue;
        const char *tag = listing.name(i);
        plat_file_info info;
        if (manifest_tag_path(repo, tag, link) != 0 || plat_stat(link, &info) != 0 || info.is_dir)
            continue;
        if (read_link(link, text) != 0 || digest_algorithm_of(text) == DIGEST_NONE) continue;
        retention_tag t{};
        t.repo = r;
        t.tag = run.names.size();
        t.mtime = info.mtime > 0 ? info.mtime : 0;
        copy_cut(t.digest, sizeof t.digest, text);
        run.names.insert(run.names.end(), tag, tag + std::strlen(tag) + 1);
        run.tags.push_back(t);
    }
}

/* Marks the selection; the number of "latest" candidates spared. */
int select_tags(retention_run &run, int keep_n, int days, int include_latest, int64_t now)
{
    int spared = 0, rank = 0;
    for (size_t i = 0; i < run.tags.size(); ++i) {
        retention_tag &t = run.tags[i];
        rank = (i > 0 && run.tags[i - 1].repo == t.repo) ? rank + 1 : 1;
        bool by_count = keep_n > 0 && rank > keep_n;
        bool by_age = days > 0 && now - t.mtime >= static_cast<int64_t>(days) * kDaySeconds;
        if (!by_count && !by_age) continue;
        if (!include_latest && std::strcmp(run.tag_name(t), kLatest) == 0)
            ++spared; /* keeps its rank */
        else
            t.selected = 1;
    }
    return spared;
}

/* Deletes the selection repository by repository; the tags deleted. A tag
 * whose deletion fails stays selected and is only not counted. */
int delete_selected(retention_run &run)
{
    int deleted = 0;
    for (size_t a = 0, b; a < run.tags.size(); a = b) {
        for (b = a; b < run.tags.size() && run.tags[b].repo == run.tags[a].repo; ++b) {
        }
        const char *repo = run.repos[run.tags[a].repo];
        /* The checks a delete of the tag would make of the name. */
        if (!repo_name_valid(repo)) continue;
        std::unique_ptr<char[][DIGEST_TEXT_CAP]> digests(
            new (std::nothrow) char[b - a][DIGEST_TEXT_CAP]);
        if (!digests) continue;
        int n = 0;
        for (size_t i = a; i < b; ++i)
            if (run.tags[i].selected &&
                tag_unlink(repo, run.tag_name(run.tags[i]), digests[n]) == 0)
                ++n;
        manifests_drop_untagged(repo, digests.get(), n);
        deleted += n;
    }
    return deleted;
}

/* Appends text to the report at *pos when it fits, leaving room for the
 * closing "]}" and its NUL; false when it does not. */
bool report_add(size_t *pos, const char *text, size_t len)
{
    if (len > kResultCap - 3 - *pos) return false;
    std::memcpy(s_result + *pos, text, len);
    *pos += len;
    s_result[*pos] = '\0';
    return true;
}

bool report_add_escaped(size_t *pos, const char *text)
{
    /* json_escape_append wants 8 bytes of slack beyond the escape. */
    if (json_escaped_len(text) + 8 > kResultCap - 3 - *pos) return false;
    *pos += json_escape_append(s_result + *pos, kResultCap - *pos, text);
    return true;
}

/* One "deleted" entry, whole or not at all. */
bool report_entry(const retention_run &run, const retention_tag &t, int64_t now, size_t *pos)
{
    size_t start = *pos;
    char age[64];
    int len = std::snprintf(age, sizeof age, "\",\"age_days\":%lld}",
                            static_cast<long long>((now - t.mtime) / kDaySeconds));
    bool ok = report_add(pos, "{\"repository\":\"", 15) &&
              report_add_escaped(pos, run.repos[t.repo]) && report_add(pos, "\",\"tag\":\"", 9) &&
              report_add_escaped(pos, run.tag_name(t)) && report_add(pos, "\",\"digest\":\"", 12) &&
              report_add_escaped(pos, t.digest) && report_add(pos, age, static_cast<size_t>(len));
    if (!ok) {
        *pos = start;
        s_result[start] = '\0';
    }
    return ok;
}

} // namespace

} // namespace storage

using namespace storage;

extern "C" const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                                          int *out_truncated)
{
    if (out_truncated) *out_truncated = 0;
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    retention_run run;
    if (run.repos.collect() != 0) {
        set_error("out of memory");
        return nullptr;
    }
    run.repos.sort();
    keep_n = std::max(keep_n, 0);
    days = std::max(days, 0);
    const int64_t now = plat_time();

    try {
        dir_listing_full listing;
        for (int r = 0; r < run.repos.count(); ++r)
            collect_repo(run, r, listing);
    } catch (...) {
        set_error("out of memory");
        return nullptr;
    }
    std::sort(run.tags.begin(), run.tags.end(),
              [&run](const retention_tag &a, const retention_tag &b) {
                  return retention_before(run, a, b);
              });
    const int total = static_cast<int>(run.tags.size());
    const int spared = select_tags(run, keep_n, days, include_latest, now);
    int selected = 0;
    for (const retention_tag &t : run.tags)
        selected += t.selected;

    int deleted = selected;
    if (!dry_run) {
        try {
            deleted = delete_selected(run);
        } catch (...) {
            set_error("out of memory");
            return nullptr;
        }
    }

    int pos =
        std::snprintf(s_result, kResultCap,
                      "{\"dry_run\":%s,\"keep_n\":%d,\"days\":%d,\"include_latest\":%s,"
                      "\"repos_scanned\":%d,\"tags_total\":%d,\"tags_deleted\":%d,"
                      "\"tags_kept\":%d,\"latest_protected\":%d,\"deleted\":[",
                      dry_run ? "true" : "false", keep_n, days, include_latest ? "true" : "false",
                      run.repos.count(), total, deleted, total - deleted, spared);
    size_t at = static_cast<size_t>(pos);
    int written = 0;
    for (const retention_tag &t : run.tags) {
        if (!t.selected) continue;
        if (written == kReportMaxEntries) break;
        if (written > 0 && !report_add(&at, ",", 1)) break;
        if (!report_entry(run, t, now, &at)) {
            if (written > 0) s_result[--at] = '\0'; /* the comma before it */
            break;
        }
        ++written;
    }
    std::memcpy(s_result + at, "]}", 3);
    if (out_truncated) *out_truncated = written < selected ? 1 : 0;
    s_error[0] = '\0';
    return s_result;
}
