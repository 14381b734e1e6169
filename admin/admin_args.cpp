/*
 * admin_args.cpp - the command line: the table of subcommands, their
 * options and their help texts.
 */
#include "admin.h"

#include "auth_passwords.h"
#include "tv_cgi.h"

#include <cstdio>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

namespace
{

constexpr unsigned kAll = ADMIN_OPT_ROOT; /* every store command takes --root */

constexpr unsigned kUserFile = ADMIN_OPT_FILE;
constexpr unsigned kUserSecret = kUserFile | ADMIN_OPT_COST | ADMIN_OPT_PASSWORD_STDIN;
constexpr admin_verb kUserVerbs[] = {
    {"add", 1, kUserSecret},  {"passwd", 1, kUserSecret},
    {"remove", 1, kUserFile}, {"list", 0, kUserFile},
    {nullptr, 0, 0},
};

constexpr admin_command kCommands[] = {
    {"gc", "[--dry-run] [--json]", "delete the blobs no manifest names, and stale uploads",
     "Collects garbage in the storage root: blobs that no stored manifest names\n"
     "(as config, layer or index entry) and upload files untouched for 15\n"
     "minutes. Runs while pushes go on: a blob a push finished or named (HEAD,\n"
     "mount, manifest) within registry_gc_spare_seconds (2 hours unless set)\n"
     "before the run is kept. On a terminal a progress line shows the phase, the\n"
     "blobs done, the time taken and an estimate of the rest; Ctrl-C stops the\n"
     "run at its next check and reports what it deleted so far.\n"
     "  --dry-run   decide as a real run, delete nothing\n"
     "  --json      print the collection's report as JSON\n"
     "Exit status: 0 done, 1 failed or interrupted, 3 (dry run) a real run\n"
     "would refuse because part of the store cannot be read.\n",
     kAll | ADMIN_OPT_DRY_RUN | ADMIN_OPT_JSON, 0, admin_cmd_gc, nullptr},
    {"retention",
     "[--dry-run] [--keep N] [--days D] [--protect-latest|--no-protect-latest] [--json]",
     "remove old tags by the retention policy",
     "Removes tags beyond the newest N of each repository and tags older than D\n"
     "days, and the manifests no tag names any more; their blobs go with the\n"
     "next gc. Without options the policy of config.json applies\n"
     "(registry_retention_keep_n, registry_retention_days,\n"
     "registry_retention_protect_latest); each option overrides its setting.\n"
     "  --dry-run             list what would be removed, remove nothing\n"
     "  --keep N              tags kept per repository (0: no limit)\n"
     "  --days D              age in days past which tags go (0: no limit)\n"
     "  --protect-latest      never remove a tag named latest\n"
     "  --no-protect-latest   treat latest as any other tag\n"
     "  --json                print the retention report as JSON\n",
     kAll | ADMIN_OPT_DRY_RUN | ADMIN_OPT_KEEP | ADMIN_OPT_DAYS | ADMIN_OPT_PROTECT |
         ADMIN_OPT_JSON,
     0, admin_cmd_retention, nullptr},
    {"stats", "[--json]", "repositories, tags, blobs, bytes and quota",
     "Prints the store in numbers: repositories, tags, blobs and their bytes,\n"
     "uploads in progress, and the quota used (registry_quota_bytes).\n"
     "  --json   the same as one JSON object\n",
     kAll | ADMIN_OPT_JSON, 0, admin_cmd_stats, nullptr},
    {"verify", "[--quarantine]", "re-hash every blob and list the damaged ones",
     "Reads every blob and compares its SHA-256 with its name. Lists each blob\n"
     "whose content does not match (corrupted or truncated) or cannot be read.\n"
     "  --quarantine   move such blobs to ROOT/_quarantine/HEX (never deleted;\n"
     "                 gc, listings and stats do not look there). A later push\n"
     "                 of the same content stores it afresh.\n"
     "Exit status: 0 all blobs match, 3 damaged blobs found, 1 failed or\n"
     "interrupted.\n",
     kAll | ADMIN_OPT_QUARANTINE, 0, admin_cmd_verify, nullptr},
    {"du", "[--json]", "bytes per repository, unique and shared",
     "For each repository, the bytes of the blobs its manifests name: unique\n"
     "(named by no other repository) and shared (named by others too). Sorted\n"
     "by their sum, largest first.\n"
     "  --json   the same as a JSON array\n",
     kAll | ADMIN_OPT_JSON, 0, admin_cmd_du, nullptr},
    {"repos", "", "list every repository", "Prints every repository name, one a line.\n", kAll, 0,
     admin_cmd_repos, nullptr},
    {"tags", "NAME", "list every tag of a repository",
     "Prints every tag of repository NAME, one a line.\n", kAll, 1, admin_cmd_tags, nullptr},
    {"user", "add|passwd|remove NAME | list  [--file PATH] [--cost N] [--password-stdin]",
     "add, change, remove or list the users of a users file",
     "Edits a users file in the htpasswd format: one \"user:hash\" line per user,\n"
     "the hash bcrypt.\n"
     "  add NAME      adds NAME; refused when NAME is there already\n"
     "  passwd NAME   gives NAME a new password; refused for an unknown NAME\n"
     "  remove NAME   removes every line of NAME; refused for an unknown NAME\n"
     "  list          prints the user names, one a line\n"
     "The password is asked twice on the terminal, without echo, or read as one\n"
     "line from standard input with --password-stdin; never from the command\n"
     "line. Only its first 72 bytes count. Every other line stays as it was\n"
     "(comments, lines the registry skips, the order). The new file is written\n"
     "beside the old one as PATH.tmp and renamed over it, with the old one's\n"
     "permissions, owner and group (a new file: 0640); while PATH.tmp exists,\n"
     "another edit is under way or was stopped, and edits are refused.\n"
     "  --file PATH        the users file (default: \"registry_htpasswd\" of the\n"
     "                     settings)\n"
     "  --cost N           bcrypt cost, 4 to 31: 2^N rounds (default 10)\n"
     "  --password-stdin   read the password from standard input\n",
     0, 0, admin_cmd_user, kUserVerbs},
};

struct option_spec {
    std::string_view name;
    unsigned bit;
    bool takes_value;
};

constexpr option_spec kOptions[] = {
    {"--root", ADMIN_OPT_ROOT, true},
    {"--json", ADMIN_OPT_JSON, false},
    {"--dry-run", ADMIN_OPT_DRY_RUN, false},
    {"--keep", ADMIN_OPT_KEEP, true},
    {"--days", ADMIN_OPT_DAYS, true},
    {"--protect-latest", ADMIN_OPT_PROTECT, false},
    {"--no-protect-latest", ADMIN_OPT_PROTECT, false},
    {"--quarantine", ADMIN_OPT_QUARANTINE, false},
    {"--file", ADMIN_OPT_FILE, true},
    {"--cost", ADMIN_OPT_COST, true},
    {"--password-stdin", ADMIN_OPT_PASSWORD_STDIN, false},
};

/* A count: digits only, at most INT_MAX. */
bool parse_count(const char *text, int *out)
{
    if (!*text) return false;
    long long v = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > INT_MAX) return false;
    }
    *out = static_cast<int>(v);
    return true;
}

