/*
 * test_support.h - fixtures shared by the unit tests: a private temporary
 * directory, scoped environment variables and a scoped working directory.
 * Tests never use the real working directory or a fixed path.
 */
#ifndef REGISTRY_TEST_SUPPORT_H
#define REGISTRY_TEST_SUPPORT_H

#include <cstdint>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

namespace testsupport
{

namespace fs = std::filesystem;

#ifdef _WIN32
/* Windows has no fork: the child of a death test (EXPECT_EXIT) is this
 * program started again, running the test from its beginning. It must use
 * the parent's directories, not fresh ones, so each TempDir leaves its path
 * in the environment under its nesting depth, where the child finds it. */
inline int tempdir_depth = 0;
inline std::string tempdir_key(int depth)
{
    return "REGISTRY_TEST_TMP_" + std::to_string(depth);
}
#endif

/* A fresh directory under the system's temporary directory, removed with
 * everything in it when the fixture ends. */
class TempDir
{
  public:
    TempDir()
    {
#ifdef _WIN32
        key_ = tempdir_key(tempdir_depth++);
        if (const char *parent = std::getenv(key_.c_str()); parent && *parent) {
            path_ = parent; /* a death test's child: the parent owns it */
            owner_ = false;
            return;
        }
        make();
        _putenv_s(key_.c_str(), path_.string().c_str());
#else
        make();
#endif
    }
    ~TempDir()
    {
#ifdef _WIN32
        --tempdir_depth;
        if (!owner_) return;
        _putenv_s(key_.c_str(), "");
#endif
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const fs::path &path() const
    {
        return path_;
    }
    std::string str() const
    {
        return path_.string();
    }
    std::string sub(const std::string &rel) const
    {
        return (path_ / rel).string();
    }

  private:
    void make()
    {
        std::random_device rd;
        for (int i = 0; i < 100; ++i) {
            fs::path p = fs::temp_directory_path() /
                         ("registry-test-" + std::to_string(rd()) + "-" + std::to_string(i));
            std::error_code ec;
            if (fs::create_directory(p, ec)) {
                path_ = p;
                return;
            }
        }
        std::abort();
    }

    fs::path path_;
#ifdef _WIN32
    std::string key_;
    bool owner_ = true;
#endif
};

/* Skips the running test on Windows, saying why: for cases that need what
 * Windows cannot give, such as paths past its 260-character limit (MAX_PATH),
 * which the Win32 calls refuse. Expands to a gtest statement. */
#ifdef _WIN32
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << (reason)
#else
#define SKIP_ON_WINDOWS(reason) static_cast<void>(reason)
#endif
constexpr char kNeedsLongPaths[] =
    "needs paths past 260 characters, which Windows refuses (the Windows path tests cover that)";

inline void set_env(const char *name, const char *value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

/* Sets (or with nullptr unsets) a variable and restores it at scope end. */
class ScopedEnv
{
  public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name)) old_ = old;
        set_env(name, value);
    }
    ~ScopedEnv() { set_env(name_.c_str(), old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

/* Changes the working directory and restores it at scope end. */
class ScopedCwd
{
  public:
    explicit ScopedCwd(const fs::path &dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCwd()
    {
        std::error_code ec;
        fs::current_path(old_, ec);
    }
    ScopedCwd(const ScopedCwd &) = delete;
    ScopedCwd &operator=(const ScopedCwd &) = delete;

  private:
    fs::path old_;
};

inline void write_text(const fs::path &p, const std::string &text)
{
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

inline std::string read_text(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

/* Runs fn with standard output redirected to a file and returns what it
 * wrote. For code that writes CGI responses with stdio. */
template <class Fn> std::string capture_stdout(const fs::path &file, Fn fn)
{
    int saved = plat_stdout_redirect(file.string().c_str());
    if (saved < 0) return "<redirect failed>";
    fn();
    plat_stdout_restore(saved);
    return read_text(file);
}

/* Another process pruning what it finds empty (a collection sweeping fan-out
 * directories, a delete pruning emptied parents), played by a thread: after
 * each arm() it removes every listed directory once, as soon as that
 * directory exists and is empty. */
class EmptyDirRemover
{
  public:
    explicit EmptyDirRemover(std::vector<fs::path> dirs)
        : dirs_(std::move(dirs)), removed_(dirs_.size()), thread_([this] { run(); })
    {
    }
    ~EmptyDirRemover()
    {
        stop_ = true;
        thread_.join();
    }
    EmptyDirRemover(const EmptyDirRemover &) = delete;
    EmptyDirRemover &operator=(const EmptyDirRemover &) = delete;

    void arm() { round_.fetch_add(1); }

  private:
    void run()
    {
        while (!stop_.load()) {
            const int round = round_.load();
            for (size_t i = 0; i < dirs_.size(); ++i) {
                std::error_code ec;
                /* Only an empty directory is tried, as a pruner does after
                 * emptying it: on Windows an attempt on a full one would
                 * hold it open for deletion, refusing others meanwhile. */
                if (removed_[i] < round && fs::is_empty(dirs_[i], ec) && !ec &&
                    fs::remove(dirs_[i], ec))
                    removed_[i] = round;
            }
#ifdef _WIN32
            /* Windows refuses a removal while another handle lists the
             * directory; a pruner that lists it without pause would make
             * every delete in the test fail, which no real one does. */
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
        }
    }

    std::vector<fs::path> dirs_;
    std::vector<int> removed_; /* the round of each directory's last removal */
    std::atomic<int> round_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/* Standard Base64 with padding: Basic credentials as a client sends them. */
inline std::string base64(const std::string &in)
{
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t g = uint8_t(in[i]) << 16 | uint8_t(in[i + 1]) << 8 | uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6)
            out += a[(g >> s) & 63];
    }
    if (i < in.size()) {
        uint32_t g = uint8_t(in[i]) << 16;
        if (i + 1 < in.size()) g |= uint8_t(in[i + 1]) << 8;
        out += a[(g >> 18) & 63];
        out += a[(g >> 12) & 63];
        out += i + 1 < in.size() ? a[(g >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

} // namespace testsupport

#endif
