/*
 * common_storage.cpp - the storage bootstrap: resolves the storage root
 * and initialises the storage engine once per process.
 */
#include "oci_common.h"

#include "reg_storage.h"
#include "tv_config.h"

namespace
{

/* 1 once the engine was initialised by this module; never reset, so a
 * later reg_storage_cleanup by the caller goes unnoticed. */
int s_storage_ready = 0;

} // namespace

void oci_storage_root(char *out, size_t out_size)
{
    if (!out || out_size == 0) return;
    tv_strlcpy(out, tv_config_storage_root(), out_size);
}

int oci_init_storage(void)
{
    if (s_storage_ready) return 0;
    /* Not through a buffer of our own: a root too long for the engine is
     * refused there, never cut here into another path. */
    const int rc = reg_storage_init(tv_config_storage_root());
    if (rc == 0) s_storage_ready = 1;
    return rc;
}
