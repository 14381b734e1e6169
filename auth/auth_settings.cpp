/*
 * auth_settings.cpp - the string lookup and the two settings behind the
 * authentication switch.
 */
#include "v2_auth.h"

#include "auth_internal.h"
#include "tv_config.h"

#include <string.h>

namespace
{

constexpr size_t kKeyMax = 93;        /* quoted, it fills a 96-byte buffer */
constexpr size_t kSettingsCap = 4096; /* 4,095 bytes of the file and a NUL */

} // namespace

int json_str_key(const char *json, const char *key, char *out, size_t out_size)
{
    /* A longer key would have to be cut before its closing quote and could
     * then match another key; it is refused instead. */
    if (!json || !key || strlen(key) > kKeyMax) return 0;
    return tv_config_str_at(tv_config_after_key(json, key, 0), out, out_size) == 0 ? 1 : 0;
}

namespace auth
{

int read_settings(settings *out)
{
    char text[kSettingsCap];
    if (tv_config_read(text, sizeof text) == 0) return 0;
    if (!json_str_key(text, "registry_auth_user", out->user, sizeof out->user)) return 0;
    if (!json_str_key(text, "registry_auth_sha256", out->digest, sizeof out->digest)) return 0;
    /* The digits are not checked here: a 64-byte value with a non-hex
     * character turns authentication on and then matches no password. */
    return out->user[0] != '\0' && strlen(out->digest) == kDigestHexLen ? 1 : 0;
}

} // namespace auth

int registry_auth_enabled(void)
{
    auth::settings s;
    return auth::read_settings(&s);
}
