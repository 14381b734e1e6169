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
 */
#include "fuzz_support.h"
#include "tv_cgi.h"

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
        for (const char *name : {"n", "last", "digest", "a", ""})
            check_lookup(qs, name);
    }
    return 0;
}
