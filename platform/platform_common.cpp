/*
 * platform_common.cpp - the parts of platform.h that are built on the
 * backend's own calls and so are the same for every backend.
 */
#include "platform.h"

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
