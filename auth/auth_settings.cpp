/*
 * auth_settings.cpp - the single user of the older form, from the one
 * settings reader.
 */
#include "v2_auth.h"

#include "auth_internal.h"
#include "tv_config.h"

#include <string.h>

namespace auth
{

int read_settings(settings *out)
{
    const tv_settings *cfg = tv_config();
    if (tv_config_error() || !cfg->auth_user[0]) return 0;
    static_assert(sizeof out->user == sizeof cfg->auth_user, "one user-name size");
    static_assert(sizeof out->digest == sizeof cfg->auth_sha256, "one digest size");
    memcpy(out->user, cfg->auth_user, sizeof out->user);
    memcpy(out->digest, cfg->auth_sha256, sizeof out->digest);
    return 1;
}

} // namespace auth

int registry_auth_enabled(void)
{
    auth::settings s;
    return auth::read_settings(&s);
}
