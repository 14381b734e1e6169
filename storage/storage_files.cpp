/*
 * storage_files.cpp - file and directory utilities shared by every part of
 * the engine. They report failure by their result only; the public
 * operations turn that into a message.
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "storage_internal.h"

namespace storage
{

namespace
{

long s_place_retries;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(plat_dir *d) const { plat_dir_close(d); }
};
using dir_ptr = std::unique_ptr<plat_dir, dir_closer>;

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};

bool is_dot_or_dotdot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

/* A backslash is an ordinary file-name byte on POSIX, so only Windows
 * splits at it. */
constexpr bool is_sep(char c)
{
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

/* Where mkdirs starts looking for separators: never at a leading separator
 * (the root directory) nor inside a drive prefix. */
size_t mkdirs_scan_start(const char *path, size_t len)
{
#ifdef _WIN32
    bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    if (letter && len >= 2 && path[1] == ':')
        return (len > 3 && (path[2] == '\\' || path[2] == '/')) ? 3 : 2;
#else
    (void)path;
    (void)len;
#endif
    return 1;
}

} // namespace

int write_file(const char *path, const void *data, size_t len)
{
    file_ptr f(std::fopen(path, "wb"));
    if (!f) return -1;
    if (len > 0 && std::fwrite(data, 1, len, f.get()) != len) return -1;
    if (std::ferror(f.get())) return -1;
    /* fclose flushes: a failure there is a failed write too. */
    return std::fclose(f.release()) == 0 ? 0 : -1;
}

int read_file(const char *path, char *buf, size_t size, size_t *out_len)
{
    if (!buf || size == 0) return -1;
    file_ptr f(std::fopen(path, "rb"));
    if (!f) return -1;
    /* Read straight into buf: no stdio buffer to allocate and copy from. */
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    size_t n = std::fread(buf, 1, size - 1, f.get());
    if (std::ferror(f.get())) return -1;
    buf[n] = '\0';
    if (out_len) *out_len = n;
    return 0;
}

char *read_file_alloc(const char *path, size_t *out_len)
{
    plat_file_info info;
    if (plat_stat(path, &info) != 0 || info.is_dir) return nullptr;
    if (info.size < 0 || info.size > kReadAllocMax) return nullptr;
    size_t size = static_cast<size_t>(info.size);
    std::unique_ptr<char, free_deleter> buf(static_cast<char *>(std::malloc(size + 1)));
    if (!buf) return nullptr;
    size_t n = 0;
    if (read_file(path, buf.get(), size + 1, &n) != 0) return nullptr;
    if (out_len) *out_len = n;
    return buf.release();
}

int mkdirs(const char *path, bool *vanished)
{
    if (vanished) *vanished = false;
    size_t len = path ? std::strlen(path) : 0;
    if (len == 0 || len > kPathCap - 1) return -1;
    /* Nearly always the directory stands already: one look, not a mkdir
     * per component (every request brings the layout up). */
    if (plat_dir_exists(path)) return 0;
    char prefix[kPathCap];
    std::memcpy(prefix, path, len + 1);

    /* The reason is taken right after the mkdir: the look that follows
     * would fail for want of the name whatever the mkdir failed for. */
    auto failed = [&](const char *dir, bool mkdir_failed) {
        const bool gone = plat_error_vanished() != 0;
        const int why = plat_last_failure();
        if (plat_dir_exists(dir)) return false;
        if (vanished) *vanished = gone;
        /* A vanished parent is mended by the caller's retry; a full or
         * read-only store is what the client must be told. */
        if (mkdir_failed && !gone) note_failure(why);
        return true;
    };
    for (size_t i = mkdirs_scan_start(path, len); i < len; ++i) {
        if (!is_sep(path[i])) continue;
        prefix[i] = '\0';
        /* An existing name is left to the last step: a file here makes
         * every deeper mkdir fail, and the final test catches it. */
        if (plat_mkdir(prefix) < 0 && failed(prefix, true)) return -1;
        prefix[i] = path[i];
    }
    const int made = plat_mkdir(path);
    if (made == PLAT_MKDIR_CREATED) return 0;
    /* Existing or not creatable: fine only when a directory stands there
     * (a link to one included, as a storage root often is). */
    return failed(path, made < 0) ? -1 : 0;
}

void note_place_retry()
{
    ++s_place_retries;
}

void set_place_gave_up(const char *dir)
{
    set_error("%s kept vanishing: gave up after %d attempts", dir, kPlaceAttempts);
}

