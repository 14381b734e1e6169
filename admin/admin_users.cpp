/*
 * admin_users.cpp - user add|passwd|remove|list: edits the users file the
 * registry checks Basic credentials against.
 *
 * An edit changes exactly one thing (a line appended, one hash replaced,
 * the lines of one user dropped); every other byte stays as it was, broken
 * lines and comments included, so a file kept with other tools survives.
 * The new text is written to PATH.tmp and renamed over PATH. PATH.tmp is
 * also the lock: it is created exclusively, so two edits at once cannot
 * lose one another's change, and the file is read again once it is held.
 */
#include "admin.h"

#include "auth_passwords.h"
#include "platform.h"
#include "tv_config.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace
{

constexpr size_t kPasswordCap = 1024; /* a typed or piped password and its NUL */
constexpr size_t kBcryptKeyMax = 72;  /* bytes of a password bcrypt uses */
constexpr int kPasswordMax = static_cast<int>(kPasswordCap - 1); /* for messages */

/* The users file this run edits: the one place that chooses it. nullptr
 * after a message when there is none. */
const char *users_path(const admin_opts *opts)
{
    if (opts->file[0]) return opts->file;
    if (const char *err = tv_config_error()) {
        admin_error(opts, nullptr, "%s", err);
        return nullptr;
    }
    if (tv_config()->htpasswd[0]) return tv_config()->htpasswd;
    admin_error(opts, nullptr, "no users file: give --file PATH or set \"registry_htpasswd\" in %s",
                tv_config_path());
    return nullptr;
}

/* A password, wiped when it goes. */
struct secret {
    char text[kPasswordCap] = {};
    size_t len = 0;
    secret() = default;
    secret(const secret &) = delete;
    secret &operator=(const secret &) = delete;
    ~secret()
    {
        volatile char *p = text;
        for (size_t i = 0; i < sizeof text; ++i)
            p[i] = 0;
    }
    std::string_view view() const { return {text, len}; }
};

/* One line of the file: where it lies and what the registry makes of it.
 * user and hash are offsets into the file's bytes. */
struct line {
    size_t begin, end; /* end: after its line end */
    int kind;
    const char *reason;
    size_t user, user_len, hash, hash_len;
};

struct users_file {
    bool exists = false;
    std::string bytes;
    std::vector<line> lines;

    std::string_view user_of(const line &l) const { return {bytes.data() + l.user, l.user_len}; }
    /* The first line of name, which is the one the registry uses. */
    const line *find(std::string_view name) const
    {
        for (const line &l : lines)
            if (l.kind == REGISTRY_USERS_LINE_ENTRY && user_of(l) == name) return &l;
        return nullptr;
    }
    /* The line end the file uses, for a line added to it. */
    const char *line_end() const
    {
        const size_t nl = bytes.find('\n');
        return nl != std::string::npos && nl > 0 && bytes[nl - 1] == '\r' ? "\r\n" : "\n";
    }
};

void split(users_file *f)
{
    f->lines.clear();
    const std::string &b = f->bytes;
    for (size_t at = 0; at < b.size();) {
        const size_t nl = b.find('\n', at);
        const size_t end = nl == std::string::npos ? b.size() : nl + 1;
        registry_users_line e;
        line l{at, end, registry_users_parse_line(b.data() + at, end - at, &e), e.reason, 0, 0,
               0,  0};
        if (l.kind == REGISTRY_USERS_LINE_ENTRY) {
            l.user = static_cast<size_t>(e.user - b.data());
            l.user_len = e.user_len;
            l.hash = static_cast<size_t>(e.hash - b.data());
            l.hash_len = e.hash_len;
        }
        f->lines.push_back(l);
        at = end;
    }
}

/* Reads path whole. An absent file is an empty one that does not exist.
 * ADMIN_OK, or ADMIN_FAILED after a message. */
int load(const admin_opts *opts, const char *path, users_file *f)
{
    f->bytes.clear();
    plat_file_info info;
    f->exists = plat_stat(path, &info) == 0;
    if (f->exists) {
        FILE *in = info.is_dir ? nullptr : std::fopen(path, "rb");
        if (!in) {
            admin_error(opts, path, "cannot read the users file");
            return ADMIN_FAILED;
        }
        char block[8192];
        size_t n;
        while ((n = std::fread(block, 1, sizeof block, in)) > 0)
            f->bytes.append(block, n);
        const bool failed = std::ferror(in) != 0;
        std::fclose(in);
        if (failed) {
            admin_error(opts, path, "cannot read the users file");
            return ADMIN_FAILED;
        }
    }
    split(f);
    return ADMIN_OK;
}

void warn_broken(const admin_opts *opts, const char *path, const users_file &f)
{
    for (size_t i = 0; i < f.lines.size(); ++i)
        if (f.lines[i].kind == REGISTRY_USERS_LINE_BROKEN)
            admin_error(opts, path, "line %lu: %s; the registry skips it",
                        static_cast<unsigned long>(i + 1), f.lines[i].reason);
}

/* Why name cannot be added; nullptr when it can. The line it makes must
 * read back as this very name. */
const char *name_problem(std::string_view name)
{
    for (unsigned char c : name) {
        if (c == ':') return "a user name cannot hold ':'";
        if (c < 0x20 || c == 0x7f) return "a user name cannot hold control characters";
    }
    static const char kSample[] = "$2y$04$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy";
    const std::string text = std::string(name) + ":" + kSample;
    registry_users_line e;
    switch (registry_users_parse_line(text.data(), text.size(), &e)) {
    case REGISTRY_USERS_LINE_BROKEN:
        return e.reason;
    case REGISTRY_USERS_LINE_BLANK:
        return "a user name cannot start with '#'";
    default:
        break;
    }
    if (std::string_view(e.user, e.user_len) != name)
        return "a user name cannot start or end with blanks";
    return nullptr;
}

/* One line of standard input into pw, its line end dropped. */
int read_stdin_password(const admin_opts *opts, secret *pw)
{
    plat_stdin_binary();
    bool any = false, too_long = false;
    int c;
    while ((c = std::getchar()) != EOF) {
        any = true;
        if (c == '\n') break;
        if (pw->len + 1 < sizeof pw->text)
            pw->text[pw->len++] = static_cast<char>(c);
        else
            too_long = true;
    }
    if (pw->len > 0 && pw->text[pw->len - 1] == '\r') pw->text[--pw->len] = '\0';
    if (std::ferror(stdin) || !any) {
        admin_error(opts, nullptr, "no password on standard input");
        return ADMIN_FAILED;
    }
    if (too_long) {
        admin_error(opts, nullptr, "password longer than %d bytes", kPasswordMax);
        return ADMIN_FAILED;
    }
    return ADMIN_OK;
}

/* Twice from the terminal, unseen; the two must agree. */
int read_terminal_password(const admin_opts *opts, secret *pw)
{
    char prompt[ADMIN_NAME_CAP + 32];
    std::snprintf(prompt, sizeof prompt, "New password for %s: ", opts->name);
    secret again;
    const int n = plat_read_secret(prompt, pw->text, sizeof pw->text);
    const int m = n < 0 ? n : plat_read_secret("Again: ", again.text, sizeof again.text);
    if (n == PLAT_SECRET_NO_TERMINAL) {
        admin_error(opts, nullptr,
                    "standard input is no terminal: give --password-stdin to read the password "
                    "from it");
        return ADMIN_FAILED;
    }
    if (n < 0 || m < 0) {
        admin_error(opts, nullptr, "no password read (at most %d bytes)", kPasswordMax);
        return ADMIN_FAILED;
    }
    pw->len = static_cast<size_t>(n);
    again.len = static_cast<size_t>(m);
    if (pw->view() != again.view()) {
        admin_error(opts, nullptr, "the two passwords differ");
        return ADMIN_FAILED;
    }
    return ADMIN_OK;
}

/* The password and its hash at the chosen cost. */
int new_hash(const admin_opts *opts, char hash[REGISTRY_BCRYPT_HASH_CAP])
{
    secret pw;
    const int rc =
        opts->password_stdin ? read_stdin_password(opts, &pw) : read_terminal_password(opts, &pw);
    if (rc != ADMIN_OK) return rc;
    if (pw.len == 0) {
        admin_error(opts, nullptr, "an empty password is refused");
        return ADMIN_FAILED;
    }
    if (pw.len > kBcryptKeyMax)
        admin_error(opts, nullptr, "note: only the first %d bytes of the password count",
                    static_cast<int>(kBcryptKeyMax));
    const int cost = opts->cost > 0 ? opts->cost : REGISTRY_BCRYPT_DEFAULT_COST;
    if (registry_bcrypt_hash(pw.text, pw.len, cost, hash) != 0) {
        admin_error(opts, nullptr, "no random bytes for the salt");
        return ADMIN_FAILED;
    }
    return ADMIN_OK;
}

/* The file's new text for the action, or ADMIN_FAILED after a message;
 * hash is the new user's or new password's (unused by remove). */
int plan(const admin_opts *opts, const char *path, const users_file &f, const char *hash,
         std::string *out)
{
    const std::string_view name(opts->name), verb(opts->verb->name);
    const line *l = f.find(name);
    if (verb == "add") {
        if (l) {
            admin_error(opts, path, "user \"%s\" exists already", opts->name);
            return ADMIN_FAILED;
        }
        if (const char *why = name_problem(name)) {
            admin_error(opts, nullptr, "\"%s\": %s", opts->name, why);
            return ADMIN_FAILED;
        }
        *out = f.bytes;
        /* A last line without its line end gets one, or the new line would
         * join it. */
        if (!out->empty() && out->back() != '\n') *out += f.line_end();
        out->append(name).append(":").append(hash).append(f.line_end());
        return ADMIN_OK;
    }
    if (!l) {
        admin_error(opts, path, "no user \"%s\"", opts->name);
        return ADMIN_FAILED;
    }
    if (verb == "passwd") {
        *out = f.bytes;
        out->replace(l->hash, l->hash_len, hash);
        return ADMIN_OK;
    }
    /* remove: every line of the name, or a later one would take over. */
    out->clear();
    for (const line &k : f.lines)
        if (k.kind != REGISTRY_USERS_LINE_ENTRY || f.user_of(k) != name)
            out->append(f.bytes, k.begin, k.end - k.begin);
    return ADMIN_OK;
}

/* Holds PATH.tmp while it exists; removes it unless it was renamed. */
class lock_file
{
  public:
    explicit lock_file(std::string path) : path_(std::move(path)) {}
    ~lock_file()
    {
        if (held_) plat_remove(path_.c_str());
    }
    lock_file(const lock_file &) = delete;
    lock_file &operator=(const lock_file &) = delete;

    bool take() { return held_ = plat_create_private(path_.c_str()) == 0; }
    void renamed() { held_ = false; }
    const char *path() const { return path_.c_str(); }

  private:
    std::string path_;
    bool held_ = false;
};

/* Writes text as path's new content through the held lock file. */
int replace(const admin_opts *opts, const char *path, bool existed, lock_file *tmp,
            const std::string &text)
{
    if (existed && plat_copy_mode(path, tmp->path()) != 0) {
        admin_error(opts, tmp->path(), "cannot give it the permissions of %s", path);
        return ADMIN_FAILED;
    }
    FILE *out = std::fopen(tmp->path(), "wb");
    bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = out && plat_fsync(out) == 0 && ok;
    ok = out && std::fclose(out) == 0 && ok;
    if (!ok) {
        admin_error(opts, tmp->path(), "cannot write the new users file");
        return ADMIN_FAILED;
    }
    if (plat_rename_replace(tmp->path(), path) != 0) {
        admin_error(opts, path, "cannot replace it with %s", tmp->path());
        return ADMIN_FAILED;
    }
    tmp->renamed();
    return ADMIN_OK;
}

/* Reads the file (only "add" may find none) and, unless planning is
 * off, works out the edit's text. */
int prepare(const admin_opts *opts, const char *path, const char *hash, bool warn, users_file *f,
            std::string *text)
{
    if (load(opts, path, f) != ADMIN_OK) return ADMIN_FAILED;
    const std::string_view verb(opts->verb->name);
    if (!f->exists && verb != "add") {
        admin_error(opts, path, "no such users file");
        return ADMIN_FAILED;
    }
    if (warn) warn_broken(opts, path, *f);
    return verb == "list" ? ADMIN_OK : plan(opts, path, *f, hash, text);
}

int list(const admin_opts *opts, const char *path)
{
    users_file f;
    if (prepare(opts, path, "", true, &f, nullptr) != ADMIN_OK) return ADMIN_FAILED;
    for (const line &l : f.lines)
        if (l.kind == REGISTRY_USERS_LINE_ENTRY && f.find(f.user_of(l)) == &l)
            std::printf("%.*s\n", static_cast<int>(l.user_len), f.bytes.data() + l.user);
    return ADMIN_OK;
}

} // namespace

