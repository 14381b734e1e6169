/*
 * tv_config.cpp - the settings file parsed as JSON against the one table
 * of keys.
 *
 * Strictness is the point: a typo in a key name, a quoted number or two
 * root keys that disagree would otherwise be a setting silently not
 * applied, and for the access-control keys that means a registry open to
 * anyone. Every problem is reported with the key it concerns.
 */
#include "tv_config.h"

#include "tv_cgi.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

/* What a tv_settings points into: the rules' texts and arrays. */
struct tv_config_store {
    std::deque<std::string> texts;
    std::deque<std::vector<const char *>> lists;
    std::vector<tv_access_rule> rules;
};

namespace
{

constexpr int64_t kDefaultLogCap = 5242880;
constexpr int64_t kDefaultTokenLifetime = 300;
constexpr int64_t kDefaultQuotaRefresh = 600; /* seconds: a count of a million blobs takes seconds */
/* The token protocol's floor: clients take a token as good for 60 s at
 * least, and would send one that ran out sooner. */
constexpr int64_t kTokenLifetimeMin = 60;
constexpr int64_t kTokenLifetimeMax = 86400;
constexpr char kDefaultService[] = "registry";
constexpr size_t kNameCap = 256; /* a repository pattern: 255 bytes and a NUL */

enum class kind { path, text, flag, flag_or_int, count, sha256, rules, users, bounded, url };

struct key_def {
    const char *name;
    kind type;
    const char *type_text;
    const char *fallback;
    const char *meaning;
};

/* Every key the registry reads. The README's Configuration table lists
 * the same keys in the same order (a test holds them together). */
constexpr key_def kKeys[] = {
    {"registry_storage_root", kind::path, "text", "./registry_storage",
     "storage root; REGISTRY_STORAGE_ROOT wins over it"},
    {"storage_root", kind::path, "text", "./registry_storage",
     "older name of registry_storage_root; when both are set they must be equal"},
    {"registry_access_log", kind::flag_or_int, "true, false, 0 or 1", "true",
     "false or 0 switches the access log off"},
    {"registry_access_log_max_bytes", kind::count, "integer", "5242880",
     "size at which the log rotates to registry_access.log.1; 0 means no cap"},
    {"registry_retention_keep_n", kind::count, "integer", "0",
     "tags kept per repository by retention"},
    {"registry_retention_days", kind::count, "integer", "0",
     "age in days past which retention prunes tags"},
    {"registry_retention_protect_latest", kind::flag_or_int, "true, false or an integer", "true",
     "keep the tag latest out of retention"},
    {"registry_quota_bytes", kind::count, "integer", "0", "storage quota in bytes; 0 means none"},
    {"registry_quota_refresh_seconds", kind::count, "integer", "600",
     "age past which the quota check counts the blob store again; 0 counts at every check"},
    {"registry_gc_spare_seconds", kind::bounded, "integer, 1 to 604800", "7200",
     "a collection keeps a blob this long after a push last named it: the time a push has "
     "from its first finished blob to its manifest"},
    {"registry_auth_user", kind::text, "text", "none",
     "the single user of the older form (at most 127 bytes, no ':')"},
    {"registry_auth_sha256", kind::sha256, "64 hex digits", "none",
     "SHA-256 of that user's password"},
    {"registry_htpasswd", kind::path, "text", "none",
     "users file in the htpasswd format (bcrypt entries)"},
    {"registry_access", kind::rules, "list of rules", "every signed-in user may do everything",
     "who may pull, push and delete which repositories; the first matching rule decides"},
    {"registry_admins", kind::users, "list of user names", "every signed-in user",
     "users with the admin right: the whole catalog and the status page"},
    {"registry_token_auth", kind::flag, "true or false", "true",
     "the 401 challenge asks for a bearer token from /token (false: Basic)"},
    {"registry_token_lifetime_seconds", kind::bounded, "integer, 60 to 86400", "300",
     "how long a token from /token is valid"},
    {"registry_token_service", kind::text, "text", "registry",
     "the service named in challenges and tokens"},
    {"registry_token_realm", kind::url, "http(s) URL", "the request's own /token",
     "where clients fetch tokens"},
};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

/* The integers with a range of their own, and where each goes. */
struct bounded_def {
    const char *name;
    int64_t min;
    int64_t max;
    int64_t tv_settings::*field;
};
constexpr bounded_def kBounded[] = {
    {"registry_gc_spare_seconds", TV_CONFIG_GC_SPARE_MIN, TV_CONFIG_GC_SPARE_MAX,
     &tv_settings::gc_spare_seconds},
    {"registry_token_lifetime_seconds", kTokenLifetimeMin, kTokenLifetimeMax,
     &tv_settings::token_lifetime_seconds},
};

/* The table as the interface shows it, built from kKeys. */
constexpr auto make_public_keys()
{
    struct table {
        tv_config_key keys[kKeyCount];
    } t{};
    for (size_t i = 0; i < kKeyCount; ++i)
        t.keys[i] = {kKeys[i].name, kKeys[i].type_text, kKeys[i].fallback, kKeys[i].meaning};
    return t;
}
constexpr auto kPublicKeys = make_public_keys();

/* One parse: the output, the problem and the store behind the output. */
struct parser {
    tv_settings *out;
    tv_config_store *store;
    char *err;
    size_t err_cap;

