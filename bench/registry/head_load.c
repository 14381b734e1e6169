/* HEAD requests under load, for what wrk cannot measure: its parser waits
 * for the body a HEAD answer announces in Content-Length and never gets.
 * Each of CONNS threads keeps one connection and sends HEAD after HEAD,
 * reading each answer up to the end of its headers.
 *   head_load HOST PORT PATH CONNS SECONDS
 * prints "requests_per_sec p50_ms p99_ms errors". */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kMaxSamples = 1 << 20 };

static const char *s_host, *s_path;
static int s_port;
static double s_end;
static double *s_lat;
static long s_count, s_errors;
static pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static int connect_to(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((unsigned short)s_port)};
    inet_pton(AF_INET, s_host, &a.sin_addr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* One HEAD on fd: 0 when a 2xx answer's headers arrived and the server
 * keeps the connection. */
static int one_head(int fd, const char *req, size_t req_len)
{
    if (write(fd, req, req_len) != (ssize_t)req_len) return -1;
    char buf[8192];
    size_t have = 0;
    while (have < sizeof buf - 1) {
        ssize_t n = read(fd, buf + have, sizeof buf - 1 - have);
        if (n <= 0) return -1;
        have += (size_t)n;
        buf[have] = '\0';
        if (strstr(buf, "\r\n\r\n")) break;
    }
    if (strncmp(buf, "HTTP/1.1 2", 10) != 0) return -1;
    return strstr(buf, "Connection: close") ? 1 : 0;
}

static void *run(void *arg)
{
    (void)arg;
    char req[1024];
    int len = snprintf(req, sizeof req, "HEAD %s HTTP/1.1\r\nHost: %s:%d\r\n\r\n", s_path, s_host,
                       s_port);
    int fd = -1;
    while (now() < s_end) {
        if (fd < 0 && (fd = connect_to()) < 0) {
            __atomic_add_fetch(&s_errors, 1, __ATOMIC_RELAXED);
            continue;
        }
        double t = now();
        int rc = one_head(fd, req, (size_t)len);
        double dt = now() - t;
        if (rc < 0) {
            __atomic_add_fetch(&s_errors, 1, __ATOMIC_RELAXED);
        } else {
            pthread_mutex_lock(&s_lock);
            if (s_count < kMaxSamples) s_lat[s_count] = dt;
            s_count++;
            pthread_mutex_unlock(&s_lock);
        }
        if (rc != 0) {
            close(fd);
            fd = -1;
        }
    }
    if (fd >= 0) close(fd);
    return NULL;
}

static int cmp(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv)
{
    if (argc != 6) {
        fputs("usage: head_load HOST PORT PATH CONNS SECONDS\n", stderr);
        return 2;
    }
    s_host = argv[1];
    s_port = atoi(argv[2]);
    s_path = argv[3];
    int conns = atoi(argv[4]);
    double secs = atof(argv[5]);
    s_lat = malloc(sizeof(double) * kMaxSamples);
    pthread_t th[256];
    if (conns < 1 || conns > 256 || !s_lat) return 2;
    double start = now();
    s_end = start + secs;
    for (int i = 0; i < conns; i++) pthread_create(&th[i], NULL, run, NULL);
    for (int i = 0; i < conns; i++) pthread_join(th[i], NULL);
    double elapsed = now() - start;
    long n = s_count < kMaxSamples ? s_count : kMaxSamples;
    qsort(s_lat, (size_t)n, sizeof(double), cmp);
    double p50 = n ? s_lat[n / 2] : 0, p99 = n ? s_lat[(long)(n * 0.99)] : 0;
    printf("%.1f %.3f %.3f %ld\n", s_count / elapsed, p50 * 1e3, p99 * 1e3, s_errors);
    return 0;
}
