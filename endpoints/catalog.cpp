/*
 * catalog.cpp - GET /v2/_catalog?n=&last=: the repositories in lexical
 * order, a page at a time: those the caller may pull (every one for an
 * admin). A page may then hold fewer than n names; its Link still leads
 * on from the last name the store listed.
 */
#include "oci_common.h"
#include "reg_storage.h"
#include "v2_auth.h"

#include <stdlib.h>
#include <string.h>

#include <yyjson.h>

namespace
{

/* json with the names caller may not see left out; NULL when it cannot be
 * read (then the refusal is the safe answer). Free with free(). */
char *visible(const char *json, const registry_caller *caller)
{
    yyjson_doc *doc = yyjson_read(json, strlen(json), 0);
    if (!doc) return nullptr;
    yyjson_mut_doc *out = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(out);
    yyjson_mut_doc_set_root(out, root);
    yyjson_mut_val *list = yyjson_mut_obj_add_arr(out, root, "repositories");
    yyjson_val *names = yyjson_obj_get(yyjson_doc_get_root(doc), "repositories");
    size_t i, n;
    yyjson_val *name;
    yyjson_arr_foreach(names, i, n, name)
    {
        if (yyjson_is_str(name) && registry_auth_may_list(caller, yyjson_get_str(name)))
            yyjson_mut_arr_add_str(out, list, yyjson_get_str(name));
    }
    char *text = yyjson_mut_write(out, 0, nullptr);
    yyjson_mut_doc_free(out);
    yyjson_doc_free(doc);
    return text;
}

} // namespace

int main(void)
{
    oci_api_enter("GET, HEAD");
    registry_caller caller;
    if (!registry_auth_catalog(&caller)) return 0;
    char last[512];
    const int n = oci_page_query(last, sizeof last);
    oci_api_storage();
    if (n == 0) {
        oci_send_json(200, "{\"repositories\":[]}");
        return 0;
    }
    int more = 0;
    char page_last[512];
    const char *json = reg_catalog_json_page(n, last, &more, page_last, sizeof page_last);
    if (!json) oci_fail_storage();
    if (!registry_auth_enabled()) {
        oci_send_page(json, more, "/v2/_catalog", n, page_last);
        return 0;
    }
    char *shown = visible(json, &caller);
    if (!shown) oci_send_error(500, "UNKNOWN", "catalog unreadable");
    oci_send_page(shown, more, "/v2/_catalog", n, page_last);
    free(shown);
    return 0;
}
