/*
 * fuzz_ranges - the byte ranges of HTTP: cgi_parse_range (a Range header
 * against a body size) and cgi_parse_content_range (an upload chunk's
 * Content-Range).
 *
 * Input: the first 8 bytes are the body size (little-endian, reduced to at
 * most 2^62), the rest is the header text (cut at a NUL).
 *
 * Holds for every input: each parser gives what a plain reading of its
 * grammar gives (see expected_range and expected_content_range, written
 * with std::string and stoll rather than the parser's own scanning); an
 * accepted range lies inside the body, first <= last; the bounds are left
 * alone unless a range is accepted.
 */
#include "fuzz_support.h"
#include "tv_cgi.h"

#include <string>

namespace
{

struct parsed {
    int rc;
    int64_t first, last;
};

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.erase(0, 1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

/* 1 to 18 decimal digits, nothing else. */
bool number(const std::string &s, int64_t *out)
{
    if (s.empty() || s.size() > 18) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *out = std::stoll(s);
    return true;
}

parsed expected_range(std::string h, int64_t size)
{
    h = trimmed(h);
    if (h.rfind("bytes=", 0) != 0) return {CGI_RANGE_NONE, 0, 0};
    std::string spec = trimmed(h.substr(6));
    const size_t dash = spec.find('-');
    if (dash == std::string::npos) return {CGI_RANGE_NONE, 0, 0};
    const std::string a = spec.substr(0, dash), b = spec.substr(dash + 1);
    int64_t first = 0, last = 0;
    if (a.empty()) {
        if (!number(b, &last)) return {CGI_RANGE_NONE, 0, 0};
        if (last == 0 || size == 0) return {CGI_RANGE_UNSATISFIABLE, 0, 0};
        return {CGI_RANGE_OK, last >= size ? 0 : size - last, size - 1};
    }
    if (!number(a, &first)) return {CGI_RANGE_NONE, 0, 0};
    if (b.empty()) {
        last = size - 1;
    } else if (!number(b, &last)) {
        return {CGI_RANGE_NONE, 0, 0};
    } else if (last < first) {
        return {CGI_RANGE_UNSATISFIABLE, 0, 0};
    }
    if (first >= size) return {CGI_RANGE_UNSATISFIABLE, 0, 0};
    return {CGI_RANGE_OK, first, last >= size ? size - 1 : last};
}

parsed expected_content_range(std::string h)
{
    h = trimmed(h);
    if (h.rfind("bytes ", 0) == 0)
        h.erase(0, 6);
    else if (h.rfind("bytes=", 0) == 0)
        h.erase(0, 6);
    std::string total;
    const size_t slash = h.find('/');
    if (slash != std::string::npos) {
        total = h.substr(slash + 1);
        h.erase(slash);
    }
    const size_t dash = h.find('-');
    if (dash == std::string::npos) return {-1, 0, 0};
    int64_t first = 0, last = 0, t = 0;
    if (!number(h.substr(0, dash), &first) || !number(h.substr(dash + 1), &last) || last < first)
        return {-1, 0, 0};
    if (slash != std::string::npos && total != "*" && (!number(total, &t) || t <= last))
        return {-1, 0, 0};
    return {0, first, last};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8) return 0;
    uint64_t raw = 0;
    memcpy(&raw, data, 8);
    const int64_t body = static_cast<int64_t>(raw & ((uint64_t{1} << 62) - 1));
    std::string header(reinterpret_cast<const char *>(data + 8), size - 8);
    header = header.substr(0, header.find('\0'));

    constexpr int64_t kUntouched = -7;
    int64_t first = kUntouched, last = kUntouched;
    const int rc = cgi_parse_range(header.c_str(), body, &first, &last);
    const parsed want = expected_range(header, body);
    FUZZ_CHECK(rc == want.rc);
    if (rc == CGI_RANGE_OK) {
        FUZZ_CHECK(first == want.first && last == want.last);
        FUZZ_CHECK(0 <= first && first <= last && last < body);
    } else {
        FUZZ_CHECK(first == kUntouched && last == kUntouched);
    }

    first = last = kUntouched;
    const int crc = cgi_parse_content_range(header.c_str(), &first, &last);
    const parsed cwant = expected_content_range(header);
    FUZZ_CHECK(crc == cwant.rc);
    if (crc == 0)
        FUZZ_CHECK(first == cwant.first && last == cwant.last && first <= last);
    else
        FUZZ_CHECK(first == kUntouched && last == kUntouched);
    return 0;
}
