/*
 * storage_upload_hash.cpp - an upload's running digest, saved beside it.
 *
 * Appends hash their bytes as they arrive and leave the SHA-256 state in
 * R/uploads/sha256-state/ID, one line of text:
 *
 *   sha256-state 1 ID SIZE H0..H7 TAIL CHECK
 *
 * SIZE is the number of bytes hashed, H0..H7 the chaining value in 64 hex
 * digits, TAIL the SIZE % 64 bytes of the unfinished block in hex ("-" when
 * there are none), and CHECK the first 16 hex digits of the SHA-256 of
 * everything before it. The bit count and the tail's length follow from
 * SIZE, so they cannot disagree with it.
 *
 * The state is only a shortcut for the finish: whatever does not read back
 * whole, names another upload or covers another size than the upload file
 * has is ignored, and the upload file is hashed instead.
 */
#include <cstdio>
#include <cstring>
#include <string_view>

#include "storage_internal.h"

namespace storage
{

namespace
{

constexpr std::string_view kMagic = "sha256-state 1 ";
constexpr size_t kCheckLen = 16;
/* magic + id + size + state + tail + check, with their spaces and a NUL. */
constexpr size_t kRecordCap = 15 + 36 + 1 + 20 + 1 + 64 + 1 + 128 + 1 + 16 + 2;

void put_hex(const uint8_t *bytes, size_t n, char *out)
{
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = hx[bytes[i] >> 4];
        out[2 * i + 1] = hx[bytes[i] & 15];
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* Exactly 2 * n lower-case hex digits into n bytes. */
bool get_hex(std::string_view text, uint8_t *out, size_t n)
{
    if (text.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        const int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

/* The record's check: the first kCheckLen hex digits of its digest. */
void check_of(std::string_view text, char *out)
{
    sha256_ctx c;
    uint8_t sum[32];
    sha256_init(&c);
    sha256_update(&c, text.data(), text.size());
    sha256_final(&c, sum);
    put_hex(sum, kCheckLen / 2, out);
}

/* Splits off the text before the next space (or the end). */
std::string_view next_field(std::string_view &rest)
{
    const size_t space = rest.find(' ');
    const std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    return field;
}

bool parse_size(std::string_view text, int64_t *out)
{
    if (text.empty() || text.size() > 18) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

} // namespace

int upload_hash_save(const char *uuid, int64_t size, const sha256_ctx *ctx)
{
    if (size < 0 || ctx->buffer_len != static_cast<uint64_t>(size % 64)) return -1;
    char record[kRecordCap];
    int n = std::snprintf(record, sizeof record, "%.*s%s %lld ", static_cast<int>(kMagic.size()),
                          kMagic.data(), uuid, static_cast<long long>(size));
    if (n < 0 || static_cast<size_t>(n) + 64 + 128 + 1 + kCheckLen + 2 > sizeof record) return -1;
    uint8_t chain[32];
    for (int i = 0; i < 8; ++i)
        for (int b = 0; b < 4; ++b) chain[4 * i + b] = static_cast<uint8_t>(ctx->state[i] >> (24 - 8 * b));
    put_hex(chain, 32, record + n);
    n += 64;
    record[n++] = ' ';
    if (ctx->buffer_len == 0) {
        record[n++] = '-';
    } else {
        put_hex(ctx->buffer, ctx->buffer_len, record + n);
        n += static_cast<int>(2 * ctx->buffer_len);
    }
    record[n++] = ' ';
    check_of(std::string_view(record, n), record + n);
    n += kCheckLen;
    record[n++] = '\n';

    char dir[kPathCap], path[kPathCap];
    if (upload_state_dir(dir) != 0 || upload_state_path(uuid, path) != 0) return -1;
    return place_in_dir(dir, [&] { return write_file_atomic(path, record, n); }) == placed::ok ? 0
                                                                                           : -1;
}

int upload_hash_load(const char *uuid, int64_t size, sha256_ctx *out)
{
    char path[kPathCap], record[kRecordCap];
    size_t len = 0;
    if (upload_state_path(uuid, path) != 0 || read_file(path, record, sizeof record, &len) != 0)
        return -1;
    std::string_view text(record, len);
    if (!text.starts_with(kMagic) || !text.ends_with('\n') || len < kCheckLen + 2) return -1;
    const std::string_view body = text.substr(0, len - 1 - kCheckLen);
    char check[kCheckLen];
    check_of(body, check);
    if (std::memcmp(check, record + body.size(), kCheckLen) != 0) return -1;

    std::string_view rest = body.substr(kMagic.size());
    const std::string_view id = next_field(rest);
    const std::string_view size_text = next_field(rest);
    const std::string_view chain_text = next_field(rest);
    const std::string_view tail_text = next_field(rest);
    int64_t hashed = 0;
    if (id != uuid || !parse_size(size_text, &hashed) || hashed != size || !rest.empty())
        return -1;

    sha256_ctx c{};
    uint8_t chain[32];
    const size_t tail = static_cast<size_t>(size % 64);
    if (!get_hex(chain_text, chain, 32)) return -1;
    if (tail == 0 ? tail_text != "-" : !get_hex(tail_text, c.buffer, tail)) return -1;
    for (int i = 0; i < 8; ++i)
        c.state[i] = uint32_t{chain[4 * i]} << 24 | uint32_t{chain[4 * i + 1]} << 16 |
                     uint32_t{chain[4 * i + 2]} << 8 | chain[4 * i + 3];
    c.bit_count = static_cast<uint64_t>(size) * 8;
    c.buffer_len = tail;
    *out = c;
    return 0;
}

void upload_hash_forget(const char *uuid)
{
    char path[kPathCap];
    if (upload_state_path(uuid, path) == 0 && plat_is_file(path)) plat_remove(path);
    /* With no upload in progress the store looks as it did before states
     * existed; a save racing with this makes the directory again. */
    if (upload_state_dir(path) == 0) plat_rmdir(path);
}

} // namespace storage
