/*
 * admin_main.cpp - registry-admin: parse, open the store, run one
 * subcommand, exit with its status.
 */
#include "admin.h"

#include "platform.h"

#include <cstdio>

int main(int argc, char **argv)
{
    /* Reports and listings are bytes, not text to translate. */
    plat_stdout_binary();
    admin_opts opts;
    char err[ADMIN_ERROR_CAP];
    if (admin_parse_args(argc, argv, &opts, err, sizeof err) != ADMIN_OK) {
        admin_error(&opts, nullptr, "%s", err);
        std::fprintf(stderr, "try: registry-admin %s%s--help\n",
                     opts.command ? opts.command->name : "", opts.command ? " " : "");
        return ADMIN_USAGE;
    }
    if (opts.help) {
        admin_print_help(stdout, opts.command);
        return ADMIN_OK;
    }
    /* The commands that take --root work on the store; "user" does not. */
    if (opts.command->options & ADMIN_OPT_ROOT) {
        const int rc = admin_open_store(&opts);
        if (rc != ADMIN_OK) return rc;
    }
    return opts.command->run(&opts);
}
