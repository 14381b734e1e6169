/*
 * common_config.cpp - the integer and boolean settings of config.json.
 *
 * Each reader scans the first 4,095 bytes of the file anew on every call,
 * so an edited file applies from the next call on. A quoted number, a
 * negative one, true, false and null are not integers here: they give 0.
 */
#include "oci_common.h"

#include "tv_config.h"

#include <string.h>

namespace
{

constexpr size_t kSettingsCap = 4096; /* 4,095 bytes of the file and a NUL */

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* The value after key's colon, blanks passed over; NULL when the file,
 * the key or the colon is missing. text holds the file's start. */
const char *setting_value(char (&text)[kSettingsCap], const char *key)
{
    if (tv_config_read(text, sizeof text) == 0) return nullptr;
    return tv_config_skip_space(tv_config_after_text(text, key));
}

} // namespace

int64_t oci_config_int(const char *key)
{
    char text[kSettingsCap];
    const char *v = setting_value(text, key);
    int64_t n = 0;
    /* Digits only: the scanner's conversion would also take a sign or a
     * quote, which these settings do not allow. It saturates. */
    if (!v || !is_digit(*v) || tv_config_int_at(v, &n) != 0) return 0;
    return n;
}

int64_t oci_retention_keep_n(void)
{
    return oci_config_int("\"registry_retention_keep_n\"");
}

int64_t oci_retention_days(void)
{
    return oci_config_int("\"registry_retention_days\"");
}

int64_t oci_quota_bytes(void)
{
    return oci_config_int("\"registry_quota_bytes\"");
}

int oci_retention_protect_latest(void)
{
    char text[kSettingsCap];
    const char *v = setting_value(text, "\"registry_retention_protect_latest\"");
    if (!v) return 1;
    if (strncmp(v, "true", 4) == 0) return 1;
    if (strncmp(v, "false", 5) == 0) return 0;
    int64_t n = 0;
    if (is_digit(*v) && tv_config_int_at(v, &n) == 0) return n != 0 ? 1 : 0;
    return 1; /* anything else keeps "latest" safe */
}
