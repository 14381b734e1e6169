/*
 * common_config.cpp - the retention and quota settings, from the one
 * settings reader. Invalid settings give the defaults here; the programs
 * refuse requests before they get this far (oci_api_enter).
 */
#include "oci_common.h"

#include "tv_config.h"

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
