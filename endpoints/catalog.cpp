/*
 * catalog.cpp - GET /v2/_catalog?n=&last=: the repositories in lexical
 * order, a page at a time.
 */
#include "oci_common.h"
#include "reg_storage.h"

int main(void)
{
    oci_api_enter("GET, HEAD");
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
    oci_send_page(json, more, "/v2/_catalog", n, page_last);
    return 0;
}
