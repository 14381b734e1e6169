/*
 * storage_tags.cpp - the tag list of one repository, whole or a page at a
 * time, and the rule that keeps two tags from differing only in case.
 *
 * The tags directory is read in full, so a repository with more tags than
 * one bounded listing holds still lists every one of them.
 */
#include <cstring>
#include <vector>

#include "storage_internal.h"

using namespace storage;

namespace
{

/* {"name":" + the escaped name (6 bytes per byte at most) + ","tags":[ */
constexpr size_t kTagsHeadCap = 32 + 6 * kRepoNameMax;

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool storage::tags_equal_nocase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
    return *a == *b;
}

int storage::tag_case_check(const char *repo, const char *tag)
{
    char link[kPathCap], dir[kPathCap], text[kTagLinkCap];
    if (manifest_tag_path(repo, tag, link) != 0) return 0; /* the write reports it */
    if (!PLAT_NAMES_FOLD_CASE && plat_is_file(link)) return 0;
    dir_listing_full listing;
    if (manifest_tags_dir(repo, dir) != 0 || list_dir_full(dir, &listing) != 0) return 0;
    for (int i = 0; i < listing.count(); ++i) {
        const char *name = listing.name(i);
        if (!listing.is_dir(i) || std::strcmp(name, tag) == 0 || !tags_equal_nocase(name, tag))
            continue;
        /* Only a tag that is stored counts: a directory a delete left
         * behind names nothing. */
        if (manifest_tag_path(repo, name, link) != 0 || read_link(link, text) != 0) continue;
        set_error("invalid tag reference: %s differs only in case from the stored tag %s", tag,
                  name);
        return -1;
    }
    return 0;
}

extern "C" const char *reg_tags_list_json_page(const char *repo_name, int n, const char *last,
                                               int *out_more, char *out_last, size_t out_last_size)
{
    if (out_more) *out_more = 0;
    if (out_last && out_last_size > 0) out_last[0] = '\0';
    if (!repo_name) {
        set_error("repo_name is NULL");
        return nullptr;
    }
    if (!s_ready) {
        set_error("%s", kNotInitialized);
        return nullptr;
    }
    if (!*repo_name || !repo_name_valid(repo_name)) {
        set_error("invalid repository name");
        return nullptr;
    }

    /* A tag counts when its link can be read, whatever it holds. A tags
     * directory that cannot be listed (never tagged) is an empty list. */
    dir_listing_full listing;
    std::vector<char *> names;
    char dir[kPathCap], link[kPathCap], text[kTagLinkCap];
    if (manifest_tags_dir(repo_name, dir) == 0 && list_dir_full(dir, &listing) == 0) {
        try {
            names.reserve(static_cast<size_t>(listing.count()));
        } catch (...) {
            set_error("out of memory");
            return nullptr;
        }
        for (int i = 0; i < listing.count(); ++i) {
            if (!listing.is_dir(i)) continue;
            if (manifest_tag_path(repo_name, listing.name(i), link) != 0) continue;
            if (read_link(link, text) == 0) names.push_back(listing.name(i));
        }
    }
    sort_str(names.data(), static_cast<int>(names.size()));

    char head[kTagsHeadCap];
    size_t pos = 0;
    constexpr char kOpen[] = "{\"name\":\"", kMiddle[] = "\",\"tags\":[";
    std::memcpy(head, kOpen, sizeof kOpen - 1);
    pos += sizeof kOpen - 1;
    pos += json_escape_append(head + pos, sizeof head - pos, repo_name);
    std::memcpy(head + pos, kMiddle, sizeof kMiddle);
    return names_page_json(head, names.data(), static_cast<int>(names.size()), n, last, out_more,
                           out_last, out_last_size);
}

extern "C" const char *reg_tags_list_json(const char *repo_name)
{
    return reg_tags_list_json_page(repo_name, 0, nullptr, nullptr, nullptr, 0);
}
