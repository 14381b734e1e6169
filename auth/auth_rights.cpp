/*
 * auth_rights.cpp - what a caller may do on a repository, from the rules
 * of the settings.
 *
 * The first rule that names both the repository and the caller decides;
 * later rules are not consulted. Order is the whole semantics, as in a
 * firewall: put the narrow rules first. Without rules, every signed-in
 * user may do everything (the single user of the older settings always
 * could) and an anonymous caller nothing.
 */
#include "v2_auth.h"

#include "tv_config.h"

#include <string.h>

#include <string_view>

namespace
{

/* '*' matches within one level (no '/'), '**' across levels. */
bool pattern_match(std::string_view pat, std::string_view name)
{
    while (!pat.empty()) {
        if (pat.substr(0, 2) == "**") {
            pat.remove_prefix(2);
            for (size_t i = 0; i <= name.size(); ++i)
                if (pattern_match(pat, name.substr(i))) return true;
            return false;
        }
        if (pat.front() == '*') {
            pat.remove_prefix(1);
            for (size_t i = 0; i <= name.size(); ++i) {
                if (pattern_match(pat, name.substr(i))) return true;
                if (i < name.size() && name[i] == '/') return false;
            }
            return false;
        }
        if (name.empty() || name.front() != pat.front()) return false;
        pat.remove_prefix(1);
        name.remove_prefix(1);
    }
    return name.empty();
}

/* user: "" for a caller without credentials. */
bool names_user(const char *const *users, size_t count, const char *user)
{
    for (size_t i = 0; i < count; ++i) {
        const char *u = users[i];
        if (!*user ? strcmp(u, TV_USER_ANONYMOUS) == 0
                   : strcmp(u, TV_USER_ANY) == 0 || strcmp(u, user) == 0)
            return true;
    }
    return false;
}

} // namespace

int registry_pattern_match(const char *pattern, const char *name)
{
    if (!pattern || !name) return 0;
    return pattern_match(pattern, name) ? 1 : 0;
}

unsigned registry_rights(const tv_settings *cfg, const char *user, const char *repository)
{
    if (!cfg || !repository) return 0;
    if (!user) user = "";
    if (!tv_config_access_control(cfg)) return TV_ACTION_PULL | TV_ACTION_PUSH | TV_ACTION_DELETE;
    if (!cfg->rules_set) return *user ? TV_ACTION_PULL | TV_ACTION_PUSH | TV_ACTION_DELETE : 0;
    for (size_t i = 0; i < cfg->rule_count; ++i) {
        const tv_access_rule &r = cfg->rules[i];
        if (!names_user(r.users, r.user_count, user)) continue;
        for (size_t j = 0; j < r.repository_count; ++j)
            if (pattern_match(r.repositories[j], repository)) return r.actions;
    }
    return 0;
}

int registry_is_admin(const tv_settings *cfg, const char *user)
{
    if (!cfg) return 0;
    if (!user) user = "";
    if (!tv_config_access_control(cfg)) return 1;
    if (!cfg->admins_set) return *user ? 1 : 0;
    return names_user(cfg->admins, cfg->admin_count, user) ? 1 : 0;
}
