/*
 * status.cpp - the status page: the store's counts, the quota, a
 * collection in progress and a page of the repository list with their
 * tags. HTML for browsers, JSON for programs (?format=json or an Accept
 * that asks for JSON). Never cached: every answer is a fresh snapshot.
 */
#include "oci_common.h"
#include "v2_auth.h"
#include "reg_storage.h"
#include "tv_audit.h"
#include "tv_audit_traffic.h"
#include "v2_healthz.h"
#include "platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <yyjson.h>

namespace
{

constexpr int kDefaultPage = 20;
constexpr int kMaxPage = 100;
constexpr size_t kLastCap = 256;

bool wants_json(void)
{
    const char *fmt = cgi_query("format");
    if (fmt && (strcmp(fmt, "json") == 0 || strcmp(fmt, "JSON") == 0)) return true;
    const char *accept = cgi_env("HTTP_ACCEPT", "");
    return strstr(accept, "application/json") && !strstr(accept, "text/html");
}

/* Everything from the store and the log passes through here. */
void esc(const char *text)
{
    health_html_escape(stdout, text ? text : "");
}

/* Query values travel back in links: anything outside the unreserved set
 * is percent-encoded so a repository name cannot break out of the URL. */
void url_esc(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~')
            fputc(c, stdout);
        else
            printf("%%%02X", c);
    }
}

int64_t num(yyjson_val *obj, const char *key)
{
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_int(v)) return yyjson_get_sint(v);
    if (yyjson_is_real(v)) return static_cast<int64_t>(yyjson_get_real(v));
    return 0;
}

/* Copies an engine answer into doc (the engine reuses its buffer). */
yyjson_mut_val *adopt(yyjson_mut_doc *doc, const char *json)
{
    if (!json) return yyjson_mut_null(doc);
    yyjson_doc *d = yyjson_read(json, strlen(json), 0);
    if (!d) return yyjson_mut_null(doc);
    yyjson_mut_val *v = yyjson_val_mut_copy(doc, yyjson_doc_get_root(d));
    yyjson_doc_free(d);
    return v ? v : yyjson_mut_null(doc);
}

int page_size(void)
{
    const char *n = cgi_query("n");
    if (!n || !*n) return kDefaultPage;
    char *end = nullptr;
    long v = strtol(n, &end, 10);
    if (*end || v < 1) return kDefaultPage;
    return v > kMaxPage ? kMaxPage : static_cast<int>(v);
}

/* The whole snapshot as one JSON document; the page renders from it too,
 * so both forms always show the same numbers. */
