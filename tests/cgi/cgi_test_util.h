/*
 * cgi_test_util.h - what the gateway tests share: a request fixture with
 * a clean CGI environment in a private working directory, and a runner for
 * code that must live in its own process.
 */
#ifndef REGISTRY_CGI_TEST_UTIL_H
#define REGISTRY_CGI_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_support.h"

namespace cgitest
{

using namespace testsupport;

/* Runs fn in a forked child that then leaves through exit(0), so the exit
 * hooks (the access log's line) run as in a real request. The child's
 * module state is a copy of the parent's: the parent itself must never
 * touch the access log, or every child would start initialised. */
template <class Fn> void run_in_child(Fn fn)
{
    EXPECT_EXIT(
        {
            fn();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

/* A request with no CGI variables set, run from a private directory. */
class CgiRequest : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    ScopedEnv env_root{"REGISTRY_STORAGE_ROOT", nullptr};
    ScopedEnv env_method{"REQUEST_METHOD", nullptr};
    ScopedEnv env_path{"PATH_INFO", nullptr};
    ScopedEnv env_query{"QUERY_STRING", nullptr};
    ScopedEnv env_length{"CONTENT_LENGTH", nullptr};
    ScopedEnv env_spool{"POST_BODY_FILE", nullptr};

    /* Where a child's standard output goes, for the parent to read. */
    std::string out_file() const { return tmp.sub("stdout.txt"); }
    std::string output() const { return read_text(out_file()); }
    /* A child's findings, written for the parent to compare. */
    std::string result_file() const { return tmp.sub("result.txt"); }
    std::string result() const { return read_text(result_file()); }
};

/* A request whose storage root (and so its access log) is the default one
 * in the private directory. */
class CgiRequestWithStore : public CgiRequest
{
  protected:
    void SetUp() override { std::filesystem::create_directory(root()); }
    std::filesystem::path root() const { return tmp.path() / "registry_storage"; }
    /* The access log's method, path, bytes, status and actor. */
    std::string log_head() const
    {
        const std::string line = read_text(root() / "registry_access.log");
        size_t end = 0;
        for (int field = 0; field < 5 && end != std::string::npos; ++field)
            end = line.find(' ', end + 1);
        return line.substr(0, end);
    }
};

} // namespace cgitest

#endif
