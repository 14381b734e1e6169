/*
 * fuzz_cgi_query - query decoding: cgi_query over QUERY_STRING.
 *
 * Input: the parameter name on the first line, the query string after it
 * (each cut at a NUL, which neither a name nor the environment can hold).
 * Without a line feed the whole input is the query and a few fixed names
 * are looked up.
 *
 * Holds for every input: the value is NUL-terminated within its 512-byte
 * slot; it is what a plain reading of the form encoding gives (first
 * segment whose key is the name, '+' a space, "%XY" a byte, any other '%'
 * itself, cut at 511 bytes); and it stays intact over seven further
 * lookups, as the ring promises.
 *
 * And for the parameters the endpoint programs read: "n" gives what a
 * plain reading of a page size gives (digits only; more than OCI_PAGE_MAX
 * or none means everything, -1); a "digest" or "mount" oci_valid_digest
 * accepts is "sha256:" and 64 lower-case hex digits; "last", "from" and
 * "artifactType" stay within their slot (the referrers listing refuses an
 * artifactType over 255 bytes itself, see fuzz_manifest_put).
 */
#include "fuzz_support.h"
#include "oci_common.h"
#include "tv_cgi.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace
{

constexpr size_t kSlotSize = 512;
constexpr int kRing = 8;

int hex(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* The value the query string gives name, read plainly. */
std::string expected(std::string_view qs, std::string_view name)
{
    size_t pos = 0;
    while (true) {
        size_t amp = qs.find('&', pos);
        std::string_view seg =
            qs.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
        size_t eq = seg.find('=');
        std::string_view key = eq == std::string_view::npos ? seg : seg.substr(0, eq);
        if (key == name) {
            std::string out;
            if (eq == std::string_view::npos) return out;
            std::string_view v = seg.substr(eq + 1);
            for (size_t i = 0; i < v.size() && out.size() < kSlotSize - 1; ++i) {
                if (v[i] == '+') {
                    out += ' ';
                } else if (v[i] == '%' && i + 2 < v.size() && hex(v[i + 1]) >= 0 &&
                           hex(v[i + 2]) >= 0) {
                    out += static_cast<char>(hex(v[i + 1]) * 16 + hex(v[i + 2]));
                    i += 2;
                } else {
                    out += v[i];
                }
            }
            return out;
        }
        if (amp == std::string_view::npos) return "";
        pos = amp + 1;
    }
}

/* The page size read plainly: -1 for none or past the largest page. */
bool plain_page_size(const std::string &v, int *n)
{
    for (char c : v)
        if (c < '0' || c > '9') return false;
    const std::string digits = v.substr(std::min(v.find_first_not_of('0'), v.size()));
    *n = digits.empty() ? (v.empty() ? -1 : 0)
         : digits.size() > 6 || std::stol(digits) > OCI_PAGE_MAX
             ? -1
             : static_cast<int>(std::stol(digits));
    return true;
}

bool plain_digest(std::string_view s)
{
    if (s.size() != 71 || s.substr(0, 7) != "sha256:") return false;
    for (char c : s.substr(7))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

/* What the programs make of the value they read. */
void check_meaning(const char *name, const char *got)
{
    const std::string v(got);
    if (strcmp(name, "n") == 0) {
        int want = 0, n = 12345;
        const bool ok = plain_page_size(v, &want);
        FUZZ_CHECK(oci_page_size(got, &n) == (ok ? 0 : -1));
        FUZZ_CHECK(n >= -1 && n <= OCI_PAGE_MAX);
        if (ok) FUZZ_CHECK(n == want);
    } else if (strcmp(name, "digest") == 0 || strcmp(name, "mount") == 0) {
        FUZZ_CHECK(oci_valid_digest(got) == (plain_digest(v) ? 1 : 0));
    }
}

void check_lookup(const fuzz::text &qs, const char *name)
{
    const char *got = cgi_query(name);
    FUZZ_CHECK(got != nullptr);
    if (!*name) {
        FUZZ_CHECK(*got == '\0');
        return;
    }
    /* The decoded value may hold a NUL of its own ("%00"): compare up to
     * the slot's size, never past it. */
    FUZZ_CHECK(memchr(got, '\0', kSlotSize) != nullptr);
    const std::string want = expected(qs.view(), name);
    const size_t got_len = strlen(got);
    const size_t want_len = strnlen(want.c_str(), want.size());
    FUZZ_CHECK(got_len == want_len);
    FUZZ_CHECK(memcmp(got, want.data(), got_len) == 0);
    check_meaning(name, got);

    /* Seven more lookups with non-empty names leave it as it was. */
    const std::string kept(got, got_len);
    for (int i = 1; i < kRing; ++i) {
        const char other[] = {'_', static_cast<char>('0' + i), '\0'};
        cgi_query(other);
    }
    FUZZ_CHECK(strlen(got) == kept.size() && memcmp(got, kept.data(), kept.size()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::split in = fuzz::first_line(data, size);
    const fuzz::text qs(in.rest);
    if (qs.size() == 0) return 0; /* the fallback reads other variables */
    fuzz::set_env("QUERY_STRING", qs.c_str());

    if (in.had_line) {
        const fuzz::text name(in.line);
        check_lookup(qs, name.c_str());
    } else {
        for (const char *name : {"n", "last", "digest", "mount", "from", "artifactType", "a", ""})
            check_lookup(qs, name);
    }
    return 0;
}
