/*
 * common_storage.cpp - the storage bootstrap: resolves the storage root
 * and initialises the storage engine once per process.
 */
#include "oci_common.h"

#include "reg_storage.h"
#include "tv_config.h"

#include <stdlib.h>

namespace
{

constexpr size_t kRootCap = 1024;     /* root buffer, NUL included */
constexpr size_t kRootScanCap = 2048; /* 2,047 bytes of the file and a NUL */
constexpr char kDefaultRoot[] = "./registry_storage";

/* 1 once the engine was initialised by this module; never reset, so a
 * later reg_storage_cleanup by the caller goes unnoticed. */
int s_storage_ready = 0;

/* The root from config.json into root (left "" when unusable). Here the
 * colon must follow the quoted key at once, and "storage_root" wins: the
 * other key is tried only when that pattern is absent, not when its value
 * is malformed. */
void root_from_config(char *root, size_t cap)
{
    char text[kRootScanCap];
    if (tv_config_read(text, sizeof text) == 0) return;
    const char *after = tv_config_after_key(text, "storage_root", 1);
    if (!after) after = tv_config_after_key(text, "registry_storage_root", 1);
    tv_config_str_at(after, root, cap);
}

} // namespace

void oci_storage_root(char *out, size_t out_size)
{
    if (!out || out_size == 0) return;
    out[0] = '\0';
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env && *env)
        tv_strlcpy(out, env, out_size);
    else
        root_from_config(out, out_size);
    if (!out[0]) tv_strlcpy(out, kDefaultRoot, out_size);
}

int oci_init_storage(void)
{
    if (s_storage_ready) return 0;
    char root[kRootCap];
    oci_storage_root(root, sizeof root);
    const int rc = reg_storage_init(root);
    if (rc == 0) s_storage_ready = 1;
    return rc;
}
