/*
 * common_config.cpp - the retention, quota and collection settings, from
 * the one settings reader. Invalid settings give the defaults here; the
 * programs refuse requests before they get this far (oci_api_enter).
 */
#include "oci_common.h"

#include "reg_storage.h"
#include "tv_config.h"

/* The engine's window when nobody sets one is the setting's default. */
static_assert(TV_CONFIG_GC_SPARE_DEFAULT == REG_GC_SPARE_SECONDS_DEFAULT);

int64_t oci_retention_keep_n(void)
{
    return tv_config()->retention_keep_n;
}

int64_t oci_retention_days(void)
{
    return tv_config()->retention_days;
}

int64_t oci_quota_bytes(void)
{
    return tv_config()->quota_bytes;
}

int64_t oci_quota_refresh_seconds(void)
{
    return tv_config()->quota_refresh_seconds;
}

int oci_retention_protect_latest(void)
{
    return tv_config()->retention_protect_latest;
}

int64_t oci_gc_spare_seconds(void)
{
    return tv_config()->gc_spare_seconds;
}
