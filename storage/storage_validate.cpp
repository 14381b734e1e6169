/*
 * storage_validate.cpp - the forms of digests, upload ids and repository
 * names, and the JSON string escape of the engine's documents.
 */
#include <cstdio>
#include <cstring>
#include <string_view>

#include "storage_internal.h"

namespace storage
{

namespace
{

constexpr bool is_lower_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

constexpr bool is_repo_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '/' || c == '\\';
}

constexpr size_t kUuidLen = 36;

/* The two-character escapes; every other control byte becomes \u00XX. */
constexpr char short_escape(unsigned char c)
{
    switch (c) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case 0x08:
        return 'b';
    case 0x09:
        return 't';
    case 0x0A:
        return 'n';
    case 0x0C:
        return 'f';
    case 0x0D:
        return 'r';
    default:
        return 0;
    }
}

} // namespace

const char *digest_hex(const char *digest)
{
    const char *colon = std::strchr(digest, ':');
    return colon ? colon + 1 : digest + std::strlen(digest);
}

int digest_of_name(digest_algorithm algorithm, const char *name, char *out)
{
    digest_algorithm parsed = DIGEST_NONE;
    const int n =
        std::snprintf(out, DIGEST_TEXT_CAP, "%s:%s", digest_algorithm_name(algorithm), name);
    if (n > 0 && static_cast<size_t>(n) < DIGEST_TEXT_CAP && algorithm != DIGEST_NONE &&
        digest_parse(out, &parsed) == DIGEST_FORM_OK && parsed == algorithm)
        return 0;
    out[0] = '\0';
    return -1;
}

int digest_of_any_name(const char *name, char *out)
{
    for (digest_algorithm algorithm : kAlgorithms)
        if (digest_of_name(algorithm, name, out) == 0) return 0;
    return -1;
}

int uuid_valid(const char *s)
{
    if (!s) return 0;
    for (size_t i = 0; i < kUuidLen; ++i) {
        bool dash_pos = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_pos ? s[i] != '-' : !is_lower_hex(s[i])) return 0;
    }
    return 1;
}

int repo_name_valid(const char *s)
{
    if (!s) return 0;
    std::string_view name(s, strnlen(s, kRepoNameMax + 1));
    if (name.size() > kRepoNameMax) return 0;
    for (char c : name)
        if (!is_repo_char(c)) return 0;
    if (name.find("..") != std::string_view::npos) return 0;
    /* A "." component names its parent: "." alone would be the
     * repositories directory itself, which a repository delete removes. */
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == ".") return 0;
        start = end + 1;
    }
    return 1;
}

int tag_valid(const char *s)
{
    if (!s) return 0;
    auto word = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_';
    };
    if (!word(s[0])) return 0;
    size_t i = 1;
    for (; s[i] && i < kTagMax; ++i)
        if (!word(s[i]) && s[i] != '.' && s[i] != '-') return 0;
    return s[i] == '\0';
}

size_t json_escape_append(char *dst, size_t size, const char *src)
{
    size_t written = 0;
    if (src) {
        for (const char *p = src; *p; ++p) {
            if (written + 8 >= size) break; /* room for the longest escape and a NUL */
            unsigned char c = static_cast<unsigned char>(*p);
            if (char e = short_escape(c)) {
                dst[written++] = '\\';
                dst[written++] = e;
            } else if (c < 0x20) {
                std::snprintf(dst + written, 7, "\\u%04x", c);
                written += 6;
            } else {
                dst[written++] = static_cast<char>(c);
            }
        }
    }
    if (written < size) dst[written] = '\0';
    return written;
}

size_t json_escaped_len(const char *src)
{
    size_t n = 0;
    if (!src) return 0;
    for (const char *p = src; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        n += short_escape(c) ? 2 : (c < 0x20 ? 6 : 1);
    }
    return n;
}

} // namespace storage
