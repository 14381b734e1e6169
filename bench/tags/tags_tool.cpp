/*
 * tags_tool - one tag-list or retention call per process, for timing
 * against a plain directory listing of the same store (bench/tags/run.sh).
 *
 *   tags_tool ROOT list-all    the tag list of every repository
 *   tags_tool ROOT list REPO   the tag list of one repository
 *   tags_tool ROOT retention   a dry retention run (keep 5, 30 days)
 *
 * Prints the number of bytes of documents produced, so the work cannot be
 * skipped; exits 1 on any failure.
 */
#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "reg_storage.h"

namespace
{

std::vector<std::string> catalog()
{
    std::vector<std::string> names;
    const char *doc = reg_catalog_json(0, nullptr);
    yyjson_doc *d = doc ? yyjson_read(doc, std::strlen(doc), 0) : nullptr;
    yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(d), "repositories");
    size_t i, max;
    yyjson_val *v;
    yyjson_arr_foreach(list, i, max, v) names.emplace_back(yyjson_get_str(v));
    yyjson_doc_free(d);
    return names;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || reg_storage_init(argv[1]) != 0) {
        std::fprintf(stderr, "usage: tags_tool ROOT list-all|list REPO|retention\n");
        return 1;
    }
    const std::string mode = argv[2];
    size_t bytes = 0;
    if (mode == "list-all") {
        for (const std::string &repo : catalog()) {
            const char *doc = reg_tags_list_json(repo.c_str());
            if (!doc) return 1;
            bytes += std::strlen(doc);
        }
    } else if (mode == "list" && argc > 3) {
        const char *doc = reg_tags_list_json(argv[3]);
        if (!doc) return 1;
        bytes = std::strlen(doc);
    } else if (mode == "retention") {
        const char *doc = reg_retention_json(1, 5, 30, 0, nullptr);
        if (!doc) return 1;
        bytes = std::strlen(doc);
    } else {
        return 1;
    }
    std::printf("%zu\n", bytes);
    return 0;
}
