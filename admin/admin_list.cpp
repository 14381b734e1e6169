/*
 * admin_list.cpp - repos and tags: the engine's listings, page by page,
 * printed whole.
 */
#include "admin.h"
#include "admin_json.h"

#include "reg_storage.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr int kPageSize = 500;

int print_name(void *, const char *name)
{
    std::printf("%s\n", name);
    return 0;
}

} // namespace

int admin_each_name(const char *repo, admin_name_fn fn, void *ctx)
{
    /* A page is parsed and its names copied before fn runs: fn may call
     * the engine, whose next document replaces the page. */
    char last[ADMIN_NAME_CAP] = "", next[ADMIN_NAME_CAP] = "";
    std::vector<std::string> names;
    for (;;) {
        int more = 0;
        const char *page =
            repo ? reg_tags_list_json_page(repo, kPageSize, last, &more, next, sizeof next)
                 : reg_catalog_json_page(kPageSize, last, &more, next, sizeof next);
        if (!page) return -1;
        admin_doc doc = admin_json_parse(page);
        yyjson_val *list = yyjson_obj_get(admin_json_root(doc), repo ? "tags" : "repositories");
        names.clear();
        size_t i, n;
        yyjson_val *v;
        yyjson_arr_foreach(list, i, n, v)
        {
            if (const char *s = yyjson_get_str(v)) names.emplace_back(s);
        }
        for (const std::string &s : names)
            if (fn(ctx, s.c_str()) != 0) return 0;
        /* An empty page that claims more would never end. */
        if (!more || names.empty()) return 0;
        std::memcpy(last, next, sizeof last);
    }
}

int admin_cmd_repos(const admin_opts *opts)
{
    if (admin_each_name(nullptr, print_name, nullptr) != 0) {
        admin_error(opts, admin_root(), "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    return ADMIN_OK;
}

int admin_cmd_tags(const admin_opts *opts)
{
    if (reg_repo_exists(opts->name) != 1) {
        admin_error(opts, opts->name, "%s",
                    reg_repo_exists(opts->name) < 0 ? "invalid repository name"
                                                    : "repository not found");
        return ADMIN_FAILED;
    }
    if (admin_each_name(opts->name, print_name, nullptr) != 0) {
        admin_error(opts, opts->name, "%s", reg_storage_last_error());
        return ADMIN_FAILED;
    }
    return ADMIN_OK;
}
