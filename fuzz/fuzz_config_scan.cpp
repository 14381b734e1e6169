/*
 * fuzz_config_scan - the configuration-key scanner's steps (tv_config.h)
 * and auth's json_str_key, on text in memory.
 *
 * Input: a key on the first line, the configuration text after it (each
 * cut at a NUL: the readers' text ends at the first one). The fuzzed key
 * and every key a reader looks for are searched in the text, with and
 * without the colon right after the closing quote; each step then runs on
 * what the search found, and each reader's own composition of the steps
 * runs on the text cut to what that reader reads of the file.
 *
 * Holds for every input: each step gives what its header says, checked
 * against a plain reading (the first occurrence of the quoted key, the
 * first ':' after it, the first two quotes, the saturated decimal); a
 * string copy is NUL-terminated within its buffer when made and leaves the
 * buffer untouched when refused; nothing reads past the text's NUL.
 */
#include "fuzz_support.h"
#include "tv_config.h"
#include "v2_auth.h"

#include <string>
#include <string_view>

namespace
{

using std::string_view;
constexpr size_t npos = string_view::npos;
constexpr char kFill = '\x5a';

/* The keys the readers of config.json look for (tv_audit, common, auth,
 * health). */
constexpr const char *kReaderKeys[] = {
    "registry_storage_root",     "storage_root",           "registry_access_log",
    "registry_access_log_max_bytes", "registry_auth_user", "registry_auth_sha256",
    "registry_quota_bytes",      "registry_retention_keep_n", "registry_retention_days",
    "registry_retention_protect_latest",
};

/* Copy capacities of the readers (tv_audit 1400, common storage 1024, auth
 * user 128 and digest 65) and a few small ones. */
constexpr size_t kCaps[] = {0, 1, 2, 7, 65, 128, 1024, 1400};

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/* Offset of p in text, checking that it points into the text or at its NUL. */
size_t offset_in(const fuzz::text &t, const char *p)
{
    FUZZ_CHECK(p >= t.c_str() && p <= t.c_str() + t.size());
    return static_cast<size_t>(p - t.c_str());
}

const char *check_after_text(const fuzz::text &t, const char *pattern)
{
    const char *p = tv_config_after_text(t.c_str(), pattern);
    const size_t hit = t.view().find(pattern);
    size_t colon = hit == npos ? npos : t.view().find(':', hit + strlen(pattern));
    if (colon == npos) {
        FUZZ_CHECK(p == nullptr);
    } else {
        FUZZ_CHECK(p != nullptr && offset_in(t, p) == colon + 1);
    }
    return p;
}

const char *check_after_key(const fuzz::text &t, const char *key, int colon_adjacent)
{
    const char *p = tv_config_after_key(t.c_str(), key, colon_adjacent);
    const size_t klen = strlen(key);
    if (klen + 4 > 256) {
        FUZZ_CHECK(p == nullptr); /* longer than any key a reader uses */
        return p;
    }
    const std::string quoted = "\"" + std::string(key) + "\"" + (colon_adjacent ? ":" : "");
    const size_t hit = t.view().find(quoted);
    size_t want = npos;
    if (hit != npos && colon_adjacent) {
        want = hit + quoted.size();
    } else if (hit != npos) {
        const size_t colon = t.view().find(':', hit + quoted.size());
        if (colon != npos) want = colon + 1;
    }
    if (want == npos)
        FUZZ_CHECK(p == nullptr);
    else
        FUZZ_CHECK(p != nullptr && offset_in(t, p) == want);
    return p;
}

const char *check_skip_space(const fuzz::text &t, const char *p)
{
    const char *s = tv_config_skip_space(p);
    if (!p) {
        FUZZ_CHECK(s == nullptr);
        return s;
    }
    FUZZ_CHECK(s != nullptr && s >= p);
    offset_in(t, s);
    for (const char *q = p; q < s; ++q)
        FUZZ_CHECK(is_space(*q));
    FUZZ_CHECK(!is_space(*s));
    return s;
}

/* The first two quotes from p, read plainly: the offset and length of the
 * text between them, or false. */
bool plain_quoted(const fuzz::text &t, const char *p, size_t *start, size_t *len)
{
    if (!p) return false;
    const size_t from = offset_in(t, p);
    const size_t open = t.view().find('"', from);
    if (open == npos) return false;
    const size_t close = t.view().find('"', open + 1);
    if (close == npos) return false;
    *start = open + 1;
    *len = close - open - 1;
    return true;
}

void check_quoted(const fuzz::text &t, const char *p)
{
    const char *start = nullptr;
    size_t len = 0;
    const int rc = tv_config_quoted(p, &start, &len);
    size_t want_start = 0, want_len = 0;
    const bool found = plain_quoted(t, p, &want_start, &want_len);
    FUZZ_CHECK(rc == (found ? 0 : -1));
    if (found) FUZZ_CHECK(offset_in(t, start) == want_start && len == want_len);
    /* Either out-pointer may be left out. */
    FUZZ_CHECK(tv_config_quoted(p, nullptr, nullptr) == rc);
}

void check_str_at(const fuzz::text &t, const char *p, size_t cap)
{
    fuzz::buffer out(cap, kFill);
    const int rc = tv_config_str_at(p, out.get(), cap);
    size_t start = 0, len = 0;
    const bool fits = plain_quoted(t, p, &start, &len) && len < cap;
    FUZZ_CHECK(rc == (fits ? 0 : -1));
    if (fits) {
        FUZZ_CHECK(memcmp(out.get(), t.c_str() + start, len) == 0 && out.get()[len] == '\0');
    } else {
        FUZZ_CHECK(out.all(kFill)); /* refused: untouched */
    }
}

/* tv_config_int_at read plainly: blanks, one optional quote, then an
 * optional '-' and digits, saturating at the 64-bit range. */
bool plain_int(const char *p, int64_t *out)
{
    if (!p) return false;
    while (is_space(*p))
        ++p;
    if (*p == '"') ++p;
    if (!((*p >= '0' && *p <= '9') || *p == '-')) return false;
    const bool neg = *p == '-';
    if (neg) ++p;
    __int128 v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<__int128>(INT64_MAX) + 1) v = static_cast<__int128>(INT64_MAX) + 1;
    }
    if (neg) v = -v;
    if (v > INT64_MAX) v = INT64_MAX;
    if (v < INT64_MIN) v = INT64_MIN;
    *out = static_cast<int64_t>(v);
    return true;
}