yyjson_mut_doc *snapshot(void)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    if (!doc) return nullptr;
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    bool ok = oci_init_storage() == 0;
    yyjson_mut_obj_add_str(doc, root, "status", ok ? "ok" : "unhealthy");
    if (!ok) return doc;

    /* With a quota, the statistics' walk renews the check's snapshot. */
    const int64_t limit = oci_quota_bytes();
    reg_usage_keep(limit > 0);
    yyjson_mut_val *store = adopt(doc, reg_storage_get_stats_json());
    yyjson_mut_obj_add_val(doc, root, "store", store);
    yyjson_mut_val *quota = yyjson_mut_obj_add_obj(doc, root, "quota");
    yyjson_mut_obj_add_int(doc, quota, "limit_bytes", limit);
    /* The figure the upload check sees: the count the statistics have
     * just saved plus what finished since, and how old that count is.
     * Without a quota, the statistics' own count. */
    reg_usage usage;
    if (limit > 0 && reg_usage_get(oci_quota_refresh_seconds(), &usage) == 0) {
        yyjson_mut_obj_add_int(doc, quota, "used_bytes", usage.blob_bytes);
        yyjson_mut_obj_add_int(doc, quota, "counted_at", usage.counted_at);
        const int64_t age = plat_time() - usage.counted_at;
        yyjson_mut_obj_add_int(doc, quota, "counted_seconds_ago", age > 0 ? age : 0);
    } else {
        yyjson_mut_val *used = yyjson_mut_obj_get(store, "blob_bytes");
        yyjson_mut_obj_add_int(doc, quota, "used_bytes", used ? yyjson_mut_get_sint(used) : 0);
    }
    yyjson_mut_obj_add_val(doc, root, "gc", adopt(doc, reg_gc_progress_json()));
    if (const char *last_gc = reg_gc_last_json())
        yyjson_mut_obj_add_val(doc, root, "gc_last", adopt(doc, last_gc));
    yyjson_mut_obj_add_val(doc, root, "uploads", adopt(doc, reg_uploads_json(plat_time(), 50)));

    tv_traffic t;
    if (tv_audit_traffic(tv_audit_log_path(), plat_time(), &t) == 0) {
        yyjson_mut_val *tr = yyjson_mut_obj_add_obj(doc, root, "traffic_24h");
        yyjson_mut_obj_add_int(doc, tr, "requests", t.requests);
        yyjson_mut_obj_add_int(doc, tr, "bytes", t.bytes);
        yyjson_mut_val *cls = yyjson_mut_obj_add_obj(doc, tr, "by_status");
        static const char *const kClass[] = {"other", "1xx", "2xx", "3xx", "4xx", "5xx"};
        for (int c = 0; c < 6; ++c)
            yyjson_mut_obj_add_int(doc, cls, kClass[c], t.by_class[c]);
        yyjson_mut_val *hours = yyjson_mut_obj_add_arr(doc, tr, "per_hour");
        for (int64_t h : t.per_hour)
            yyjson_mut_arr_add_int(doc, hours, h);
        yyjson_mut_val *top = yyjson_mut_obj_add_arr(doc, tr, "busiest");
        for (int k = 0; k < t.top_count; ++k) {
            yyjson_mut_val *e = yyjson_mut_arr_add_obj(doc, top);
            yyjson_mut_obj_add_strcpy(doc, e, "repository", t.top_repo[k]);
            yyjson_mut_obj_add_int(doc, e, "requests", t.top_requests[k]);
        }
    }

    int n = page_size();
    const char *last_q = cgi_query("last");
    char last[kLastCap] = "";
    int more = 0;
    yyjson_mut_val *repos = yyjson_mut_obj_add_arr(doc, root, "repositories");
    const char *cat =
        reg_catalog_json_page(n, last_q && *last_q ? last_q : nullptr, &more, last, sizeof last);
    yyjson_doc *cd = cat ? yyjson_read(cat, strlen(cat), 0) : nullptr;
    yyjson_val *list = cd ? yyjson_obj_get(yyjson_doc_get_root(cd), "repositories") : nullptr;
    size_t i, count;
    yyjson_val *name;
    yyjson_arr_foreach(list, i, count, name)
    {
        const char *repo = yyjson_get_str(name);
        if (!repo) continue;
        yyjson_mut_val *entry = yyjson_mut_arr_add_obj(doc, repos);
        yyjson_mut_obj_add_strcpy(doc, entry, "name", repo);
        yyjson_mut_val *tags = adopt(doc, reg_tags_list_json(repo));
        yyjson_mut_val *tag_list = yyjson_mut_obj_get(tags, "tags");
        yyjson_mut_val *out = yyjson_mut_obj_add_arr(doc, entry, "tags");
        size_t j, tcount;
        yyjson_mut_val *tag;
        yyjson_mut_arr_foreach(tag_list, j, tcount, tag)
        {
            const char *t = yyjson_mut_get_str(tag);
            if (!t) continue;
            yyjson_mut_val *te = yyjson_mut_arr_add_obj(doc, out);
            yyjson_mut_obj_add_strcpy(doc, te, "tag", t);
            char type[256] = "", digest[DIGEST_TEXT_CAP] = "", path[1024] = "";
            int64_t size = 0;
            if (reg_manifest_locate(repo, t, type, digest, path, sizeof path, &size) == 0) {
                yyjson_mut_obj_add_strcpy(doc, te, "digest", digest);
                yyjson_mut_obj_add_int(doc, te, "size", size);
            }
        }
    }
    yyjson_doc_free(cd);
    if (more) yyjson_mut_obj_add_strcpy(doc, root, "next_last", last);
    return doc;
}

