/*
 * base.cpp - GET /v2/: tells a client that this is a registry of the v2
 * protocol and whether its credentials are good. Every /v2/ URL that no
 * other program answers ends here too, with 404.
 */
#include "oci_common.h"
#include "v2_auth.h"

int main(void)
{
    oci_api_enter("GET, HEAD");
    /* Clients ask here whether their credentials are good (a login): an
     * anonymous caller is told to sign in even where anonymous pulls are
     * allowed, and pulls anonymously with a token of its own. */
    if (!registry_auth_check()) return 0;
    if (!oci_route_is_base(cgi_path_info()))
        oci_send_error(404, "UNSUPPORTED", "unknown API endpoint");
    oci_send_json(200, "{}");
    return 0;
}
