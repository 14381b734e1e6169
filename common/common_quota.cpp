/*
 * common_quota.cpp - the storage quota: whether a finished upload would
 * take the blob store past "registry_quota_bytes", and the refusal text.
 *
 * The check reads the storage engine's usage snapshot and journal
 * (reg_usage_get) instead of walking the store; the snapshot is counted
 * again once it is "registry_quota_refresh_seconds" old.
 *
 * Whenever no decision can be made (no quota, unknown upload, no usage
 * figure) the upload is let through: the quota guards the disk, it must
 * not turn a storage hiccup into refused pushes.
 */
#include "oci_common.h"

#include "reg_storage.h"

#include <stdint.h>
#include <string.h>

#include <memory>

#include <yyjson.h>

namespace
{

constexpr int64_t kKiB = int64_t{1} << 10;
constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kGiB = int64_t{1} << 30;

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

} // namespace

int64_t oci_quota_used_bytes(void)
{
    const char *stats = reg_storage_get_stats_json();
    if (!stats) return 0;
    /* yyjson reads without flags and does not write into the text. */
    std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char *>(stats), strlen(stats), 0, nullptr, nullptr));
    if (!doc) return 0;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) return 0;
    yyjson_val *v = yyjson_obj_get(root, "blob_bytes");
    /* A byte count cannot be negative; one past the signed range is
     * nonsense too. Either reads as unknown. */
    if (yyjson_is_uint(v)) {
        const uint64_t u = yyjson_get_uint(v);
        return u > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(u);
    }
    if (yyjson_is_sint(v)) {
        const int64_t s = yyjson_get_sint(v);
        return s < 0 ? 0 : s;
    }
    return 0;
}

int oci_quota_check(const char *upload_uuid, char *out_msg, size_t out_msg_size)
{
    const bool want_msg = out_msg && out_msg_size > 0;
    if (want_msg) out_msg[0] = '\0';

    const int64_t quota = oci_quota_bytes();
    if (quota == 0 || !upload_uuid) return 1;
    int64_t size = 0;
    if (reg_blob_upload_size(upload_uuid, &size) != 0) return 1;
    if (size < 0) size = 0;
    /* The finish that follows must reach the next check's figure. */
    reg_usage_keep(1);
    reg_usage usage;
    if (reg_usage_get(oci_quota_refresh_seconds(), &usage) != 0) return 1;
    const int64_t used = usage.blob_bytes;

    /* used + size <= quota, written so that the sum cannot overflow. */
    if (used <= quota && size <= quota - used) return 1;

    char used_text[OCI_FMT_BYTES_CAP];
    char quota_text[OCI_FMT_BYTES_CAP];
    oci_fmt_bytes(used, used_text);
    oci_fmt_bytes(quota, quota_text);
    if (want_msg)
        tv_snprintf(out_msg, out_msg_size, "quota exceeded: %s of %s used", used_text, quota_text);
    return 0;
}

void oci_fmt_bytes(int64_t n, char *out)
{
    if (!out) return;
    struct Unit {
        int64_t size;
        const char *name;
    };
    static constexpr Unit kUnits[] = {{kGiB, "GB"}, {kMiB, "MB"}, {kKiB, "KB"}};
    for (const Unit &u : kUnits) {
        if (n >= u.size) {
            tv_snprintf(out, OCI_FMT_BYTES_CAP, "%.1f %s",
                        static_cast<double>(n) / static_cast<double>(u.size), u.name);
            return;
        }
    }
    tv_snprintf(out, OCI_FMT_BYTES_CAP, "%lld B", static_cast<long long>(n));
}
