/*
 * common_repo_name.cpp - repository names as the request layer sees them,
 * and the split of a request path into name and remainder around a marker
 * such as "/blobs/" or "/manifests/".
 *
 * Digests and tags in paths follow the protocol's grammar: digests as
 * digest_parse reads them (sha256 and sha512 in lower-case hex, what the
 * store keeps), tags of at most
 * 128 letters, digits, '_', '.' and '-' that do not begin with '.' or '-'.
 *
 * This rule is stricter at the edges than the storage engine's own (no
 * backslash, no separator first or last, no empty component) but lets
 * ".." through: the engine's check behind it refuses that.
 */
#include "oci_common.h"

#include <string.h>

#include <algorithm>
#include <string_view>

namespace
{

constexpr size_t kRepoNameMax = 255;

bool is_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

int oci_valid_repo_name(const char *name)
{
    if (!name) return 0;
    const std::string_view s(name);
    if (s.empty() || s.size() > kRepoNameMax) return 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (is_alnum(c)) continue;
        if (c != '-' && c != '_' && c != '.' && c != '/') return 0;
        if (i == 0 || i + 1 == s.size()) return 0;
        if (c == '/' && s[i - 1] == '/') return 0;
    }
    return 1;
}

int oci_parse_repo_marker(const char *path, const char *marker, char *out_name,
                          size_t out_name_size, char *out_rest, size_t out_rest_size)
{
    if (!path || !marker || !out_name || out_name_size == 0) return 0;
    out_name[0] = '\0';
    const bool want_rest = out_rest && out_rest_size > 0;
    if (want_rest) out_rest[0] = '\0';
    if (!*marker) return 0;

    std::string_view p(path);
    p.remove_prefix(std::min(p.find_first_not_of('/'), p.size()));
    if (p.starts_with("v2/"))
        p.remove_prefix(3);
    else if (p == "v2")
        p.remove_prefix(2);

    /* What follows the marker is one segment, so the last one ends the name:
     * "x/tags" is a repository too. */
    const size_t at = p.rfind(marker);
    if (at == std::string_view::npos || at == 0 || at >= out_name_size) return 0;
    memcpy(out_name, p.data(), at);
    out_name[at] = '\0';

    const int valid = oci_valid_repo_name(out_name);
    if (!valid || !want_rest) return valid;

    std::string_view rest = p.substr(at + strlen(marker));
    rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    tv_strlcpy(out_rest, rest.data(), out_rest_size);
    const size_t n = strlen(out_rest);
    if (n > 0 && out_rest[n - 1] == '/') out_rest[n - 1] = '\0';
    return 1;
}

int oci_valid_digest(const char *s)
{
    return digest_text_valid(s);
}

int oci_valid_tag(const char *s)
{
    if (!s || !*s || strlen(s) > 128) return 0;
    for (const char *p = s; *p; ++p) {
        const bool first = p == s;
        if (is_alnum(*p) || *p == '_') continue;
        if (first || (*p != '.' && *p != '-')) return 0;
    }
    return 1;
}
