/* The process floor for small requests: a CGI program that only writes a
 * fixed response, as small as the registry's answer to GET /v2/. */
#include <stdio.h>

int main(void)
{
    fputs("Status: 200 OK\r\nContent-Type: application/json\r\n"
          "Docker-Distribution-API-Version: registry/2.0\r\nContent-Length: 2\r\n\r\n{}",
          stdout);
    return 0;
}
