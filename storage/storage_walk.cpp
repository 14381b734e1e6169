/*
 * storage_walk.cpp - the repository walk and the counters behind the
 * statistics.
 *
 * Cost matters here: the health request walks the whole store. Each
 * directory is enumerated once per walk, the listings are reused level by
 * level instead of allocated per directory, entry types come from the
 * enumeration, and only files whose size is wanted are stat'ed.
 */
#include <cstdlib>
#include <cstring>
#include <new>

#include "storage_internal.h"

namespace storage
{

namespace
{

/* Work space of one walk level, allocated on first use and kept for the
 * walk's lifetime: every directory at that depth reuses it. */
struct walk_level {
    std::unique_ptr<dir_listing> listing;
    char child[kPathCap];
    char name[kRepoNameCap];
    char probe[kPathCap];
};

struct walk_state {
    char **names;
    int *count;
    /* levels[d] holds the listing of the directory walked at depth d and
     * the paths of its children; the children of the deepest level are
     * probed, never listed. */
    std::unique_ptr<walk_level> levels[kMaxRepoDepth + 1];

    walk_level *level(int depth)
    {
        auto &l = levels[depth];
        if (!l) {
            l.reset(new (std::nothrow) walk_level);
            if (l) {
                l->listing = new_dir_listing();
                if (!l->listing) l.reset();
            }
        }
        return l.get();
    }
    bool full() const { return *count >= kMaxRepos; }
};

bool has_manifests_dir(const dir_listing &l)
{
    for (int i = 0; i < l.count; ++i)
        if (l.entries[i].is_dir && std::strcmp(l.entries[i].name, kManifestsDir) == 0) return true;
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
    /* A name without its text is never counted: a failed copy is skipped. */
    char *copy = static_cast<char *>(std::malloc(std::strlen(name) + 1));
    if (!copy) return;
    std::strcpy(copy, name);
    st.names[(*st.count)++] = copy;
}

/* The child named in lvl->child holds a "_manifests" directory. Answered
 * from the child's own listing when that is complete, else by a probe. */
bool is_repository(walk_level *lvl, const dir_listing *child_listing)
{
    if (child_listing) {
        if (has_manifests_dir(*child_listing)) return true;
        if (child_listing->count < kDirMaxEntries) return false;
    }
    return path_join(lvl->probe, lvl->child, kManifestsDir) == 0 && plat_is_dir(lvl->probe);
}

/* Walks dir, whose listing is already in levels[depth]. dir and prefix
 * live in the level above (or with the caller) and stay put meanwhile. */
void walk(walk_state &st, const char *dir, const char *prefix, int depth)
{
    walk_level *here = st.levels[depth].get();
    const dir_listing &l = *here->listing;
    for (int i = 0; i < l.count && !st.full(); ++i) {
        const dir_entry &e = l.entries[i];
        if (!e.is_dir || std::strcmp(e.name, kManifestsDir) == 0) continue;
        /* A cut path or name would name something else: skip the entry. */
        if (path_join(here->child, dir, e.name) != 0) continue;
        if (!form_name(here->name, prefix, e.name)) continue;

        /* The child is listed once, both to find its "_manifests" and to
         * walk it; the deepest level is only probed. */
        walk_level *next = depth < kMaxRepoDepth ? st.level(depth + 1) : nullptr;
        const dir_listing *child = nullptr;
        if (next && list_dir(here->child, next->listing.get()) == 0) child = next->listing.get();

        if (is_repository(here, child)) add_name(st, here->name);
        if (child && child->count > 0 && !st.full()) walk(st, here->child, here->name, depth + 1);
    }
}

} // namespace

void collect_repos_recursive(const char *dir, const char *prefix, char **names, int *count,
                             int depth)
{
    if (!dir || !prefix || !names || !count || depth < 0 || depth > kMaxRepoDepth) return;
    walk_state st{names, count, {}};
    walk_level *top = st.level(depth);
    if (!top || list_dir(dir, top->listing.get()) != 0 || top->listing->count == 0) return;
    walk(st, dir, prefix, depth);
}

repo_list::~repo_list()
{
    if (!names_) return;
    for (int i = 0; i < count_; ++i)
        std::free(names_[i]);
    std::free(names_);
}

int repo_list::collect()
{
    if (names_) {
        for (int i = 0; i < count_; ++i)
            std::free(names_[i]);
        count_ = 0;
    } else {
        names_ = static_cast<char **>(std::calloc(kMaxRepos, sizeof(char *)));
        if (!names_) return -1;
    }
    char dir[kPathCap];
    if (repositories_dir(dir) == 0) collect_repos_recursive(dir, "", names_, &count_, 0);
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
    if (top && fan && blobs_dir(dir) == 0 && list_dir(dir, top.get()) == 0) {
        for (int i = 0; i < top->count; ++i) {
            /* Files lying directly in blobs/sha256 are no blobs. */
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
