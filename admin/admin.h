/*
 * admin.h - the registry-admin command: maintenance of a storage root from a
 * shell, cron or a scheduled task, in-process over the storage engine.
 *
 * Files: admin_args.cpp (the command line and help), admin_progress.cpp
 * (the progress line and its estimate), admin_store.cpp (opening the store,
 * errors, interruption), one file per group of subcommands (admin_gc.cpp:
 * gc and retention; admin_stats.cpp: stats and du; admin_verify.cpp;
 * admin_list.cpp: repos and tags; admin_users.cpp: the users file) and
 * admin_main.cpp.
 */
#ifndef REGISTRY_ADMIN_H
#define REGISTRY_ADMIN_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exit statuses, for scripts. */
enum {
    ADMIN_OK = 0,      /* done */
    ADMIN_FAILED = 1,  /* could not do it (or was interrupted) */
    ADMIN_USAGE = 2,   /* a bad command line */
    ADMIN_PROBLEM = 3, /* done, and found something wrong with the store */
};

/* Options, one bit each; a command accepts the ones its table entry names. */
enum {
    ADMIN_OPT_ROOT = 1 << 0,
    ADMIN_OPT_JSON = 1 << 1,
    ADMIN_OPT_DRY_RUN = 1 << 2,
    ADMIN_OPT_KEEP = 1 << 3,
    ADMIN_OPT_DAYS = 1 << 4,
    ADMIN_OPT_PROTECT = 1 << 5, /* --protect-latest and --no-protect-latest */
    ADMIN_OPT_QUARANTINE = 1 << 6,
    ADMIN_OPT_FILE = 1 << 7,
    ADMIN_OPT_COST = 1 << 8,
    ADMIN_OPT_PASSWORD_STDIN = 1 << 9,
};

#define ADMIN_ROOT_CAP 1024
#define ADMIN_NAME_CAP 256
#define ADMIN_ERROR_CAP 512
#define ADMIN_FILE_CAP 1024

typedef struct admin_opts {
    const struct admin_command *command; /* NULL: none given */
    int help;                            /* --help or "help" */
    char root[ADMIN_ROOT_CAP];           /* --root; "" for the configured one */
    int json, dry_run, quarantine;
    int keep_n, days;              /* -1 when not given: the configured policy */
    int protect_latest;            /* -1 when not given, else 0 or 1 */
    char name[ADMIN_NAME_CAP];     /* the repository of "tags", the user of "user" */
    const struct admin_verb *verb; /* "user add" and the like; NULL: none */
    char file[ADMIN_FILE_CAP];     /* --file; "" when not given */
    int cost;                      /* --cost; -1 when not given */
    int password_stdin;            /* --password-stdin */
} admin_opts;

typedef int (*admin_handler)(const admin_opts *opts);

/* The second word of a command that has several actions ("user add"). */
typedef struct admin_verb {
    const char *name;
    int operand;      /* 1 when it takes one NAME */
    unsigned options; /* ADMIN_OPT_ bits, in place of the command's */
} admin_verb;

typedef struct admin_command {
    const char *name;
    const char *args;    /* after the name in the usage line */
    const char *summary; /* one line */
    const char *help;    /* the rest of its --help */
    unsigned options;    /* ADMIN_OPT_ bits */
    int operand;         /* 1 when it takes one NAME */
    admin_handler run;
    const admin_verb *verbs; /* NULL, or the actions it takes first, ended by a NULL name */
} admin_command;

/* ---- admin_args.cpp -------------------------------------------------------- */

/* Parses argv[1..] into opts. ADMIN_OK, or ADMIN_USAGE with the reason in
 * err (err_size bytes). Options may stand before or after the command. */
int admin_parse_args(int argc, char *const *argv, admin_opts *opts, char *err, size_t err_size);
/* The overall help (command NULL) or one command's. */
void admin_print_help(FILE *out, const admin_command *command);
const admin_command *admin_find_command(const char *name);

/* ---- admin_store.cpp ------------------------------------------------------- */

/* The storage root in use (valid after admin_open_store). */
const char *admin_root(void);
/* Resolves the root (--root, else as the registry's programs do) and
 * brings the engine up on it. An absent root is an error, not a new
 * store. ADMIN_OK, or ADMIN_FAILED after a message naming the root. */
int admin_open_store(const admin_opts *opts);
/* "registry-admin CMD: PATH: reason" on standard error. */
void admin_error(const admin_opts *opts, const char *path, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
/* Takes Ctrl-C / SIGINT / SIGTERM from here on: the first only raises the
 * flag admin_interrupted reads (and asks a running collection to stop),
 * the next ends the process. Only the long commands that can stop cleanly
 * call it, before any thread is started; for the others Ctrl-C ends the
 * process at once. 0 or -1. */
int admin_catch_interrupt(void);
int admin_interrupted(void);
/* While set, an interruption also asks the collection to stop. */
void admin_gc_running(int running);

/* ---- admin_list.cpp -------------------------------------------------------- */

/* Calls fn(ctx, name) for every repository (repo NULL) or every tag of
 * repo, paging through the engine's listings; fn returns 0 to go on.
 * 0, or -1 with the engine's message in reg_storage_last_error(). */
typedef int (*admin_name_fn)(void *ctx, const char *name);
int admin_each_name(const char *repo, admin_name_fn fn, void *ctx);

/* ---- the subcommands ------------------------------------------------------- */

int admin_cmd_gc(const admin_opts *opts);
int admin_cmd_retention(const admin_opts *opts);
int admin_cmd_stats(const admin_opts *opts);
int admin_cmd_du(const admin_opts *opts);
int admin_cmd_verify(const admin_opts *opts);
int admin_cmd_repos(const admin_opts *opts);
int admin_cmd_tags(const admin_opts *opts);
int admin_cmd_user(const admin_opts *opts);

#ifdef __cplusplus
}
#endif

#endif
