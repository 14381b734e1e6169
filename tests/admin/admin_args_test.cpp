/*
 * admin_args_test.cpp - the command line: what each form sets, and the
 * reason given for each refusal.
 */
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "admin.h"

namespace
{

struct Parsed {
    int rc;
    admin_opts opts;
    std::string err;
};

Parsed parse(std::initializer_list<const char *> args)
{
    std::vector<char *> argv{const_cast<char *>("registry-admin")};
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    Parsed p{};
    char err[ADMIN_ERROR_CAP];
    p.rc = admin_parse_args(static_cast<int>(argv.size()), argv.data(), &p.opts, err, sizeof err);
    p.err = err;
    return p;
}

TEST(AdminArgs, WhatEachFormSets)
{
    Parsed p = parse({"--root", "/srv/r", "retention", "--keep=3", "--days", "14",
                      "--no-protect-latest", "--dry-run", "--json"});
    ASSERT_EQ(p.rc, ADMIN_OK) << p.err;
    EXPECT_STREQ(p.opts.command->name, "retention");
    EXPECT_STREQ(p.opts.root, "/srv/r");
    EXPECT_EQ(p.opts.keep_n, 3);
    EXPECT_EQ(p.opts.days, 14);
    EXPECT_EQ(p.opts.protect_latest, 0);
    EXPECT_EQ(p.opts.dry_run, 1);
    EXPECT_EQ(p.opts.json, 1);

    /* Not given: the configured policy decides. */
    p = parse({"retention"});
    ASSERT_EQ(p.rc, ADMIN_OK);
    EXPECT_EQ(p.opts.keep_n, -1);
    EXPECT_EQ(p.opts.days, -1);
    EXPECT_EQ(p.opts.protect_latest, -1);
    EXPECT_STREQ(p.opts.root, "");
    EXPECT_EQ(parse({"retention", "--protect-latest"}).opts.protect_latest, 1);
    EXPECT_EQ(parse({"retention", "--keep", "2147483647"}).opts.keep_n, 2147483647);

    p = parse({"tags", "library/app", "--root=D:\\registry"});
    ASSERT_EQ(p.rc, ADMIN_OK);
    EXPECT_STREQ(p.opts.name, "library/app");
    EXPECT_STREQ(p.opts.root, "D:\\registry");

    p = parse({"verify", "--quarantine"});
    EXPECT_EQ(p.opts.quarantine, 1);

    p = parse({"user", "add", "alice", "--file", "/etc/registry/users", "--cost", "12",
               "--password-stdin"});
    ASSERT_EQ(p.rc, ADMIN_OK) << p.err;
    EXPECT_STREQ(p.opts.verb->name, "add");
    EXPECT_STREQ(p.opts.name, "alice");
    EXPECT_STREQ(p.opts.file, "/etc/registry/users");
    EXPECT_EQ(p.opts.cost, 12);
    EXPECT_EQ(p.opts.password_stdin, 1);
    p = parse({"--file=u", "user", "list"});
    ASSERT_EQ(p.rc, ADMIN_OK) << p.err;
    EXPECT_STREQ(p.opts.verb->name, "list");
    EXPECT_EQ(p.opts.cost, -1) << "not given: the default";
    EXPECT_EQ(p.opts.password_stdin, 0);
    /* Help wins over anything missing. */
    for (auto args : {std::initializer_list<const char *>{"--help"},
                      {"help"},
                      {"help", "tags"},
                      {"tags", "--help"},
                      {"-h", "gc", "--keep", "1"}}) {
        p = parse(args);
        EXPECT_EQ(p.rc, ADMIN_OK) << p.err;
        EXPECT_EQ(p.opts.help, 1);
    }
}

TEST(AdminArgs, RefusalsSayWhy)
{
    struct Case {
        std::initializer_list<const char *> args;
        const char *err;
    } cases[] = {
        {{}, "no command given"},
        {{"--json"}, "no command given"},
        {{"gc", "gc"}, "unexpected argument \"gc\""},
        {{"destroy"}, "unknown command \"destroy\""},
        {{"gc", "--force"}, "unknown option --force"},
        {{"gc", "--days", "3"}, "gc does not take --days"},
        {{"stats", "--dry-run"}, "stats does not take --dry-run"},
        {{"repos", "--quarantine"}, "repos does not take --quarantine"},
        {{"retention", "--keep"}, "--keep needs a value"},
        {{"retention", "--keep", ""}, "--keep needs a whole number, not \"\""},
        {{"retention", "--keep", "+3"}, "--keep needs a whole number, not \"+3\""},
        {{"retention", "--days", "2147483648"}, "--days needs a whole number, not \"2147483648\""},
        {{"retention", "--json=1"}, "--json takes no value"},
        {{"gc", "--root", ""}, "--root needs a directory (at most 1023 bytes)"},
        {{"tags"}, "tags needs a repository NAME"},
        {{"tags", "a", "b"}, "unexpected argument \"b\""},
        {{"user"}, "user needs an action: add, passwd, remove or list"},
        {{"user", "rename", "a"}, "unknown action \"rename\" of user"},
        {{"user", "passwd"}, "user passwd needs a NAME"},
        {{"user", "list", "--cost", "5"}, "user list does not take --cost"},
        {{"user", "add", "a", "--root", "/r"}, "user add does not take --root"},
        {{"user", "add", "a", "--cost", "3"},
         "--cost needs a whole number from 4 to 31, not \"3\""},
        {{"user", "add", "a", "--file", ""}, "--file needs a path (at most 1023 bytes)"},
        {{"gc", "--file", "u"}, "gc does not take --file"},
    };
    for (const Case &c : cases) {
        Parsed p = parse(c.args);
        EXPECT_EQ(p.rc, ADMIN_USAGE) << c.err;
        EXPECT_EQ(p.err, c.err);
    }
    const std::string long_root(ADMIN_ROOT_CAP, 'r');
    EXPECT_EQ(parse({"gc", "--root", long_root.c_str()}).rc, ADMIN_USAGE);
}

} // namespace
