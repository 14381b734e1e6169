/*
 * fuzz_support.h - what the fuzz targets share: a hard check that aborts
 * (so libFuzzer records the input as a crash), the input as a C string in a
 * heap block of exactly its size (so AddressSanitizer sees any read past
 * its NUL), the split of an input into a first line and the rest, a
 * private working directory made once per process, and a JSON check.
 *
 * The targets are built with clang and libFuzzer only, on POSIX systems.
 */
#ifndef REGISTRY_FUZZ_SUPPORT_H
#define REGISTRY_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include <yyjson.h>

#include "sha256.h"

/* A property every input must keep; a failure is a crash with its reason. */
#define FUZZ_CHECK(cond)                                                                          \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);        \
            abort();                                                                              \
        }                                                                                         \
    } while (0)

namespace fuzz
{

namespace fs = std::filesystem;

/* Bytes up to the first NUL (or all of them) as a NUL-terminated text in a
 * heap block of exactly that length plus one. */
class text
{
  public:
    explicit text(std::string_view bytes)
    {
        const size_t n = bytes.empty() ? 0 : strnlen(bytes.data(), bytes.size());
        len_ = n;
        buf_.reset(static_cast<char *>(malloc(n + 1)));
        FUZZ_CHECK(buf_ != nullptr);
        if (n) memcpy(buf_.get(), bytes.data(), n);
        buf_.get()[n] = '\0';
    }
    const char *c_str() const { return buf_.get(); }
    size_t size() const { return len_; }
    std::string_view view() const { return {buf_.get(), len_}; }

  private:
    struct free_deleter {
        void operator()(char *p) const { free(p); }
    };
    std::unique_ptr<char, free_deleter> buf_;
    size_t len_ = 0;
};

/* A heap buffer of exactly cap bytes, each set to fill: a write past its end
 * is an AddressSanitizer report, and "untouched" can be checked. */
class buffer
{
  public:
    explicit buffer(size_t cap, char fill = '\x5a') : cap_(cap), data_(new char[cap])
    {
        memset(data_.get(), fill, cap);
    }
    char *get() const { return data_.get(); }
    size_t cap() const { return cap_; }
    /* A NUL lies within the buffer. */
    bool terminated() const { return memchr(data_.get(), '\0', cap_) != nullptr; }
    bool all(char fill) const
    {
        for (size_t i = 0; i < cap_; ++i)
            if (data_.get()[i] != fill) return false;
        return true;
    }

  private:
    size_t cap_;
    std::unique_ptr<char[]> data_;
};

/* The input split at its first line feed: the line (without it) and the
 * rest. No line feed: the line is empty and the rest is everything. */
struct split {
    std::string_view line;
    std::string_view rest;
    bool had_line = false;
};
inline split first_line(const uint8_t *data, size_t size)
{
    std::string_view all(reinterpret_cast<const char *>(data), size);
    const size_t nl = all.find('\n');
    if (nl == std::string_view::npos) return {std::string_view(), all, false};
    return {all.substr(0, nl), all.substr(nl + 1), true};
}

/* A private directory under the system's temporary directory, made on the
 * first call and removed when the process exits normally. */
inline const fs::path &work_dir()
{
    /* On the heap and never freed: the exit handler still needs it after
     * the static objects are gone. */
    static const fs::path *dir = [] {
        std::string pattern = (fs::temp_directory_path() / "registry-fuzz-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        auto *made = new fs::path(pattern);
        atexit([] {
            std::error_code ec;
            fs::current_path(fs::temp_directory_path(), ec);
            fs::remove_all(work_dir(), ec);
        });
        return made;
    }();
    return *dir;
}

/* Makes work_dir() the working directory, once per process: the readers of
 * config.json look for it there. */
inline void enter_work_dir()
{
    static bool done = [] {
        fs::current_path(work_dir());
        return true;
    }();
    (void)done;
}

/* Sets the environment variable name to value. glibc's setenv keeps every
 * value it was ever given, so a million inputs would grow the process
 * without bound: the "NAME=VALUE" text is handed over with putenv instead
 * and the one it replaces is freed. */
inline void set_env(const char *name, const char *value)
{
    static std::string *current[8];
    static const char *names[8];
    int slot = 0;
    while (slot < 8 && names[slot] && strcmp(names[slot], name) != 0)
        ++slot;
    FUZZ_CHECK(slot < 8);
    names[slot] = name;
    auto *next = new std::string(std::string(name) + "=" + value);
    FUZZ_CHECK(putenv(next->data()) == 0);
    delete current[slot];
    current[slot] = next;
}

/* Writes bytes to path, replacing it. */
inline void write_file(const fs::path &path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    FUZZ_CHECK(out.good());
}

struct doc_free {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_free>;

/* The text parsed as strict JSON; null when it is not. */
inline doc_ptr parse_json(const char *s, size_t len)
{
    return doc_ptr(yyjson_read_opts(const_cast<char *>(s), len, 0, nullptr, nullptr));
}

/* The 64 lower-case hex digits of the SHA-256 of bytes. */
inline std::string sha256_hex(std::string_view bytes)
{
    sha256_ctx ctx;
    uint8_t d[32];
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    sha256_final(&ctx, d);
    static const char hx[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d) {
        s += hx[b >> 4];
        s += hx[b & 15];
    }
    return s;
}

/* A digest the registry keeps, read plainly: sha256 with 64 or sha512
 * with 128 lower-case hex digits. */
inline bool plain_digest(std::string_view s)
{
    const size_t colon = s.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view algorithm = s.substr(0, colon), hex = s.substr(colon + 1);
    const size_t want = algorithm == "sha256" ? 64 : algorithm == "sha512" ? 128 : 0;
    if (want == 0 || hex.size() != want) return false;
    for (char c : hex)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

/* The protocol's general digest form with another algorithm, read plainly:
 * components of [a-z0-9] joined by single [+._-], ':', then [a-zA-Z0-9=_-]. */
inline bool plain_other_digest(std::string_view s)
{
    const size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == s.size()) return false;
    const std::string_view algorithm = s.substr(0, colon), encoded = s.substr(colon + 1);
    if (algorithm == "sha256" || algorithm == "sha512") return false;
    auto component = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    bool after_separator = true;
    for (char c : algorithm) {
        if (component(c)) {
            after_separator = false;
        } else if (!after_separator && (c == '+' || c == '.' || c == '_' || c == '-')) {
            after_separator = true;
        } else {
            return false;
        }
    }
    if (after_separator) return false;
    for (char c : encoded)
        if (!(component(c) || (c >= 'A' && c <= 'Z') || c == '=' || c == '_' || c == '-'))
            return false;
    return true;
}

} // namespace fuzz

#endif
