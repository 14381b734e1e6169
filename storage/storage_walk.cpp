/*
 * storage_walk.cpp - the repository walk and the counters behind the
 * statistics.
 *
 * Cost matters here: the health request walks the whole store. Each
 * directory is enumerated once per walk, the listings are reused level by
 * level instead of allocated per directory, entry types come from the
 * enumeration, and only files whose size is wanted are stat'ed.
 */
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "storage_internal.h"

namespace storage
{

namespace
{

/* The walk reads directories through one of two listings: the capped one
 * (kDirMaxEntries entries, kMaxRepos names: catalog and statistics) or the
 * full one (everything: garbage collection). These overloads are the only
 * place the two differ in how a directory is read. */
int read_dir(const char *dir, dir_listing &l) { return list_dir(dir, &l); }
int read_dir(const char *dir, dir_listing_full &l) { return list_dir_full(dir, &l); }
int entries(const dir_listing &l) { return l.count; }
int entries(const dir_listing_full &l) { return l.count(); }
const char *entry_name(const dir_listing &l, int i) { return l.entries[i].name; }
const char *entry_name(const dir_listing_full &l, int i) { return l.name(i); }
bool entry_is_dir(const dir_listing &l, int i) { return l.entries[i].is_dir != 0; }
bool entry_is_dir(const dir_listing_full &l, int i) { return l.is_dir(i) != 0; }
/* A capped listing that came back full may have left entries unread. */
bool complete(const dir_listing &l) { return l.count < kDirMaxEntries; }
bool complete(const dir_listing_full &) { return true; }
std::unique_ptr<dir_listing> new_listing(dir_listing *) { return new_dir_listing(); }
std::unique_ptr<dir_listing_full> new_listing(dir_listing_full *)
{
    return std::unique_ptr<dir_listing_full>(new (std::nothrow) dir_listing_full);
}

/* Work space of one walk level, allocated on first use and kept for the
 * walk's lifetime: every directory at that depth reuses it. */
template <class Listing> struct walk_level {
    std::unique_ptr<Listing> listing;
    char child[kPathCap];
    char name[kRepoNameCap];
    char probe[kPathCap];
};

template <class Listing> struct walk_state {
    char **names;
    int count;
    /* Capped walk: the caller's array of kMaxRepos. Full walk: a heap
     * array that grows (capacity names_cap) and unseen gets what was
     * missed. */
    int names_cap;
    bool grows;
    unseen_log *unseen;
    /* levels[d] holds the listing of the directory walked at depth d and
     * the paths of its children; the children of the deepest level are
     * probed, never listed. */
    std::unique_ptr<walk_level<Listing>> levels[kMaxRepoDepth + 1];

    walk_level<Listing> *level(int depth)
    {
        auto &l = levels[depth];
        if (!l) {
            l.reset(new (std::nothrow) walk_level<Listing>);
            if (l) {
                l->listing = new_listing(static_cast<Listing *>(nullptr));
                if (!l->listing) l.reset();
            }
        }
        return l.get();
    }
    bool full() const { return !grows && count >= names_cap; }
    void miss(const char *what, const char *name)
    {
        if (unseen) unseen->note("%s: %s", what, name);
    }
};

template <class Listing> bool has_manifests_dir(const Listing &l)
{
    for (int i = 0; i < entries(l); ++i)
        if (entry_is_dir(l, i) && std::strcmp(entry_name(l, i), kManifestsDir) == 0) return true;
    return false;
}

/* Forms prefix/entry (or entry alone) in out; false when it would be cut. */
bool form_name(char *out, const char *prefix, const char *entry)
{
    size_t p = std::strlen(prefix), e = std::strlen(entry);
    size_t need = (p ? p + 1 : 0) + e;
    if (need > kRepoNameCap - 1) return false;
    if (p) {
        std::memcpy(out, prefix, p);
        out[p] = '/';
        std::memcpy(out + p + 1, entry, e + 1);
    } else {
        std::memcpy(out, entry, e + 1);
    }
    return true;
}

template <class Listing> void add_name(walk_state<Listing> &st, const char *name)
{
    if (st.grows && st.count == st.names_cap) {
        int cap = st.names_cap * 2;
        void *p = st.names_cap <= INT32_MAX / 2
                      ? std::realloc(st.names, static_cast<size_t>(cap) * sizeof(char *))
                      : nullptr;
        if (!p) {
            st.miss("out of memory for repository", name);
            return;
        }
        st.names = static_cast<char **>(p);
        st.names_cap = cap;
    }
    /* A name without its text is never counted: a failed copy is skipped. */
    char *copy = static_cast<char *>(std::malloc(std::strlen(name) + 1));
    if (!copy) {
        st.miss("out of memory for repository", name);
        return;
    }
    std::strcpy(copy, name);
    st.names[st.count++] = copy;
}

/* The child named in lvl->child holds a "_manifests" directory. Answered
 * from the child's own listing when that is complete, else by a probe. */
template <class Listing>
bool is_repository(walk_level<Listing> *lvl, const Listing *child_listing)
{
    if (child_listing) {
        if (has_manifests_dir(*child_listing)) return true;
        if (complete(*child_listing)) return false;
    }
    return path_join(lvl->probe, lvl->child, kManifestsDir) == 0 && plat_is_dir(lvl->probe);
}

/* Appends sep and part to the text in buf (cap bytes) at len; false, with
 * buf unchanged, when it would be cut. */
bool append_part(char *buf, size_t cap, size_t len, char sep, const char *part)
{
    size_t n = std::strlen(part);
    if (len + 1 + n > cap - 1) return false;
    buf[len] = sep;
    std::memcpy(buf + len + 1, part, n + 1);
    return true;
}

/* Full walk only. The walk lists no deeper than kMaxRepoDepth, so a
 * repository below path (a directory of kMaxRepoDepth + 1 components)
 * would go unseen: searches path's subtree for one and notes it. path
 * (kPathCap) and name (kRepoNameCap) are extended in place and restored;
 * frames hold no path buffers, as the subtree may be deep. */
void find_deeper(walk_state<dir_listing_full> &st, char *path, char *name)
{
    dir_listing_full l;
    if (list_dir_full(path, &l) != 0) {
        if (plat_is_dir(path)) st.miss("directory cannot be listed", name);
        return;
    }
    const size_t path_len = std::strlen(path), name_len = std::strlen(name);
    for (int i = 0; i < l.count(); ++i) {
        if (!l.is_dir(i) || std::strcmp(l.name(i), kManifestsDir) == 0) continue;
        if (!append_part(path, kPathCap, path_len, PLAT_SEP, l.name(i)) ||
            !append_part(name, kRepoNameCap, name_len, '/', l.name(i))) {
            path[path_len] = '\0';
            st.miss("name too long below", name);
            continue;
        }
        const size_t sub_len = path_len + 1 + std::strlen(l.name(i));
        bool repo = append_part(path, kPathCap, sub_len, PLAT_SEP, kManifestsDir) &&
                    plat_is_dir(path);
        path[sub_len] = '\0';
        if (repo)
            st.miss("repository deeper than the walk goes", name);
        else
            find_deeper(st, path, name);
        path[path_len] = '\0';
        name[name_len] = '\0';
    }
}

/* Walks dir, whose listing is already in levels[depth]. dir and prefix
 * live in the level above (or with the caller) and stay put meanwhile. */
template <class Listing>
void walk(walk_state<Listing> &st, const char *dir, const char *prefix, int depth)
{
    walk_level<Listing> *here = st.levels[depth].get();
    const Listing &l = *here->listing;
    for (int i = 0; i < entries(l) && !st.full(); ++i) {
        const char *entry = entry_name(l, i);
        if (!entry_is_dir(l, i) || std::strcmp(entry, kManifestsDir) == 0) continue;
        /* A cut path or name would name something else: skip the entry. */
        if (path_join(here->child, dir, entry) != 0 || !form_name(here->name, prefix, entry)) {
            st.miss("name too long below", *prefix ? prefix : "repositories");
            continue;
        }

        /* The child is listed once, both to find its "_manifests" and to
         * walk it; the deepest level is only probed. */
        walk_level<Listing> *next = depth < kMaxRepoDepth ? st.level(depth + 1) : nullptr;
        const Listing *child = nullptr;
        if (next && read_dir(here->child, *next->listing) == 0) child = next->listing.get();
        if (st.unseen && depth < kMaxRepoDepth && !child && plat_is_dir(here->child))
            st.miss(next ? "directory cannot be listed" : "out of memory below", here->name);

        if (is_repository(here, child)) add_name(st, here->name);
        if (child && entries(*child) > 0 && !st.full()) walk(st, here->child, here->name, depth + 1);
        if constexpr (std::is_same_v<Listing, dir_listing_full>)
            if (depth == kMaxRepoDepth && st.unseen) find_deeper(st, here->child, here->name);
    }
}

/* Lists dir as level depth and walks it. An unlistable top counts as an
 * empty tree, but the full walk notes it unless dir is simply absent. */
template <class Listing> void walk_from(walk_state<Listing> &st, const char *dir,
                                        const char *prefix, int depth)
{
    walk_level<Listing> *top = st.level(depth);
    if (!top) {
        st.miss("out of memory below", dir);
        return;
    }
    if (read_dir(dir, *top->listing) != 0) {
        if (plat_is_dir(dir)) st.miss("directory cannot be listed", dir);
        return;
    }
    if (entries(*top->listing) > 0) walk(st, dir, prefix, depth);
}

} // namespace

void unseen_log::note(const char *format, ...)
{
    if (count++ > 0) return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(first, sizeof first, format, ap);
    va_end(ap);
}

void collect_repos_recursive(const char *dir, const char *prefix, char **names, int *count,
                             int depth)
{
    if (!dir || !prefix || !names || !count || depth < 0 || depth > kMaxRepoDepth) return;
    walk_state<dir_listing> st{names, *count, kMaxRepos, false, nullptr, {}};
    walk_from(st, dir, prefix, depth);
    *count = st.count;
}

void repo_list::release()
{
    if (!names_) return;
    for (int i = 0; i < count_; ++i)
        std::free(names_[i]);
    std::free(names_);
    names_ = nullptr;
    count_ = 0;
}

repo_list::~repo_list()
{
    release();
}

int repo_list::collect()
{
    release();
    names_ = static_cast<char **>(std::calloc(kMaxRepos, sizeof(char *)));
    if (!names_) return -1;
    char dir[kPathCap];
    if (repositories_dir(dir) == 0) collect_repos_recursive(dir, "", names_, &count_, 0);
    return 0;
}

int repo_list::collect_all(unseen_log *unseen)
{
    release();
    constexpr int kFirstCap = 256;
    walk_state<dir_listing_full> st{nullptr, 0, kFirstCap, true, unseen, {}};
    st.names = static_cast<char **>(std::malloc(kFirstCap * sizeof(char *)));
    if (!st.names) return -1;
    char dir[kPathCap];
    if (repositories_dir(dir) == 0)
        walk_from(st, dir, "", 0);
    else if (unseen)
        unseen->note("%s", "storage root too long for the repositories directory");
    names_ = st.names;
    count_ = st.count;
    return 0;
}

void repo_list::sort()
{
    sort_str(names_, count_);
}

int count_repos()
{
    repo_list repos;
    return repos.collect() == 0 ? repos.count() : 0;
}

int count_tags()
{
    repo_list repos;
    if (repos.collect() != 0) return 0;
    return count_tags_of(repos.names(), repos.count());
}

int count_tags_of(char *const *names, int count)
{
    if (!names || count <= 0) return 0;
    auto listing = new_dir_listing();
    if (!listing) return 0;
    char dir[kPathCap], link[kPathCap], text[kTagLinkCap];
    int tags = 0;
    for (int r = 0; r < count; ++r) {
        if (manifest_tags_dir(names[r], dir) != 0 || list_dir(dir, listing.get()) != 0) continue;
        for (int i = 0; i < listing->count; ++i) {
            const dir_entry &e = listing->entries[i];
            /* A link is not followed, so it is no tag. */
            if (!e.is_dir) continue;
            if (manifest_tag_path(names[r], e.name, link) != 0) continue;
            /* Whatever the link holds: an empty one still counts. */
            if (read_file(link, text, sizeof text, nullptr) == 0) ++tags;
        }
    }
    return tags;
}

namespace
{

/* Sums the sizes of the non-directory entries of dir (already listed). */
int64_t sum_files(const char *dir, const dir_listing &l, int *files)
{
    char path[kPathCap];
    int64_t bytes = 0;
    for (int i = 0; i < l.count; ++i) {
        if (l.entries[i].is_dir) continue;
        ++*files;
        plat_file_info info;
        if (path_join(path, dir, l.entries[i].name) == 0 && plat_stat(path, &info) == 0 &&
            info.size > 0)
            bytes += info.size;
    }
    return bytes;
}

} // namespace

int64_t count_blobs(int *out_count)
{
    int blobs = 0;
    int64_t bytes = 0;
    auto top = new_dir_listing();
    auto fan = new_dir_listing();
    char dir[kPathCap], sub[kPathCap];
    for (digest_algorithm algorithm : kAlgorithms) {
        if (!top || !fan || blob_algorithm_dir(algorithm, dir) != 0 ||
            list_dir(dir, top.get()) != 0)
            continue;
        for (int i = 0; i < top->count; ++i) {
            /* Files lying directly in blobs/ALG are no blobs. */
            if (!top->entries[i].is_dir) continue;
            if (path_join(sub, dir, top->entries[i].name) != 0) continue;
            if (list_dir(sub, fan.get()) != 0) continue;
            bytes += sum_files(sub, *fan, &blobs);
        }
    }
    if (out_count) *out_count = blobs;
    return bytes;
}

int count_uploads(int64_t *out_bytes)
{
    int uploads = 0;
    int64_t bytes = 0;
    auto l = new_dir_listing();
    char dir[kPathCap];
    if (l && uploads_dir(dir) == 0 && list_dir(dir, l.get()) == 0)
        bytes = sum_files(dir, *l, &uploads);
    if (out_bytes) *out_bytes = bytes;
    return uploads;
}

} // namespace storage