const option_spec *find_option(std::string_view name)
{
    for (const option_spec &o : kOptions)
        if (o.name == name) return &o;
    return nullptr;
}

const admin_verb *find_verb(const admin_command *c, const char *name)
{
    for (const admin_verb *v = c->verbs; v->name; ++v)
        if (std::strcmp(v->name, name) == 0) return v;
    return nullptr;
}

/* "add, passwd, remove or list". */
std::string verb_list(const admin_command *c)
{
    std::string out;
    for (const admin_verb *v = c->verbs; v->name; ++v)
        out.append(v == c->verbs ? "" : v[1].name ? ", " : " or ").append(v->name);
    return out;
}

} // namespace

const admin_command *admin_find_command(const char *name)
{
    for (const admin_command &c : kCommands)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

int admin_parse_args(int argc, char *const *argv, admin_opts *opts, char *err, size_t err_size)
{
    std::memset(opts, 0, sizeof *opts);
    opts->keep_n = opts->days = opts->protect_latest = opts->cost = -1;
    err[0] = '\0';
    unsigned given = 0;
    bool help_word = false, have_name = false;

    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            opts->help = 1;
            continue;
        }
        if (arg[0] == '-' && arg[1] != '\0') {
            std::string_view a(arg);
            const size_t eq = a.find('=');
            const option_spec *o = find_option(a.substr(0, eq));
            if (!o) {
                tv_snprintf(err, err_size, "unknown option %s", arg);
                return ADMIN_USAGE;
            }
            const char *value = nullptr;
            if (o->takes_value) {
                if (eq != std::string_view::npos)
                    value = arg + eq + 1;
                else if (i + 1 < argc)
                    value = argv[++i];
                else {
                    tv_snprintf(err, err_size, "%s needs a value", arg);
                    return ADMIN_USAGE;
                }
            } else if (eq != std::string_view::npos) {
                tv_snprintf(err, err_size, "%.*s takes no value", static_cast<int>(eq), arg);
                return ADMIN_USAGE;
            }
            given |= o->bit;
            switch (o->bit) {
            case ADMIN_OPT_ROOT:
                if (!*value || std::strlen(value) >= sizeof opts->root) {
                    tv_snprintf(err, err_size, "--root needs a directory (at most %d bytes)",
                                ADMIN_ROOT_CAP - 1);
                    return ADMIN_USAGE;
                }
                tv_strlcpy(opts->root, value, sizeof opts->root);
                break;
            case ADMIN_OPT_FILE:
                if (!*value || std::strlen(value) >= sizeof opts->file) {
                    tv_snprintf(err, err_size, "--file needs a path (at most %d bytes)",
                                ADMIN_FILE_CAP - 1);
                    return ADMIN_USAGE;
                }
                tv_strlcpy(opts->file, value, sizeof opts->file);
                break;
            case ADMIN_OPT_COST:
                if (!parse_count(value, &opts->cost) || opts->cost < REGISTRY_BCRYPT_MIN_COST ||
                    opts->cost > REGISTRY_BCRYPT_MAX_COST) {
                    tv_snprintf(err, err_size,
                                "--cost needs a whole number from %d to %d, not \"%s\"",
                                REGISTRY_BCRYPT_MIN_COST, REGISTRY_BCRYPT_MAX_COST, value);
                    return ADMIN_USAGE;
                }
                break;
            case ADMIN_OPT_PASSWORD_STDIN:
                opts->password_stdin = 1;
                break;
            case ADMIN_OPT_KEEP:
            case ADMIN_OPT_DAYS:
                if (!parse_count(value, o->bit == ADMIN_OPT_KEEP ? &opts->keep_n : &opts->days)) {
                    tv_snprintf(err, err_size, "%.*s needs a whole number, not \"%s\"",
                                static_cast<int>(o->name.size()), o->name.data(), value);
                    return ADMIN_USAGE;
                }
                break;
            case ADMIN_OPT_PROTECT:
                opts->protect_latest = a.starts_with("--no-") ? 0 : 1;
                break;
            case ADMIN_OPT_JSON:
                opts->json = 1;
                break;
            case ADMIN_OPT_DRY_RUN:
                opts->dry_run = 1;
                break;
            case ADMIN_OPT_QUARANTINE:
                opts->quarantine = 1;
                break;
            default:
                break;
            }
            continue;
        }
        /* Words: "help", the command, its NAME. */
        if (!opts->command && !help_word && std::strcmp(arg, "help") == 0) {
            help_word = true;
            opts->help = 1;
            continue;
        }
        if (!opts->command) {
            opts->command = admin_find_command(arg);
            if (!opts->command) {
                tv_snprintf(err, err_size, "unknown command \"%s\"", arg);
                return ADMIN_USAGE;
            }
            continue;
        }
        if (opts->command->verbs && !opts->verb) {
            opts->verb = find_verb(opts->command, arg);
            if (!opts->verb) {
                tv_snprintf(err, err_size, "unknown action \"%s\" of %s", arg, opts->command->name);
                return ADMIN_USAGE;
            }
            continue;
        }
        if ((opts->verb ? opts->verb->operand : opts->command->operand) && !have_name) {
            if (std::strlen(arg) >= sizeof opts->name) {
                tv_snprintf(err, err_size, "name too long (at most %d bytes)", ADMIN_NAME_CAP - 1);
                return ADMIN_USAGE;
            }
            tv_strlcpy(opts->name, arg, sizeof opts->name);
            have_name = true;
            continue;
        }
        tv_snprintf(err, err_size, "unexpected argument \"%s\"", arg);
        return ADMIN_USAGE;
    }
    if (opts->help) return ADMIN_OK;
    if (!opts->command) {
        tv_snprintf(err, err_size, "no command given");
        return ADMIN_USAGE;
    }
    if (opts->command->verbs && !opts->verb) {
        tv_snprintf(err, err_size, "%s needs an action: %s", opts->command->name,
                    verb_list(opts->command).c_str());
        return ADMIN_USAGE;
    }
    const admin_verb *v = opts->verb;
    const unsigned refused = given & ~(v ? v->options : opts->command->options);
    for (const option_spec &o : kOptions)
        if (refused & o.bit) {
            tv_snprintf(err, err_size, "%s%s%s does not take %.*s", opts->command->name,
                        v ? " " : "", v ? v->name : "", static_cast<int>(o.name.size()),
                        o.name.data());
            return ADMIN_USAGE;
        }
    if (v && v->operand && !have_name) {
        tv_snprintf(err, err_size, "%s %s needs a NAME", opts->command->name, v->name);
        return ADMIN_USAGE;
    }
    if (!v && opts->command->operand && !have_name) {
        tv_snprintf(err, err_size, "%s needs a repository NAME", opts->command->name);
        return ADMIN_USAGE;
    }
    return ADMIN_OK;
}