int admin_cmd_user(const admin_opts *opts)
{
    const char *path = users_path(opts);
    if (!path) return ADMIN_USAGE;
    const std::string_view verb(opts->verb->name);
    if (verb == "list") return list(opts, path);

    /* First without the lock: refusals come before the password prompt,
     * and no lock is held while someone types. */
    users_file f;
    std::string text;
    if (prepare(opts, path, "", true, &f, &text) != ADMIN_OK) return ADMIN_FAILED;
    char hash[REGISTRY_BCRYPT_HASH_CAP] = "";
    if (verb != "remove" && new_hash(opts, hash) != ADMIN_OK) return ADMIN_FAILED;

    lock_file tmp(std::string(path) + ".tmp");
    if (!tmp.take()) {
        admin_error(opts, tmp.path(),
                    plat_is_file(tmp.path())
                        ? "exists: another edit is under way, or one was stopped (remove it "
                          "when none runs)"
                        : "cannot create it beside the users file");
        return ADMIN_FAILED;
    }
    /* Held: read again, another edit may have landed meanwhile. */
    if (prepare(opts, path, hash, false, &f, &text) != ADMIN_OK) return ADMIN_FAILED;
    if (replace(opts, path, f.exists, &tmp, text) != ADMIN_OK) return ADMIN_FAILED;
    if (verb == "add")
        std::printf("user %s added\n", opts->name);
    else if (verb == "passwd")
        std::printf("password of %s changed\n", opts->name);
    else
        std::printf("user %s removed\n", opts->name);
    return ADMIN_OK;
}
