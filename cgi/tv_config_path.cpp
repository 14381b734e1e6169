/*
 * tv_config_path.cpp - where the service configuration file is.
 *
 * An installed registry keeps its programs in one directory and its
 * configuration in another; the web server names the file in the
 * environment it gives the programs, which costs a request nothing.
 */
#include "tv_config.h"

#include <stdlib.h>

const char *tv_config_path(void)
{
    const char *v = getenv(TV_CONFIG_ENV);
    return v && *v ? v : TV_CONFIG_FILE;
}