void check_int_at(const char *p)
{
    int64_t got = 12345, want = 0;
    const int rc = tv_config_int_at(p, &got);
    const bool ok = plain_int(p, &want);
    FUZZ_CHECK(rc == (ok ? 0 : -1));
    if (ok) FUZZ_CHECK(got == want);
    FUZZ_CHECK(tv_config_int_at(p, nullptr) == rc);
}

/* Every step on what a search found. */
void check_steps(const fuzz::text &t, const char *p)
{
    check_skip_space(t, p);
    check_quoted(t, p);
    for (size_t cap : kCaps)
        check_str_at(t, p, cap);
    check_int_at(p);
}

void check_json_str_key(const fuzz::text &t, const char *key, size_t cap)
{
    fuzz::buffer out(cap, kFill);
    const int rc = json_str_key(t.c_str(), key, out.get(), cap);
    FUZZ_CHECK(rc == 0 || rc == 1);
    if (strlen(key) > 93) {
        FUZZ_CHECK(rc == 0 && out.all(kFill));
        return;
    }
    const char *p = tv_config_after_key(t.c_str(), key, 0);
    size_t start = 0, len = 0;
    const bool fits = plain_quoted(t, p, &start, &len) && len < cap;
    FUZZ_CHECK(rc == (fits ? 1 : 0));
    if (fits)
        FUZZ_CHECK(memcmp(out.get(), t.c_str() + start, len) == 0 && out.get()[len] == '\0');
    else
        FUZZ_CHECK(out.all(kFill));
}

/* The readers' compositions, each on the text cut to the bytes it reads
 * (tv_config_read of its buffer size). Outputs are checked to stay
 * NUL-terminated within their buffers. */
void readers(string_view all)
{
    { /* tv_audit: the root (1400 bytes), the cap and the switch. */
        const fuzz::text t(all.substr(0, 8191));
        fuzz::buffer root(1400, '\0');
        if (tv_config_str_at(tv_config_after_key(t.c_str(), "registry_storage_root", 0),
                             root.get(), root.cap()) != 0)
            tv_config_str_at(tv_config_after_key(t.c_str(), "storage_root", 0), root.get(),
                             root.cap());
        FUZZ_CHECK(root.terminated());
        int64_t v;
        tv_config_int_at(tv_config_after_key(t.c_str(), "registry_access_log_max_bytes", 0), &v);
        tv_config_int_at(tv_config_after_key(t.c_str(), "registry_access_log", 0), &v);
    }
    { /* common: the storage root, colon right after the key. */
        const fuzz::text t(all.substr(0, 2047));
        fuzz::buffer root(1024, '\0');
        const char *after = tv_config_after_key(t.c_str(), "storage_root", 1);
        if (!after) after = tv_config_after_key(t.c_str(), "registry_storage_root", 1);
        tv_config_str_at(after, root.get(), root.cap());
        FUZZ_CHECK(root.terminated());
    }
    { /* health: the probe's root, 1 to 1023 bytes. */
        const fuzz::text t(all.substr(0, 8191));
        const char *after = tv_config_after_key(t.c_str(), "registry_storage_root", 1);
        if (!after) after = tv_config_after_key(t.c_str(), "storage_root", 1);
        const char *start = nullptr;
        size_t len = 0;
        if (after && tv_config_quoted(after, &start, &len) == 0) {
            FUZZ_CHECK(start >= t.c_str() && start + len < t.c_str() + t.size());
        }
    }
    { /* common config and auth: 4,095 bytes. */
        const fuzz::text t(all.substr(0, 4095));
        const char *v = tv_config_skip_space(tv_config_after_text(t.c_str(), "\"registry_quota_bytes\""));
        int64_t n = 0;
        if (v && *v >= '0' && *v <= '9') FUZZ_CHECK(tv_config_int_at(v, &n) == 0 && n >= 0);
        check_json_str_key(t, "registry_auth_user", 128);
        check_json_str_key(t, "registry_auth_sha256", 65);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::split in = fuzz::first_line(data, size);
    const fuzz::text key(in.line);
    const fuzz::text t(in.rest);

    for (int ca = 0; ca <= 1; ++ca) {
        check_steps(t, check_after_key(t, key.c_str(), ca));
        for (const char *k : kReaderKeys)
            check_steps(t, check_after_key(t, k, ca));
    }
    check_steps(t, check_after_text(t, key.c_str()));
    check_steps(t, t.c_str());
    check_steps(t, nullptr);
    for (size_t cap : {size_t{0}, size_t{1}, size_t{128}})
        check_json_str_key(t, key.c_str(), cap);

    readers(in.rest);
    return 0;
}