namespace
{

/* The one directory enumeration behind the listing and the file sums:
 * hands every entry but "." and ".." to take(d, name, is_dir) until it
 * returns false. */
template <class Take> int enumerate_dir(const char *dir, Take &&take)
{
    if (!dir || std::strlen(dir) > kPathCap - 1) return -1;
    dir_ptr d(plat_dir_open(dir));
    if (!d) return -1;
    const char *name;
    int is_dir;
    while (plat_dir_next(d.get(), &name, &is_dir)) {
        if (is_dot_or_dotdot(name)) continue;
        if (!take(d.get(), name, is_dir ? 1 : 0)) break;
    }
    return 0;
}

} // namespace

int list_dir_full(const char *dir, dir_listing_full *listing)
{
    listing->clear();
    bool no_memory = false;
    int rc = enumerate_dir(dir, [&](plat_dir *, const char *name, int is_dir) {
        if (listing->add(name, is_dir) == 0) return true;
        no_memory = true;
        return false;
    });
    if (rc == 0 && !no_memory) return 0;
    listing->clear();
    return -1;
}

int sum_dir_files(const char *dir, int *files, int64_t *bytes)
{
    return enumerate_dir(dir, [&](plat_dir *d, const char *, int is_dir) {
        if (is_dir) return true;
        ++*files;
        plat_file_info info;
        if (plat_dir_entry_info(d, &info) == 0 && info.size > 0) *bytes += info.size;
        return true;
    });
}

void dir_listing_full::clear()
{
    text_len_ = 0;
    count_ = 0;
}

/* Doubles the two arrays as needed; a failed growth leaves them intact. */
int dir_listing_full::add(const char *name, int is_dir)
{
    size_t len = std::strlen(name) + 1;
    if (text_len_ + len > text_cap_) {
        size_t cap = std::max(text_cap_ * 2, text_len_ + len + 4096);
        char *grown = static_cast<char *>(std::realloc(text_.get(), cap));
        if (!grown) return -1;
        text_.release();
        text_.reset(grown);
        text_cap_ = cap;
    }
    if (count_ == entry_cap_) {
        int cap = entry_cap_ ? entry_cap_ * 2 : 64;
        auto *grown = static_cast<entry *>(std::realloc(entries_.get(), cap * sizeof(entry)));
        if (!grown) return -1;
        entries_.release();
        entries_.reset(grown);
        entry_cap_ = cap;
    }
    std::memcpy(text_.get() + text_len_, name, len);
    entries_.get()[count_++] = entry{text_len_, is_dir};
    text_len_ += len;
    return 0;
}

int write_file_atomic(const char *path, const void *data, size_t len)
{
    /* Unique per process and per call, so concurrent writers of the same
     * file never share a temporary. */
    static unsigned long s_counter;
    char tmp[kPathCap];
    int n = std::snprintf(tmp, sizeof tmp, "%s.tmp-%ld-%lu", path, plat_pid(), ++s_counter);
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) return -1;
    if (write_file(tmp, data, len) == 0 && plat_rename_replace(tmp, path) == 0) return 0;
    note_failure(plat_last_failure()); /* not what removing the temporary says */
    plat_remove(tmp);
    return -1;
}

int read_link(const char *path, char *text)
{
    return read_file(path, text, kTagLinkCap, nullptr);
}

int link_names_digest(const char *text, const char *digest)
{
    return std::strncmp(text, digest, std::strlen(digest)) == 0;
}

namespace
{

bool still_there(const char *path)
{
    plat_file_info info;
    return plat_stat(path, &info) == 0;
}

} // namespace

int delete_tree(const char *path)
{
    int rc = 0;
    bool opened = false;
    {
        dir_ptr d(plat_dir_open(path));
        opened = d != nullptr;
        /* On the heap: a deep tree must not exhaust the stack. */
        std::unique_ptr<char[]> buf(d ? new (std::nothrow) char[kPathCap] : nullptr);
        char *child = buf.get();
        const char *name;
        int is_dir;
        if (d && !child) rc = -1;
        while (child && plat_dir_next(d.get(), &name, &is_dir)) {
            if (is_dot_or_dotdot(name)) continue;
            if (path_join(child, path, name) != 0) {
                rc = -1; /* cannot be named, so cannot be removed */
                continue;
            }
            /* Another delete (of the same tag, the same repository) may
             * have removed it first: gone is what was asked for. */
            if ((is_dir ? delete_tree(child) : plat_remove(child)) != 0 && still_there(child))
                rc = -1;
        }
    } /* closed before the rmdir, which some platforms require */
    if (plat_rmdir(path) != 0 && (!opened || still_there(path))) rc = -1;
    return rc;
}

void sort_str(char **names, int count)
{
    /* Equal names are identical texts, so an unstable sort gives the same
     * result as a stable one, in O(n log n). */
    if (count < 2) return;
    std::sort(names, names + count,
              [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
}

} // namespace storage

extern "C" long reg_storage_dir_retries(void)
{
    return storage::s_place_retries;
}
