/*
 * platform_common.cpp - the parts of platform.h that are built on the
 * backend's own calls and so are the same for every backend.
 */
#include "platform.h"

#include <errno.h>

#include "platform_fault.h"

int plat_is_dir(const char *path)
{
    plat_file_info fi;
    return plat_stat(path, &fi) == 0 && fi.is_dir;
}

int plat_is_file(const char *path)
{
    plat_file_info fi;
    return plat_stat(path, &fi) == 0 && !fi.is_dir;
}

int plat_error_vanished(void)
{
#ifdef ESTALE
    if (errno == ESTALE) return 1;
#endif
    return errno == ENOENT;
}

namespace
{
plat_fault_fn s_fault_fn;
void *s_fault_ctx;
} // namespace

void plat_set_fault_hook(plat_fault_fn fn, void *ctx)
{
    s_fault_fn = fn;
    s_fault_ctx = ctx;
}

int plat_fault_check(const char *op, const char *path)
{
    if (!s_fault_fn) return 0;
    const int e = s_fault_fn(op, path, s_fault_ctx);
    if (e != 0) errno = e;
    return e;
}
