/* The floor for pushes: a CGI program that only copies its request body to
 * a file (the web server's and the disk's cost, no hashing, no checks).
 * The file is floor_uploads/NAME under the working directory, NAME from the
 * query string ("name=..."), appended to, so chunks make one file. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(void)
{
    static char buf[1 << 18];
    const char *q = getenv("QUERY_STRING");
    const char *name = q && strncmp(q, "name=", 5) == 0 ? q + 5 : "body";
    char path[512];
    snprintf(path, sizeof path, "floor_uploads/%.200s", name);
    mkdir("floor_uploads", 0755);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    long long left = atoll(getenv("CONTENT_LENGTH") ? getenv("CONTENT_LENGTH") : "0");
    while (fd >= 0 && left > 0) {
        ssize_t n = read(0, buf, left < (long long)sizeof buf ? (size_t)left : sizeof buf);
        if (n <= 0 || write(fd, buf, (size_t)n) != n) break;
        left -= n;
    }
    if (fd < 0 || left != 0 || close(fd) != 0) {
        fputs("Status: 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", stdout);
        return 1;
    }
    fputs("Status: 201 Created\r\nContent-Length: 0\r\n\r\n", stdout);
    return 0;
}