void bar(int64_t used, int64_t limit)
{
    int pct = limit > 0 ? static_cast<int>(used * 100 / limit) : 0;
    if (pct > 100) pct = 100;
    printf("<div class=\"bar\"><span style=\"width:%d%%\"></span></div>", pct);
}

/* Requests per hour as bars, oldest on the left; drawn inline so the page
 * needs nothing else. */
void chart(yyjson_val *hours)
{
    int64_t peak = 1;
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(hours, i, n, v) if (yyjson_get_sint(v) > peak) peak = yyjson_get_sint(v);
    fputs("<svg id=\"chart\" viewBox=\"0 0 240 60\" role=\"img\" "
          "aria-label=\"requests per hour\" style=\"width:100%;max-height:12em\">",
          stdout);
    yyjson_arr_foreach(hours, i, n, v)
    {
        int64_t c = yyjson_get_sint(v);
        int h = static_cast<int>(c * 56 / peak);
        if (c > 0 && h == 0) h = 1;
        printf("<rect x=\"%d\" y=\"%d\" width=\"8\" height=\"%d\" fill=\"currentColor\">"
               "<title>%lld</title></rect>",
               static_cast<int>(i) * 10 + 1, 58 - h, h, static_cast<long long>(c));
    }
    fputs("<line x1=\"0\" y1=\"58.5\" x2=\"240\" y2=\"58.5\" stroke=\"currentColor\"/>"
          "</svg>\n",
          stdout);
}

void traffic(yyjson_val *tr)
{
    char b[OCI_FMT_BYTES_CAP];
    oci_fmt_bytes(num(tr, "bytes"), b);
    printf("<h2>Traffic, last 24 hours</h2>\n<table id=\"traffic\"><tr><th>Requests</th>"
           "<td>%lld</td></tr><tr><th>Bytes served</th><td>",
           static_cast<long long>(num(tr, "requests")));
    esc(b);
    fputs("</td></tr>", stdout);
    yyjson_val *cls = yyjson_obj_get(tr, "by_status");
    size_t i, n;
    yyjson_val *k, *v;
    yyjson_obj_foreach(cls, i, n, k, v)
    {
        if (yyjson_get_sint(v) == 0) continue;
        fputs("<tr><th>", stdout);
        esc(yyjson_get_str(k));
        printf("</th><td>%lld</td></tr>", static_cast<long long>(yyjson_get_sint(v)));
    }
    fputs("</table>\n", stdout);
    chart(yyjson_obj_get(tr, "per_hour"));
    yyjson_val *top = yyjson_obj_get(tr, "busiest");
    if (yyjson_arr_size(top) > 0) {
        fputs("<h3>Busiest repositories</h3>\n<ol id=\"busiest\">", stdout);
        yyjson_arr_foreach(top, i, n, v)
        {
            fputs("<li>", stdout);
            esc(yyjson_get_str(yyjson_obj_get(v, "repository")));
            printf(": %lld</li>", static_cast<long long>(num(v, "requests")));
        }
        fputs("</ol>\n", stdout);
    }
}

