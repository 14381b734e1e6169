/*
 * fuzz_settings - the settings reader on any bytes.
 *
 * Holds for every input: the parse never crashes and always leaves a
 * usable tv_settings; a refusal says why and leaves the defaults (access
 * control off is then the caller's cue to refuse requests, never to run);
 * an accepted file gives counts that are never negative, flags of 0 or 1,
 * a user and digest either both set or both empty, a digest of 64 hex
 * digits, rules whose lists hold only texts the rule grammar allows, and
 * a second parse of the same bytes that gives the same settings.
 */
#include "fuzz_support.h"
#include "tv_config.h"

#include <string.h>

#include <string_view>

namespace
{

bool same(const tv_settings &a, const tv_settings &b)
{
    if (strcmp(a.storage_root, b.storage_root) != 0 || a.access_log != b.access_log ||
        a.access_log_max_bytes != b.access_log_max_bytes || a.quota_bytes != b.quota_bytes ||
        a.retention_keep_n != b.retention_keep_n || a.retention_days != b.retention_days ||
        a.retention_protect_latest != b.retention_protect_latest ||
        strcmp(a.auth_user, b.auth_user) != 0 || strcmp(a.auth_sha256, b.auth_sha256) != 0 ||
        strcmp(a.htpasswd, b.htpasswd) != 0 || a.rule_count != b.rule_count ||
        a.admin_count != b.admin_count || a.token_auth != b.token_auth ||
        a.token_lifetime_seconds != b.token_lifetime_seconds ||
        a.gc_spare_seconds != b.gc_spare_seconds || strcmp(a.token_service, b.token_service) != 0 ||
        strcmp(a.token_realm, b.token_realm) != 0)
        return false;
    for (size_t i = 0; i < a.rule_count; ++i) {
        const tv_access_rule &x = a.rules[i], &y = b.rules[i];
        if (x.actions != y.actions || x.repository_count != y.repository_count ||
            x.user_count != y.user_count)
            return false;
        for (size_t j = 0; j < x.repository_count; ++j)
            if (strcmp(x.repositories[j], y.repositories[j]) != 0) return false;
        for (size_t j = 0; j < x.user_count; ++j)
            if (strcmp(x.users[j], y.users[j]) != 0) return false;
    }
    return true;
}

void check_accepted(const tv_settings &s)
{
    FUZZ_CHECK(s.access_log_max_bytes >= 0 && s.quota_bytes >= 0 && s.retention_keep_n >= 0 &&
               s.retention_days >= 0);
    FUZZ_CHECK(s.access_log == 0 || s.access_log == 1);
    FUZZ_CHECK(s.retention_protect_latest == 0 || s.retention_protect_latest == 1);
    FUZZ_CHECK(s.token_auth == 0 || s.token_auth == 1);
    FUZZ_CHECK(s.token_lifetime_seconds >= 60 && s.token_lifetime_seconds <= 86400);
    FUZZ_CHECK(s.gc_spare_seconds >= TV_CONFIG_GC_SPARE_MIN &&
               s.gc_spare_seconds <= TV_CONFIG_GC_SPARE_MAX);
    FUZZ_CHECK((s.auth_user[0] != '\0') == (s.auth_sha256[0] != '\0'));
    if (s.auth_sha256[0]) FUZZ_CHECK(strlen(s.auth_sha256) == 64);
    FUZZ_CHECK(strchr(s.auth_user, ':') == nullptr);
    FUZZ_CHECK(strpbrk(s.token_service, "\"\\\r\n") == nullptr);
    FUZZ_CHECK(strpbrk(s.token_realm, "\"\\\r\n ") == nullptr);
    for (size_t i = 0; i < s.rule_count; ++i) {
        const tv_access_rule &r = s.rules[i];
        FUZZ_CHECK((r.actions & ~(TV_ACTION_PULL | TV_ACTION_PUSH | TV_ACTION_DELETE)) == 0);
        for (size_t j = 0; j < r.repository_count; ++j)
            FUZZ_CHECK(r.repositories[j][0] != '\0' && r.repositories[j][0] != '/' &&
                       strspn(r.repositories[j], "abcdefghijklmnopqrstuvwxyz0123456789._-/*") ==
                           strlen(r.repositories[j]));
        for (size_t j = 0; j < r.user_count; ++j)
            FUZZ_CHECK(r.users[j][0] != '\0' && strlen(r.users[j]) < TV_CONFIG_USER_CAP &&
                       strchr(r.users[j], ':') == nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view file(reinterpret_cast<const char *>(data), size);
    tv_settings a, b;
    char err[TV_CONFIG_ERROR_CAP], err2[TV_CONFIG_ERROR_CAP];
    const int rc = tv_config_parse(file.data(), file.size(), &a, err, sizeof err);
    const int rc2 = tv_config_parse(file.data(), file.size(), &b, err2, sizeof err2);
    FUZZ_CHECK(rc == rc2);
    if (rc == 0) {
        check_accepted(a);
        FUZZ_CHECK(same(a, b));
    } else {
        FUZZ_CHECK(rc == -1 && err[0] != '\0' && strcmp(err, err2) == 0);
        FUZZ_CHECK(tv_config_access_control(&a) == 0 && a.rule_count == 0); /* defaults */
    }
    tv_config_release(&a);
    tv_config_release(&b);
    return 0;
}
