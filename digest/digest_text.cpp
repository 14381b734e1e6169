/*
 * digest_text.cpp - the digest grammar and the two-algorithm hash (see
 * digest_text.h).
 *
 * The general form is the protocol's:
 *   algorithm ::= component (separator component)*   component ::= [a-z0-9]+
 *   separator ::= [+._-]                              encoded ::= [a-zA-Z0-9=_-]+
 * and the registry keeps sha256 and sha512 with exactly 64 and 128
 * lower-case hex digits.
 */
#include "digest_text.h"

#include <cstring>
#include <string_view>

namespace
{

using std::string_view;

constexpr char kHex[] = "0123456789abcdef";

struct algorithm_row {
    digest_algorithm algorithm;
    string_view name;
    size_t hex_len;
};

constexpr algorithm_row kAlgorithms[] = {
    {DIGEST_SHA256, "sha256", 64},
    {DIGEST_SHA512, "sha512", 128},
};

constexpr bool is_lower_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

constexpr bool is_lower_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

constexpr bool is_encoded_char(char c)
{
    return is_lower_alnum(c) || (c >= 'A' && c <= 'Z') || c == '=' || c == '_' || c == '-';
}

bool algorithm_form(string_view a)
{
    if (a.empty() || !is_lower_alnum(a.front()) || !is_lower_alnum(a.back())) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (is_lower_alnum(a[i])) continue;
        if (a[i] != '+' && a[i] != '.' && a[i] != '_' && a[i] != '-') return false;
        if (!is_lower_alnum(a[i + 1])) return false; /* separators stand alone */
    }
    return true;
}

const algorithm_row *row_of(digest_algorithm algorithm)
{
    for (const algorithm_row &r : kAlgorithms)
        if (r.algorithm == algorithm) return &r;
    return nullptr;
}

size_t sum_bytes(digest_algorithm algorithm)
{
    return algorithm == DIGEST_SHA512 ? SHA512_DIGEST_BYTES : 32;
}

/* "ALGORITHM:HEX" and a NUL from the binary sum. */
void write_text(digest_algorithm algorithm, const uint8_t *sum, char *out)
{
    const string_view name = row_of(algorithm)->name;
    std::memcpy(out, name.data(), name.size());
    char *hex = out + name.size();
    *hex++ = ':';
    const size_t n = sum_bytes(algorithm);
    for (size_t i = 0; i < n; ++i) {
        hex[2 * i] = kHex[sum[i] >> 4];
        hex[2 * i + 1] = kHex[sum[i] & 15];
    }
    hex[2 * n] = '\0';
}

} // namespace

extern "C" {

digest_form digest_parse_n(const char *text, size_t len, digest_algorithm *out_algorithm)
{
    if (out_algorithm) *out_algorithm = DIGEST_NONE;
    if (!text) return DIGEST_FORM_MALFORMED;
    const string_view s(text, len);
    const size_t colon = s.find(':');
    if (colon == string_view::npos) return DIGEST_FORM_MALFORMED;
    const string_view algorithm = s.substr(0, colon), encoded = s.substr(colon + 1);
    if (!algorithm_form(algorithm) || encoded.empty()) return DIGEST_FORM_MALFORMED;
    for (char c : encoded)
        if (!is_encoded_char(c)) return DIGEST_FORM_MALFORMED;
    for (const algorithm_row &r : kAlgorithms) {
        if (algorithm != r.name) continue;
        if (encoded.size() != r.hex_len) return DIGEST_FORM_MALFORMED;
        for (char c : encoded)
            if (!is_lower_hex(c)) return DIGEST_FORM_MALFORMED;
        if (out_algorithm) *out_algorithm = r.algorithm;
        return DIGEST_FORM_OK;
    }
    return DIGEST_FORM_UNSUPPORTED;
}

digest_form digest_parse(const char *text, digest_algorithm *out_algorithm)
{
    return digest_parse_n(text, text ? std::strlen(text) : 0, out_algorithm);
}

int digest_text_valid(const char *text)
{
    return digest_parse(text, nullptr) == DIGEST_FORM_OK ? 1 : 0;
}

const char *digest_algorithm_name(digest_algorithm algorithm)
{
    const algorithm_row *r = row_of(algorithm);
    return r ? r->name.data() : "";
}

size_t digest_hex_len(digest_algorithm algorithm)
{
    const algorithm_row *r = row_of(algorithm);
    return r ? r->hex_len : 0;
}

digest_algorithm digest_algorithm_of(const char *text)
{
    if (!text) return DIGEST_NONE;
    for (const algorithm_row &r : kAlgorithms)
        if (std::strncmp(text, r.name.data(), r.name.size()) == 0 && text[r.name.size()] == ':')
            return r.algorithm;
    return DIGEST_NONE;
}

void digest_init(digest_ctx *ctx, digest_algorithm algorithm)
{
    ctx->algorithm = algorithm == DIGEST_SHA512 ? DIGEST_SHA512 : DIGEST_SHA256;
    if (ctx->algorithm == DIGEST_SHA512)
        sha512_init(&ctx->u.sha512);
    else
        sha256_init(&ctx->u.sha256);
}

void digest_update(digest_ctx *ctx, const void *data, size_t len)
{
    if (ctx->algorithm == DIGEST_SHA512)
        sha512_update(&ctx->u.sha512, data, len);
    else
        sha256_update(&ctx->u.sha256, data, len);
}

void digest_final_text(digest_ctx *ctx, char out[DIGEST_TEXT_CAP])
{
    uint8_t sum[SHA512_DIGEST_BYTES];
    const digest_algorithm algorithm = ctx->algorithm;
    if (algorithm == DIGEST_SHA512)
        sha512_final(&ctx->u.sha512, sum);
    else
        sha256_final(&ctx->u.sha256, sum);
    write_text(algorithm, sum, out);
}

int digest_file_text(const char *path, digest_algorithm algorithm, char out[DIGEST_TEXT_CAP])
{
    uint8_t sum[SHA512_DIGEST_BYTES];
    algorithm = algorithm == DIGEST_SHA512 ? DIGEST_SHA512 : DIGEST_SHA256;
    const int rc = algorithm == DIGEST_SHA512 ? sha512_file(path, sum) : sha256_file(path, sum);
    if (rc != 0) return -1;
    write_text(algorithm, sum, out);
    return 0;
}

void digest_bytes_text(digest_algorithm algorithm, const void *data, size_t len,
                       char out[DIGEST_TEXT_CAP])
{
    digest_ctx ctx;
    digest_init(&ctx, algorithm);
    digest_update(&ctx, data, len);
    digest_final_text(&ctx, out);
}

} // extern "C"
