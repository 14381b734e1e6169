/*
 * tags.cpp - GET /v2/<name>/tags/list?n=&last=: a repository's tags in
 * lexical order, a page at a time.
 */
#include "oci_common.h"
#include "reg_storage.h"

int main(void)
{
    oci_api_enter("GET, HEAD");
    oci_route route;
    oci_api_route(OCI_ROUTE_TAGS, &route);
    const char *name = route.name;
    char last[512];
    const int n = oci_page_query(last, sizeof last);
    oci_api_storage();

    const int exists = reg_repo_exists(name);
    if (exists < 0) oci_fail_storage();
    if (exists == 0) oci_fail("NAME_UNKNOWN", nullptr);
    char path[320];
    tv_snprintf(path, sizeof path, "/v2/%s/tags/list", name);
    if (n == 0) {
        char json[320];
        tv_snprintf(json, sizeof json, "{\"name\":\"%s\",\"tags\":[]}", name);
        oci_send_json(200, json);
        return 0;
    }
    int more = 0;
    char page_last[256];
    const char *json = reg_tags_list_json_page(name, n, last, &more, page_last, sizeof page_last);
    if (!json) oci_fail_storage();
    oci_send_page(json, more, path, n, page_last);
    return 0;
}