    int fail(const char *format, ...) TV_PRINTF(2, 3)
    {
        va_list ap;
        va_start(ap, format);
        if (err && err_cap) vsnprintf(err, err_cap, format, ap);
        va_end(ap);
        return -1;
    }

    const char *keep(std::string_view text)
    {
        store->texts.emplace_back(text);
        return store->texts.back().c_str();
    }
};

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/* A text that may stand in a header's quoted string or a log line. */
bool printable(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') return false;
    return true;
}

int copy_text(parser &p, const char *key, yyjson_val *v, char *dst, size_t cap, bool may_be_empty)
{
    if (!yyjson_is_str(v)) return p.fail("\"%s\" must be a string", key);
    const size_t len = yyjson_get_len(v);
    if (len == 0 && !may_be_empty) return p.fail("\"%s\" must not be empty", key);
    if (len >= cap) return p.fail("\"%s\" is longer than %zu bytes", key, cap - 1);
    if (memchr(yyjson_get_str(v), '\0', len)) return p.fail("\"%s\" holds a NUL byte", key);
    memcpy(dst, yyjson_get_str(v), len);
    dst[len] = '\0';
    return 0;
}

int read_count(parser &p, const char *key, yyjson_val *v, int64_t *out)
{
    if (yyjson_is_uint(v) && yyjson_get_uint(v) <= static_cast<uint64_t>(INT64_MAX)) {
        *out = static_cast<int64_t>(yyjson_get_uint(v));
        return 0;
    }
    if (yyjson_is_sint(v)) return p.fail("\"%s\" must not be negative", key);
    return p.fail("\"%s\" must be a whole number", key);
}

int read_flag(parser &p, const char *key, yyjson_val *v, bool ints, int *out)
{
    if (yyjson_is_bool(v)) {
        *out = yyjson_get_bool(v) ? 1 : 0;
        return 0;
    }
    int64_t n = 0;
    if (ints && (yyjson_is_uint(v) || yyjson_is_sint(v)) && read_count(p, key, v, &n) == 0) {
        *out = n != 0;
        return 0;
    }
    return p.fail(ints ? "\"%s\" must be true, false or a whole number"
                       : "\"%s\" must be true or false",
                  key);
}

/* A repository pattern: the characters of names, '/' between levels and
 * '*' wildcards. Checked so a typo cannot silently match nothing. */
bool pattern_valid(std::string_view s)
{
    if (s.empty() || s.size() >= kNameCap) return false;
    for (unsigned char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                        c == '-' || c == '/' || c == '*';
        if (!ok) return false;
    }
    return s.front() != '/' && s.back() != '/' && s.find("//") == std::string_view::npos;
}

bool user_valid(std::string_view s)
{
    return !s.empty() && s.size() < TV_CONFIG_USER_CAP && s.find(':') == std::string_view::npos &&
           printable(s);
}

/* A string or a list of strings, each checked by valid, into a list kept
 * in the store. */
template <typename Valid>
int read_names(parser &p, const char *what, yyjson_val *v, Valid valid, const char *const **out,
               size_t *out_count)
{
    std::vector<const char *> names;
    auto take = [&](yyjson_val *item) {
        if (!yyjson_is_str(item)) return p.fail("%s must be strings", what);
        std::string_view s(yyjson_get_str(item), yyjson_get_len(item));
        if (!valid(s))
            return p.fail("%s: \"%.*s\" is not valid", what,
                          static_cast<int>(s.size() > 200 ? 200 : s.size()), s.data());
        names.push_back(p.keep(s));
        return 0;
    };
    if (yyjson_is_str(v)) {
        if (take(v) != 0) return -1;
    } else if (yyjson_is_arr(v)) {
        size_t i, n;
        yyjson_val *item;
        yyjson_arr_foreach(v, i, n, item)
        {
            if (take(item) != 0) return -1;
        }
    } else {
        return p.fail("%s must be a string or a list of strings", what);
    }
    p.store->lists.emplace_back(std::move(names));
    *out = p.store->lists.back().data();
    *out_count = p.store->lists.back().size();
    return 0;
}

int read_actions(parser &p, size_t index, yyjson_val *v, unsigned *out)
{
    struct action {
        const char *name;
        unsigned bits;
    };
    static constexpr action kActions[] = {
        {"pull", TV_ACTION_PULL},
        {"push", TV_ACTION_PULL | TV_ACTION_PUSH},
        {"delete", TV_ACTION_DELETE},
        {"*", TV_ACTION_PULL | TV_ACTION_PUSH | TV_ACTION_DELETE},
    };
    if (!yyjson_is_arr(v) && !yyjson_is_str(v))
        return p.fail("\"registry_access\" rule %zu: \"actions\" must be a list", index + 1);
    *out = 0;
    auto take = [&](yyjson_val *item) {
        for (const action &a : kActions) {
            if (yyjson_is_str(item) && strcmp(yyjson_get_str(item), a.name) == 0) {
                *out |= a.bits;
                return 0;
            }
        }
        return p.fail(
            "\"registry_access\" rule %zu: actions are \"pull\", \"push\", \"delete\" or \"*\"",
            index + 1);
    };
    if (yyjson_is_str(v)) return take(v);
    size_t i, n;
    yyjson_val *item;
    yyjson_arr_foreach(v, i, n, item)
    {
        if (take(item) != 0) return -1;
    }
    return 0;
}

int read_rule(parser &p, size_t index, yyjson_val *v, tv_access_rule *rule)
{
    if (!yyjson_is_obj(v))
        return p.fail("\"registry_access\" rule %zu must be an object", index + 1);
    char what[64];
    bool have_repos = false, have_users = false, have_actions = false;
    size_t i, n;
    yyjson_val *k, *val;
    yyjson_obj_foreach(v, i, n, k, val)
    {
        const char *name = yyjson_get_str(k);
        if (strcmp(name, "repositories") == 0 && !have_repos) {
            snprintf(what, sizeof what, "\"registry_access\" rule %zu: repositories", index + 1);
            if (read_names(p, what, val, pattern_valid, &rule->repositories,
                           &rule->repository_count) != 0)
                return -1;
            have_repos = true;
        } else if (strcmp(name, "users") == 0 && !have_users) {
            snprintf(what, sizeof what, "\"registry_access\" rule %zu: users", index + 1);
            if (read_names(p, what, val, user_valid, &rule->users, &rule->user_count) != 0)
                return -1;
            have_users = true;
        } else if (strcmp(name, "actions") == 0 && !have_actions) {
            if (read_actions(p, index, val, &rule->actions) != 0) return -1;
            have_actions = true;
        } else {
            return p.fail(
                "\"registry_access\" rule %zu: unknown or repeated key \"%s\" (a rule has "
                "\"repositories\", \"users\" and \"actions\")",
                index + 1, name);
        }
    }
    if (!have_repos || !have_users || !have_actions)
        return p.fail(
            "\"registry_access\" rule %zu needs \"repositories\", \"users\" and \"actions\"",
            index + 1);
    return 0;
}

int read_rules(parser &p, yyjson_val *v)
{
    if (!yyjson_is_arr(v)) return p.fail("\"registry_access\" must be a list of rules");
    std::vector<tv_access_rule> &rules = p.store->rules;
    rules.assign(yyjson_arr_size(v), tv_access_rule{});
    size_t i, n;
    yyjson_val *item;
    yyjson_arr_foreach(v, i, n, item)
    {
        if (read_rule(p, i, item, &rules[i]) != 0) return -1;
    }
    p.out->rules = rules.empty() ? nullptr : rules.data();
    p.out->rule_count = rules.size();
    p.out->rules_set = 1;
    return 0;
}

/* The root keys agree or one is absent; two different roots would split
 * the data from its log and its health probe. */
int read_root(parser &p, const char *key, yyjson_val *v)
{
    char root[TV_CONFIG_PATH_CAP];
    if (copy_text(p, key, v, root, sizeof root, false) != 0) return -1;
    if (p.out->storage_root[0] && strcmp(p.out->storage_root, root) != 0)
        return p.fail("\"registry_storage_root\" and \"storage_root\" name different roots");
    memcpy(p.out->storage_root, root, sizeof root);
    return 0;
}

int read_key(parser &p, const key_def &def, yyjson_val *v)
{
    tv_settings *o = p.out;
    const char *key = def.name;
    int64_t n = 0;
    switch (def.type) {
    case kind::path:
        if (strcmp(key, "registry_htpasswd") == 0)
            return copy_text(p, key, v, o->htpasswd, sizeof o->htpasswd, false);
        return read_root(p, key, v);
    case kind::text:
        if (strcmp(key, "registry_auth_user") == 0) {
            if (copy_text(p, key, v, o->auth_user, sizeof o->auth_user, false) != 0) return -1;
            return user_valid(o->auth_user) ? 0 : p.fail("\"%s\" is no valid user name", key);
        }
        if (copy_text(p, key, v, o->token_service, sizeof o->token_service, false) != 0) return -1;
        return printable(o->token_service)
                   ? 0
                   : p.fail("\"%s\" holds a quote, a backslash or a control character", key);
    case kind::url:
        if (copy_text(p, key, v, o->token_realm, sizeof o->token_realm, false) != 0) return -1;
        if ((strncmp(o->token_realm, "http://", 7) != 0 &&
             strncmp(o->token_realm, "https://", 8) != 0) ||
            !printable(o->token_realm) || strchr(o->token_realm, ' '))
            return p.fail("\"%s\" must be an http:// or https:// URL", key);
        return 0;
    case kind::sha256:
        if (copy_text(p, key, v, o->auth_sha256, sizeof o->auth_sha256, false) != 0) return -1;
        for (size_t i = 0; i < 64; ++i)
            if (!is_hex(o->auth_sha256[i])) return p.fail("\"%s\" must be 64 hex digits", key);
        return 0;
    case kind::flag:
        return read_flag(p, key, v, false, &o->token_auth);
    case kind::flag_or_int:
        return read_flag(p, key, v, true,
                         strcmp(key, "registry_access_log") == 0 ? &o->access_log
                                                                 : &o->retention_protect_latest);
    case kind::bounded:
        if (read_count(p, key, v, &n) != 0) return -1;
        for (const bounded_def &b : kBounded) {
            if (strcmp(key, b.name) != 0) continue;
            if (n < b.min || n > b.max)
                return p.fail("\"%s\" must be between %lld and %lld", key,
                              static_cast<long long>(b.min), static_cast<long long>(b.max));
            o->*b.field = n;
            return 0;
        }
        break;
    case kind::count:
        if (read_count(p, key, v, &n) != 0) return -1;
        if (strcmp(key, "registry_access_log_max_bytes") == 0)
            o->access_log_max_bytes = n;
        else if (strcmp(key, "registry_retention_keep_n") == 0)
            o->retention_keep_n = n;
        else if (strcmp(key, "registry_retention_days") == 0)
            o->retention_days = n;
        else if (strcmp(key, "registry_quota_refresh_seconds") == 0)
            o->quota_refresh_seconds = n;
        else
            o->quota_bytes = n;
        return 0;
    case kind::rules:
        return read_rules(p, v);
    case kind::users:
        o->admins_set = 1;
        return read_names(p, "\"registry_admins\"", v, user_valid, &o->admins, &o->admin_count);
    }
    return p.fail("\"%s\": no reader", key);
}

void set_defaults(tv_settings *s)
{
    memset(s, 0, sizeof *s);
    s->access_log = 1;
    s->access_log_max_bytes = kDefaultLogCap;
    s->retention_protect_latest = 1;
    s->token_auth = 1;
    s->token_lifetime_seconds = kDefaultTokenLifetime;
    s->quota_refresh_seconds = kDefaultQuotaRefresh;
    s->gc_spare_seconds = TV_CONFIG_GC_SPARE_DEFAULT;
    tv_strlcpy(s->token_service, kDefaultService, sizeof s->token_service);
    s->file_bytes = -1;
}

struct doc_free {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

const key_def *find_key(const char *name)
{
    for (const key_def &k : kKeys)
        if (strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

} // namespace

int tv_config_parse(const char *text, size_t len, tv_settings *out, char *err, size_t err_cap)
{
    if (!out) return -1;
    set_defaults(out);
    auto *store = new tv_config_store;
    out->store = store; /* freed by tv_config_release, whatever happens below */
    parser p{out, store, err, err_cap};
    if (err && err_cap) err[0] = '\0';

    int rc = 0;
    yyjson_read_err rerr;
    const std::unique_ptr<yyjson_doc, doc_free> owned(
        text ? yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, &rerr) : nullptr);
    yyjson_doc *doc = owned.get();
    if (!doc) {
        rc = text ? p.fail("not JSON: %s at byte %zu", rerr.msg, rerr.pos) : p.fail("no text");
    } else if (!yyjson_is_obj(yyjson_doc_get_root(doc))) {
        rc = p.fail("not a JSON object");
    } else {
        bool seen[kKeyCount] = {};
        size_t i, n;
        yyjson_val *k, *v;
        yyjson_obj_foreach(yyjson_doc_get_root(doc), i, n, k, v)
        {
            const char *name = yyjson_get_str(k);
            if (name[0] == '_') continue; /* a comment */
            const key_def *def = find_key(name);
            if (!def) {
                rc = p.fail("unknown key \"%.200s\"", name);
                break;
            }
            const size_t at = static_cast<size_t>(def - kKeys);
            if (seen[at]) {
                rc = p.fail("\"%s\" is given twice", name);
                break;
            }
            seen[at] = true;
            if (read_key(p, *def, v) != 0) {
                rc = -1;
                break;
            }
        }
        if (rc == 0 && (out->auth_user[0] != '\0') != (out->auth_sha256[0] != '\0'))
            rc = p.fail("\"registry_auth_user\" and \"registry_auth_sha256\" go together");
    }
    if (rc != 0) tv_config_release(out); /* nothing half-applied */
    return rc;
}

void tv_config_release(tv_settings *settings)
{
    if (!settings) return;
    delete settings->store;
    set_defaults(settings);
}

int tv_config_access_control(const tv_settings *s)
{
    return s && (s->auth_user[0] || s->htpasswd[0] || s->rules_set) ? 1 : 0;
}

const tv_config_key *tv_config_keys(size_t *out_count)
{
    if (out_count) *out_count = kKeyCount;
    return kPublicKeys.keys;
}
