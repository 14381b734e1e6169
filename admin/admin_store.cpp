/*
 * admin_store.cpp - what every subcommand shares: the storage root it
 * works on, its error messages and the user's interruption.
 */
#include "admin.h"

#include "oci_common.h"
#include "tv_config.h"
#include "platform.h"
#include "reg_storage.h"
#include "tv_cgi.h"

#include <cstdio>
#include <atomic>
#include <cstdarg>

namespace
{

char s_root[ADMIN_ROOT_CAP] = "";

/* Raised by the interruption thread, read by the working one. */
std::atomic<int> s_interrupted{0};
std::atomic<int> s_gc_running{0};

void on_interrupt(void *)
{
    s_interrupted.store(1);
    /* The cancel marker is a file: writing it here, off the signal, is
     * safe. A run that has not cleared stale markers yet is asked again
     * from its progress callback (admin_gc.cpp). */
    if (s_gc_running.load()) reg_gc_cancel();
}

} // namespace

const char *admin_root(void)
{
    return s_root;
}

void admin_error(const admin_opts *opts, const char *path, const char *format, ...)
{
    char reason[ADMIN_ERROR_CAP];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(reason, sizeof reason, format, ap);
    va_end(ap);
    std::fflush(stdout);
    std::fprintf(stderr, "registry-admin%s%s: %s%s%s\n", opts && opts->command ? " " : "",
                 opts && opts->command ? opts->command->name : "", path ? path : "",
                 path ? ": " : "", reason);
}

int admin_open_store(const admin_opts *opts)
{
    /* Retention and quota come from the settings too: never run on
     * defaults that the operator's file would contradict. */
    if (const char *err = tv_config_error()) {
        admin_error(opts, nullptr, "%s", err);
        return ADMIN_FAILED;
    }
    if (opts->root[0])
        tv_strlcpy(s_root, opts->root, sizeof s_root);
    else
        oci_storage_root(s_root, sizeof s_root);
    /* A mistyped root must not become a new, empty store. */
    if (!plat_dir_exists(s_root)) {
        admin_error(opts, s_root, "storage root is not a directory");
        return ADMIN_FAILED;
    }
    if (reg_storage_init(s_root) != 0) {
        admin_error(opts, s_root, "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    return ADMIN_OK;
}

int admin_catch_interrupt(void)
{
    return plat_on_interrupt(on_interrupt, nullptr);
}

int admin_interrupted(void)
{
    return s_interrupted.load();
}

void admin_gc_running(int running)
{
    s_gc_running.store(running);
}