void page(yyjson_mut_doc *doc)
{
    yyjson_doc *copy = yyjson_mut_doc_imut_copy(doc, nullptr);
    if (!copy) return;
    yyjson_val *root = yyjson_doc_get_root(copy);
    fputs("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
          "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
          "<title>Registry status</title><style>"
          ":root{color-scheme:light dark;--bg:#fff;--fg:#111;--mu:#666;--ac:#2a6fdb}"
          "@media(prefers-color-scheme:dark){:root{--bg:#111;--fg:#eee;--mu:#999;--ac:#7ab7ff}}"
          "body{background:var(--bg);color:var(--fg);font-family:system-ui,sans-serif;"
          "margin:0 auto;padding:1em;max-width:60em}"
          "table{border-collapse:collapse;width:100%}td,th{text-align:left;padding:.2em .4em;"
          "border-bottom:1px solid var(--mu);overflow-wrap:anywhere}"
          ".bar{height:.8em;background:var(--mu);border-radius:.4em;overflow:hidden}"
          ".bar span{display:block;height:100%;background:var(--ac)}"
          "a{color:var(--ac)}code{font-size:.85em}"
          "</style></head>\n<body>\n<h1>Registry status</h1>\n",
          stdout);
    const char *st = yyjson_get_str(yyjson_obj_get(root, "status"));
    printf("<p id=\"health\">Health: <strong>%s</strong></p>\n", st ? st : "unknown");
    yyjson_val *store = yyjson_obj_get(root, "store");
    if (store) {
        char b[OCI_FMT_BYTES_CAP];
        oci_fmt_bytes(num(store, "blob_bytes"), b);
        printf("<h2>Store</h2>\n<table id=\"store\"><tr><th>Repositories</th><td>%lld</td></tr>"
               "<tr><th>Tags</th><td>%lld</td></tr><tr><th>Blobs</th><td>%lld</td></tr>"
               "<tr><th>Bytes</th><td>",
               static_cast<long long>(num(store, "repositories")),
               static_cast<long long>(num(store, "tags")),
               static_cast<long long>(num(store, "blobs")));
        esc(b);
        printf("</td></tr><tr><th>Uploads in progress</th><td>%lld</td></tr></table>\n",
               static_cast<long long>(num(store, "active_uploads")));
    }
    yyjson_val *quota = yyjson_obj_get(root, "quota");
    if (quota) {
        int64_t limit = num(quota, "limit_bytes"), used = num(quota, "used_bytes");
        char u[OCI_FMT_BYTES_CAP], l[OCI_FMT_BYTES_CAP];
        oci_fmt_bytes(used, u);
        oci_fmt_bytes(limit, l);
        fputs("<h2>Quota</h2>\n<p>", stdout);
        esc(u);
        fputs(" of ", stdout);
        if (limit > 0)
            esc(l);
        else
            fputs("no limit", stdout);
        if (yyjson_obj_get(quota, "counted_seconds_ago"))
            printf(" (blobs counted %lld s ago)",
                   static_cast<long long>(num(quota, "counted_seconds_ago")));
        fputs("</p>", stdout);
        if (limit > 0) bar(used, limit);
        fputs("\n", stdout);
    }
    yyjson_val *gc = yyjson_obj_get(root, "gc");
    if (gc) {
        fputs("<h2>Garbage collection</h2>\n<p id=\"gc\">", stdout);
        if (yyjson_get_bool(yyjson_obj_get(gc, "running"))) {
            fputs("Running: ", stdout);
            esc(yyjson_get_str(yyjson_obj_get(gc, "phase")));
            printf(", %lld of %lld blobs scanned</p>",
                   static_cast<long long>(num(gc, "blobs_scanned")),
                   static_cast<long long>(num(gc, "blobs_total")));
            bar(num(gc, "blobs_scanned"), num(gc, "blobs_total"));
        } else {
            fputs("Not running.</p>", stdout);
        }
        yyjson_val *last = yyjson_obj_get(root, "gc_last");
        if (yyjson_is_obj(last)) {
            fputs("\n<p id=\"gc-last\">Last collection:", stdout);
            size_t i, n;
            yyjson_val *k, *v;
            yyjson_obj_foreach(last, i, n, k, v)
            {
                if (!yyjson_is_num(v)) continue;
                fputs(" ", stdout);
                esc(yyjson_get_str(k));
                printf(" %lld;", static_cast<long long>(num(last, yyjson_get_str(k))));
            }
            fputs("</p>", stdout);
        }
        fputs("\n", stdout);
    }
    yyjson_val *up = yyjson_obj_get(root, "uploads");
    if (yyjson_arr_size(yyjson_obj_get(up, "uploads")) > 0) {
        fputs("<h2>Uploads in progress</h2>\n<table id=\"uploads\"><tr><th>Upload</th>"
              "<th>Size</th><th>Idle</th></tr>\n",
              stdout);
        size_t i, n;
        yyjson_val *u;
        yyjson_arr_foreach(yyjson_obj_get(up, "uploads"), i, n, u)
        {
            char sz[OCI_FMT_BYTES_CAP];
            oci_fmt_bytes(num(u, "bytes"), sz);
            fputs("<tr><td><code>", stdout);
            esc(yyjson_get_str(yyjson_obj_get(u, "id")));
            fputs("</code></td><td>", stdout);
            esc(sz);
            int64_t idle = num(u, "idle_seconds");
            if (idle >= 3600)
                printf("</td><td>%lld h %lld min</td></tr>\n", static_cast<long long>(idle / 3600),
                       static_cast<long long>(idle % 3600 / 60));
            else
                printf("</td><td>%lld min %lld s</td></tr>\n", static_cast<long long>(idle / 60),
                       static_cast<long long>(idle % 60));
        }
        fputs("</table>\n", stdout);
    }
    yyjson_val *tr = yyjson_obj_get(root, "traffic_24h");
    if (tr) traffic(tr);
    yyjson_val *repos = yyjson_obj_get(root, "repositories");
    if (repos) {
        fputs("<h2>Repositories</h2>\n<table id=\"repos\"><tr><th>Repository</th><th>Tag</th>"
              "<th>Digest</th><th>Size</th></tr>\n",
              stdout);
        size_t i, n;
        yyjson_val *r;
        yyjson_arr_foreach(repos, i, n, r)
        {
            const char *name = yyjson_get_str(yyjson_obj_get(r, "name"));
            yyjson_val *tags = yyjson_obj_get(r, "tags");
            if (yyjson_arr_size(tags) == 0) {
                fputs("<tr><td>", stdout);
                esc(name);
                fputs("</td><td colspan=\"3\">no tags</td></tr>\n", stdout);
            }
            size_t j, m;
            yyjson_val *t;
            yyjson_arr_foreach(tags, j, m, t)
            {
                char sz[OCI_FMT_BYTES_CAP];
                oci_fmt_bytes(num(t, "size"), sz);
                fputs("<tr><td>", stdout);
                esc(name);
                fputs("</td><td>", stdout);
                esc(yyjson_get_str(yyjson_obj_get(t, "tag")));
                fputs("</td><td><code>", stdout);
                esc(yyjson_get_str(yyjson_obj_get(t, "digest")));
                fputs("</code></td><td>", stdout);
                esc(sz);
                fputs("</td></tr>\n", stdout);
            }
        }
        fputs("</table>\n", stdout);
        const char *next = yyjson_get_str(yyjson_obj_get(root, "next_last"));
        if (next) {
            printf("<p><a id=\"next\" href=\"/status?n=%d&amp;last=", page_size());
            url_esc(next);
            fputs("\">Next page</a></p>\n", stdout);
        }
    }
    fputs("<p><a href=\"/healthz\">Health check</a> &middot; "
          "<a href=\"/status?format=json\">JSON</a></p>\n</body></html>\n",
          stdout);
    yyjson_doc_free(copy);
}

} // namespace

int main(void)
{
    /* A page for people: the admin right, asked for with a challenge a
     * browser answers (Basic), whatever the API's challenge is. */
    if (!registry_auth_admin()) return 0;
    oci_api_enter("GET, HEAD");
    bool head = strcmp(cgi_method(), "HEAD") == 0;
    yyjson_mut_doc *doc = snapshot();
    bool ok = doc &&
              strcmp(yyjson_mut_get_str(yyjson_mut_obj_get(yyjson_mut_doc_get_root(doc), "status")),
                     "ok") == 0;
    int status = ok ? 200 : 503;
    bool json = wants_json();
    cgi_header_status(status, ok ? "OK" : "Service Unavailable");
    if (json)
        cgi_header_json();
    else
        cgi_header_html();
    cgi_header_extra("Cache-Control: no-store");
    cgi_headers_end();
    if (!head && doc) {
        if (json) {
            char *text = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, nullptr);
            if (text) {
                fputs(text, stdout);
                fputc('\n', stdout);
            }
            free(text);
        } else {
            page(doc);
        }
    }
    fflush(stdout);
    yyjson_mut_doc_free(doc);
    return 0;
}
