/* The storage bootstrap: which root it resolves, and that it initialises
 * once per process but retries after a failure. The bootstrap's state is
 * per process, so every case runs in a fresh child. */
#include <gtest/gtest.h>

#include <string>

#include "cgi_test_util.h"
#include "oci_common.h"
#include "reg_storage.h"

namespace
{

using namespace cgitest;

/* A working directory with a config.json the case writes; the storage
 * root a case expects shows as a directory with the layout in it. */
class Bootstrap : public CgiRequest
{
  protected:
    void config(const std::string &text) { write_text(tmp.path() / "config.json", text); }
    /* The settings are read once per process: each child reads them anew. */
    bool has_layout(const fs::path &root) const { return fs::is_directory(root / "repositories"); }
    /* Runs oci_init_storage in a child; its result as text. */
    std::string init_in_child()
    {
        run_in_child([&] { write_text(result_file(), std::to_string(oci_init_storage())); });
        return result();
    }
};

TEST_F(Bootstrap, RootComesFromTheSettings)
{
    struct Case {
        std::string file;
        std::string root; // relative to the working directory
    };
    // 1,023 bytes in components short enough for any file system.
    std::string long_name;
    while (long_name.size() < 1023)
        long_name += std::string(99, 'r') + "/";
    long_name.resize(1023);
    const Case cases[] = {
        {"{\"storage_root\": \"s1\"}", "s1"},
        {"{\"registry_storage_root\": \"r1\"}", "r1"},
        {"{\"registry_storage_root\": \"r2\", \"storage_root\": \"r2\"}", "r2"},
        {"{\"storage_root\" : \"s3\"}", "s3"},
        {"{\"storage_root\": \"" + long_name + "\"}", long_name},
        {"{\"_pad\": \"" + std::string(20000, 'x') + "\", \"storage_root\": \"late\"}", "late"},
        {"{}", "registry_storage"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 100));
        config(c.file);
#ifdef _WIN32
        if (c.root.size() > 200) {
            // Past Windows' 260-character limit: read in full, then refused.
            EXPECT_EQ(init_in_child(), "-1");
            continue;
        }
#endif
        EXPECT_EQ(init_in_child(), "0");
        EXPECT_TRUE(has_layout(tmp.path() / c.root));
        fs::remove_all(tmp.path() / c.root);
    }
}

TEST_F(Bootstrap, EnvironmentReplacesTheFileUnlessEmpty)
{
    config("{\"storage_root\": \"from-file\"}");
    {
        ScopedEnv root("REGISTRY_STORAGE_ROOT", tmp.sub("from-env").c_str());
        EXPECT_EQ(init_in_child(), "0");
        EXPECT_TRUE(has_layout(tmp.path() / "from-env"));
        EXPECT_FALSE(fs::exists(tmp.path() / "from-file"));
    }
    ScopedEnv root("REGISTRY_STORAGE_ROOT", "");
    EXPECT_EQ(init_in_child(), "0");
    EXPECT_TRUE(has_layout(tmp.path() / "from-file"));
}

TEST_F(Bootstrap, SecondCallAfterSuccessDoesNothing)
{
    ScopedEnv root("REGISTRY_STORAGE_ROOT", tmp.sub("first").c_str());
    run_in_child([&] {
        const int first = oci_init_storage();
        // Neither a new root nor a cleanup is noticed once storage is up.
        set_env("REGISTRY_STORAGE_ROOT", tmp.sub("second").c_str());
        reg_storage_cleanup();
        const int second = oci_init_storage();
        write_text(result_file(), std::to_string(first) + " " + std::to_string(second));
    });
    EXPECT_EQ(result(), "0 0");
    EXPECT_TRUE(has_layout(tmp.path() / "first"));
    EXPECT_FALSE(fs::exists(tmp.path() / "second"));
}

TEST_F(Bootstrap, FailureIsReportedAndRetried)
{
    // A file where the root should be: the engine cannot create it.
    write_text(tmp.path() / "blocked", "x");
    ScopedEnv root("REGISTRY_STORAGE_ROOT", tmp.sub("blocked").c_str());
    run_in_child([&] {
        const int first = oci_init_storage();
        const std::string error = reg_storage_last_error();
        set_env("REGISTRY_STORAGE_ROOT", tmp.sub("fixed").c_str());
        const int second = oci_init_storage();
        write_text(result_file(),
                   std::to_string(first) + " " + std::to_string(second) + " " + error);
    });
    EXPECT_EQ(result(), "-1 0 mkdirs failed: " + tmp.sub("blocked"));
    EXPECT_TRUE(has_layout(tmp.path() / "fixed"));
}

TEST_F(Bootstrap, ALongEnvironmentRootIsUsedWholeNeverCut)
{
    SKIP_ON_WINDOWS(kNeedsLongPaths);
    std::string name = tmp.str();
    while (name.size() < 1100)
        name += "/" + std::string(90, 'd');
    ScopedEnv root("REGISTRY_STORAGE_ROOT", name.c_str());
    EXPECT_EQ(init_in_child(), "0");
    EXPECT_TRUE(has_layout(name));
}

} // namespace