void admin_print_help(FILE *out, const admin_command *c)
{
    if (c) {
        const bool root = c->options & ADMIN_OPT_ROOT;
        std::fprintf(out, "usage: registry-admin %s%s%s%s\n\n%s: %s.\n\n%s", c->name,
                     c->args[0] ? " " : "", c->args, root ? " [--root DIR]" : "", c->name,
                     c->summary, c->help);
        if (root)
            std::fprintf(out,
                         "  --root DIR   the storage root (default: as the registry finds it)\n");
        return;
    }
    std::fprintf(out, "usage: registry-admin COMMAND [options] [--root DIR]\n\n"
                      "Maintenance of the registry's storage root and its users.\n\ncommands:\n");
    for (const admin_command &k : kCommands)
        std::fprintf(out, "  %-10s %s\n", k.name, k.summary);
    std::fprintf(out, "\nThe storage root is --root DIR, else REGISTRY_STORAGE_ROOT, else the\n"
                      "\"storage_root\" of config.json (the file REGISTRY_CONFIG names, else\n"
                      "config.json in the working directory), else ./registry_storage.\n"
                      "Settings are read from that config.json too.\n"
                      "registry-admin COMMAND --help tells more.\n"
                      "Exit status: 0 done, 1 failed, 2 bad usage, 3 found a problem.\n");
}
