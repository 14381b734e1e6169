/*
 * storage_walk.cpp - the repository walk and the counters behind the
 * statistics.
 *
 * Cost matters here: the health request walks the whole store. Each
 * directory is enumerated once per walk, the listings are reused level by
 * level instead of allocated per directory, entry types come from the
 * enumeration, and sizes are asked of the open directory only where they
 * are wanted (blobs, uploads). Nothing is capped: every name, every entry,
 * any depth a name can hold.
 */
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "storage_internal.h"

namespace storage
{

namespace
{

/* Work space of one walk level, made on first use and kept for the
 * walk's lifetime: every directory at that depth reuses it, and its
 * listing keeps the room it grew to. The levels form a chain as deep as
 * the tree; names and paths bound it, as each level adds at least two
 * bytes to both (kRepoNameCap, kPathCap). */
struct walk_level {
    dir_listing_full listing; /* the directory walked at this depth */
    char child[kPathCap];     /* the path of its entry being looked at */
    char name[kRepoNameCap];  /* ... and that entry's repository name */
    char probe[kPathCap];
    std::unique_ptr<walk_level> below;

    walk_level *next()
    {
        if (!below) below.reset(new (std::nothrow) walk_level);
        return below.get();
    }
};

struct walk_state {
    /* A heap array of names_cap that doubles as names are added. */
    char **names;
    int count;
    int names_cap;
    unseen_log *unseen; /* gets what was missed, when given */

    void miss(const char *what, const char *name)
    {
        if (unseen) unseen->note("%s: %s", what, name);
    }
};

bool has_manifests_dir(const dir_listing_full &l)
{
    for (int i = 0; i < l.count(); ++i)
        if (l.is_dir(i) && std::strcmp(l.name(i), kManifestsDir) == 0) return true;
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

void add_name(walk_state &st, const char *name)
{
    if (st.count == st.names_cap) {
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
 * from the child's own listing when it was listed, else by a probe. */
bool is_repository(walk_level *lvl, const dir_listing_full *child_listing)
{
    if (child_listing) return has_manifests_dir(*child_listing);
    return path_join(lvl->probe, lvl->child, kManifestsDir) == 0 && plat_is_dir(lvl->probe);
}

/* Walks dir, whose listing is already in here->listing. dir and prefix
 * live in the level above (or with the caller) and stay put meanwhile. */
void walk(walk_state &st, walk_level *here, const char *dir, const char *prefix)
{
    const dir_listing_full &l = here->listing;
    for (int i = 0; i < l.count(); ++i) {
        const char *entry = l.name(i);
        if (!l.is_dir(i) || std::strcmp(entry, kManifestsDir) == 0) continue;
        /* A cut path or name would name something else: skip the entry. */
        if (path_join(here->child, dir, entry) != 0 || !form_name(here->name, prefix, entry)) {
            st.miss("name too long below", *prefix ? prefix : "repositories");
            continue;
        }

        /* The child is listed once, both to find its "_manifests" and to
         * walk it. */
        walk_level *next = here->next();
        const dir_listing_full *child = nullptr;
        if (next && list_dir_full(here->child, &next->listing) == 0) child = &next->listing;
        if (st.unseen && !child && plat_is_dir(here->child))
            st.miss(next ? "directory cannot be listed" : "out of memory below", here->name);

        if (is_repository(here, child)) add_name(st, here->name);
        if (child && child->count() > 0) walk(st, next, here->child, here->name);
    }
}

/* Lists dir as the top level and walks it. An unlistable top counts as
 * an empty tree, but is noted unless dir is simply absent. */
void walk_from(walk_state &st, const char *dir)
{
    walk_level top;
    if (list_dir_full(dir, &top.listing) != 0) {
        if (plat_is_dir(dir)) st.miss("directory cannot be listed", dir);
        return;
    }
    if (top.listing.count() > 0) walk(st, &top, dir, "");
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

int repo_list::collect(unseen_log *unseen)
{
    release();
    constexpr int kFirstCap = 256; /* names before the array first doubles */
    walk_state st{nullptr, 0, kFirstCap, unseen};
    st.names = static_cast<char **>(std::malloc(kFirstCap * sizeof(char *)));
    if (!st.names) return -1;
    char dir[kPathCap];
    if (repositories_dir(dir) == 0)
        walk_from(st, dir);
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
    dir_listing_full listing; /* reused: one allocation for every repository */
    char dir[kPathCap], link[kPathCap], text[kTagLinkCap];
    int tags = 0;
    for (int r = 0; r < count; ++r) {
        if (manifest_tags_dir(names[r], dir) != 0 || list_dir_full(dir, &listing) != 0) continue;
        for (int i = 0; i < listing.count(); ++i) {
            /* A link is not followed, so it is no tag. */
            if (!listing.is_dir(i)) continue;
            if (manifest_tag_path(names[r], listing.name(i), link) != 0) continue;
            /* Whatever the link holds: an empty one still counts. */
            if (read_file(link, text, sizeof text, nullptr) == 0) ++tags;
        }
    }
    return tags;
}

int64_t count_blobs(int *out_count)
{
    int blobs = 0;
    int64_t bytes = 0;
    dir_listing_full top;
    char dir[kPathCap], sub[kPathCap];
    for (digest_algorithm algorithm : kAlgorithms) {
        if (blob_algorithm_dir(algorithm, dir) != 0 || list_dir_full(dir, &top) != 0) continue;
        for (int i = 0; i < top.count(); ++i) {
            /* Files lying directly in blobs/ALG are no blobs. */
            if (top.is_dir(i) && path_join(sub, dir, top.name(i)) == 0)
                sum_dir_files(sub, &blobs, &bytes);
        }
    }
    if (out_count) *out_count = blobs;
    return bytes;
}

int count_uploads(int64_t *out_bytes)
{
    int uploads = 0;
    int64_t bytes = 0;
    char dir[kPathCap];
    if (uploads_dir(dir) == 0) sum_dir_files(dir, &uploads, &bytes);
    if (out_bytes) *out_bytes = bytes;
    return uploads;
}

} // namespace storage
