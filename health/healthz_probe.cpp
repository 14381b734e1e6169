/*
 * healthz_probe.cpp - the health probe: can the storage root be brought
 * up and written, can the catalog be read, and since when has the store
 * been in service.
 */
#include "v2_healthz.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "reg_storage.h"
#include "tv_cgi.h"
#include "tv_config.h"

namespace
{

constexpr size_t kRootMax = 1023;      /* longest root the probe passes on */
constexpr size_t kProbePathCap = 1500; /* probe file name, NUL included */
constexpr size_t kHealthPathCap = 1600;

/* Creates, writes and removes a short-lived file in the root. */
bool root_writable(const char *root)
{
    char path[kProbePathCap];
    int n = snprintf(path, sizeof path, "%s%c.healthz-probe-%ld-%lld", root, PLAT_SEP, plat_pid(),
                     static_cast<long long>(plat_time()));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return false;

    FILE *f = fopen(path, "wb");
    if (!f) return false;
    bool wrote = fwrite("1", 1, 1, f) == 1;
    if (fclose(f) != 0) wrote = false;
    plat_remove(path);
    return wrote;
}

/* Reads the first-seen time, writing it when missing or not positive.
 * The write goes through a private file and a rename, so a reader never
 * sees a half-written number (which would read as a much older time). */
int64_t uptime_since_first_seen(const char *root)
{
    char dir[kHealthPathCap], file[kHealthPathCap + 16];
    if (tv_snprintf(dir, sizeof dir, "%s%c_health", root, PLAT_SEP) >=
        static_cast<int>(sizeof dir) - 1)
        return 0;
    plat_mkdir(dir);
    if (tv_snprintf(file, sizeof file, "%s%cfirst_seen", dir, PLAT_SEP) >=
        static_cast<int>(sizeof file) - 1)
        return 0;

    int64_t now = plat_time();
    long long seen = 0;
    if (FILE *f = fopen(file, "rb")) {
        char text[64];
        size_t n = fread(text, 1, sizeof text - 1, f);
        fclose(f);
        text[n] = '\0';
        /* One decimal number, white space and a sign allowed before it, as
         * "%lld" reads it; anything else counts as 0. */
        char *end = nullptr;
        seen = strtoll(text, &end, 10);
        if (end == text) seen = 0;
    }
    if (seen > 0) return now > seen ? now - seen : 0;

    char tmp[kHealthPathCap + 48];
    if (tv_snprintf(tmp, sizeof tmp, "%s.%ld.tmp", file, plat_pid()) >=
        static_cast<int>(sizeof tmp) - 1)
        return 0;
    if (FILE *f = fopen(tmp, "wb")) {
        bool ok = fprintf(f, "%lld\n", static_cast<long long>(now)) > 0;
        if (fclose(f) != 0) ok = false;
        if (!ok || plat_rename_replace(tmp, file) != 0) plat_remove(tmp);
    }
    return 0;
}

void fail(health_report *r, const char *component, const char *reason)
{
    tv_strlcpy(r->component, component, sizeof r->component);
    tv_strlcpy(r->reason, reason, sizeof r->reason);
}

} // namespace

int reg_health_check(health_report *report)
{
    if (!report) return 0;
    memset(report, 0, sizeof *report);
    tv_strlcpy(report->version, "unknown", sizeof report->version);

    if (tv_config_error()) {
        fail(report, "settings", "settings_invalid");
        return 0;
    }
    char root[kRootMax + 1];
    if (strlen(tv_config_storage_root()) > kRootMax) {
        fail(report, "storage", "init_failed");
        return 0;
    }
    tv_strlcpy(root, tv_config_storage_root(), sizeof root);

    report->init_rc = reg_storage_init(root);
    if (report->init_rc != 0) {
        fail(report, "storage", "init_failed");
        return 0;
    }

    tv_strlcpy(report->version, reg_storage_version(), sizeof report->version);

    if (!root_writable(root)) {
        fail(report, "storage", "not_writable");
        return 0;
    }
    report->writable = 1;

    report->catalog_ok = reg_catalog_readable() == 0;
    if (!report->catalog_ok) {
        fail(report, "catalog", "catalog_unreadable");
        return 0;
    }

    report->uptime_seconds = uptime_since_first_seen(root);
    report->ok = 1;
    return 1;
}
