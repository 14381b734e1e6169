/*
 * auth_users.cpp - the users file: "user:hash" lines, checked by streaming
 * the file once per request.
 *
 * The whole file is read whatever the user, so the warnings for broken
 * lines come out on every request the same way, and the time spent does not
 * tell where in the file (or whether) the user stands. The one bcrypt run
 * is always made, against a dummy hash for an unknown user.
 */
#include "auth_passwords.h"

#include <stdio.h>
#include <string.h>

#include <memory>
#include <string_view>

namespace
{

constexpr std::string_view kReserved[] = {"anonymous", "*"};

/* Hash forms other tools write, named in the warning for their lines. */
struct known_form {
    std::string_view prefix;
    const char *reason;
};
constexpr known_form kUnsupported[] = {
    {"$apr1$", "unsupported hash form MD5 ($apr1$); make it again as bcrypt"},
    {"{SHA}", "unsupported hash form SHA-1 ({SHA}); make it again as bcrypt"},
    {"$1$", "unsupported hash form MD5-crypt ($1$); make it again as bcrypt"},
    {"$5$", "unsupported hash form SHA-256-crypt ($5$); make it again as bcrypt"},
    {"$6$", "unsupported hash form SHA-512-crypt ($6$); make it again as bcrypt"},
    {"$2x$", "unsupported hash form bcrypt $2x$ (made by a faulty writer); make it again"},
    {"$2", "malformed bcrypt hash"},
    {"$", "unsupported hash form ($...$ crypt of another kind); make it again as bcrypt"},
};

/* A 13-symbol crypt alphabet text: the traditional DES crypt. */
bool des_crypt(std::string_view hash)
{
    if (hash.size() != 13) return false;
    for (char c : hash)
        if (!(c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
              (c >= 'a' && c <= 'z')))
            return false;
    return true;
}

/* Why hash is no usable bcrypt hash; nullptr when it is one. */
const char *hash_problem(std::string_view hash)
{
    if (hash.empty()) return "empty hash";
    if (hash.size() + 1 == REGISTRY_BCRYPT_HASH_CAP) {
        char text[REGISTRY_BCRYPT_HASH_CAP];
        memcpy(text, hash.data(), hash.size());
        text[hash.size()] = '\0';
        if (registry_bcrypt_cost(text) >= 0) return nullptr;
    }
    for (const known_form &k : kUnsupported)
        if (hash.starts_with(k.prefix)) return k.reason;
    if (des_crypt(hash)) return "unsupported hash form DES crypt; make it again as bcrypt";
    return "unsupported hash form (plain text or unknown); make it again as bcrypt";
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/* Reads a file in blocks and hands out its lines, each cut to the line
 * capacity; what a line has beyond that is skipped and flagged. */
class line_reader
{
  public:
    explicit line_reader(FILE *f) : f_(f) {}

    /* 1 with the next line (its LF kept) in line, 0 at the end, -1 when
     * reading failed. */
    int next(std::string_view *line, bool *too_long)
    {
        size_t len = 0;
        bool any = false;
        *too_long = false;
        for (;;) {
            if (pos_ == end_) {
                end_ = fread(block_, 1, sizeof block_, f_);
                pos_ = 0;
                if (end_ == 0) {
                    if (ferror(f_)) return -1;
                    break;
                }
            }
            const char *start = block_ + pos_;
            const auto *nl = static_cast<const char *>(memchr(start, '\n', end_ - pos_));
            const size_t take = nl ? static_cast<size_t>(nl - start) + 1 : end_ - pos_;
            const size_t room = sizeof line_ - len;
            if (take > room) *too_long = true;
            memcpy(line_ + len, start, take < room ? take : room);
            len += take < room ? take : room;
            pos_ += take;
            any = true;
            if (nl) break;
        }
        *line = std::string_view(line_, len);
        return any ? 1 : 0;
    }

  private:
    FILE *f_;
    char block_[8192];
    size_t pos_ = 0, end_ = 0;
    char line_[REGISTRY_USERS_LINE_CAP];
};

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

void warn(const char *path, unsigned long line_no, const char *reason)
{
    fprintf(stderr, "registry: users file %s, line %lu: %s; line skipped\n", path, line_no, reason);
}

/* A well-formed hash no password is expected to match: what an unknown user
 * is checked against, at the cost of the file's entries. */
void dummy_hash(int cost, char out[REGISTRY_BCRYPT_HASH_CAP])
{
    static const char kTail[] = "$nRwEHKsFZCJ1zGcJ0FNaFOwEaDPjzQNlVLWtKGFY90m54skdVdIke";
    static_assert(sizeof kTail == REGISTRY_BCRYPT_HASH_CAP - 6);
    memcpy(out, "$2y$", 4);
    out[4] = static_cast<char>('0' + cost / 10);
    out[5] = static_cast<char>('0' + cost % 10);
    memcpy(out + 6, kTail, sizeof kTail);
}

} // namespace

int registry_users_parse_line(const char *line, size_t len, registry_users_line *out)
{
    *out = registry_users_line{};
    std::string_view s(line, len);
    if (s.size() > REGISTRY_USERS_LINE_CAP) {
        out->kind = REGISTRY_USERS_LINE_BROKEN;
        out->reason = "line too long";
        return out->kind;
    }
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    if (s.empty() || s.front() == '#') return out->kind = REGISTRY_USERS_LINE_BLANK;

    out->kind = REGISTRY_USERS_LINE_BROKEN;
    const size_t colon = s.find(':');
    if (colon == std::string_view::npos) {
        out->reason = "no ':' between user and hash";
        return out->kind;
    }
    const std::string_view user = s.substr(0, colon), hash = s.substr(colon + 1);
    if (user.empty()) {
        out->reason = "empty user name";
        return out->kind;
    }
    if (user.size() >= REGISTRY_USER_NAME_CAP) {
        out->reason = "user name longer than 127 bytes";
        return out->kind;
    }
    for (std::string_view r : kReserved)
        if (user == r) {
            out->reason = "reserved user name";
            return out->kind;
        }
    if ((out->reason = hash_problem(hash))) return out->kind;
    out->user = user.data();
    out->user_len = user.size();
    out->hash = hash.data();
    out->hash_len = hash.size();
    return out->kind = REGISTRY_USERS_LINE_ENTRY;
}

int registry_users_check(const char *path, const char *user, size_t user_len, const void *password,
                         size_t password_len)
{
    std::unique_ptr<FILE, file_closer> f(fopen(path, "rb"));
    if (!f) return REGISTRY_USERS_UNREADABLE;
    auto reader = std::make_unique<line_reader>(f.get());

    const std::string_view wanted(user ? user : "", user ? user_len : 0);
    char hash[REGISTRY_BCRYPT_HASH_CAP] = "";
    bool found = false;
    int cost = -1;
    unsigned long line_no = 0;
    std::string_view line;
    bool too_long;
    int rc;
    while ((rc = reader->next(&line, &too_long)) == 1) {
        ++line_no;
        if (too_long) {
            warn(path, line_no, "line too long");
            continue;
        }
        registry_users_line e;
        if (registry_users_parse_line(line.data(), line.size(), &e) == REGISTRY_USERS_LINE_BROKEN)
            warn(path, line_no, e.reason);
        if (e.kind != REGISTRY_USERS_LINE_ENTRY) continue;
        /* Entry hashes are exactly REGISTRY_BCRYPT_HASH_CAP - 1 bytes. */
        if (cost < 0) {
            char first[REGISTRY_BCRYPT_HASH_CAP];
            memcpy(first, e.hash, e.hash_len);
            first[e.hash_len] = '\0';
            cost = registry_bcrypt_cost(first);
        }
        /* The first line of a user counts; later ones are dead. */
        if (!found && std::string_view(e.user, e.user_len) == wanted) {
            memcpy(hash, e.hash, e.hash_len);
            hash[e.hash_len] = '\0';
            found = true;
        }
    }
    if (rc < 0) return REGISTRY_USERS_UNREADABLE;
    if (!found) dummy_hash(cost < 0 ? REGISTRY_BCRYPT_DEFAULT_COST : cost, hash);
    const int match = registry_bcrypt_check(password, password_len, hash);
    return found && match == 1 ? REGISTRY_USERS_OK : REGISTRY_USERS_DENIED;
}
