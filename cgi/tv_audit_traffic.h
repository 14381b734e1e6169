/*
 * tv_audit_traffic.h - the last 24 hours of the access log as counts, read
 * from the log's tail (and its older generation when the current file is
 * younger than a day), never the whole log.
 */
#ifndef REGISTRY_TV_AUDIT_TRAFFIC_H
#define REGISTRY_TV_AUDIT_TRAFFIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TV_TRAFFIC_TOP 5
#define TV_TRAFFIC_REPO_CAP 256

typedef struct tv_traffic {
    int64_t requests;
    int64_t by_class[6];  /* [1]..[5]: 1xx..5xx; [0]: anything else */
    int64_t bytes;        /* response bytes */
    int64_t per_hour[24]; /* [23] is the hour ending now, [0] the oldest */
    int top_count;
    char top_repo[TV_TRAFFIC_TOP][TV_TRAFFIC_REPO_CAP];
    int64_t top_requests[TV_TRAFFIC_TOP];
} tv_traffic;

/* Counts the lines of log_path (and log_path".1") stamped within the day
 * before now. 0, or -1 when the log cannot be read (out is zeroed then). */
int tv_audit_traffic(const char *log_path, int64_t now, tv_traffic *out);

/* "2026-12-10T23:54:37Z" as seconds since 1970; -1 when malformed. */
int64_t tv_audit_parse_stamp(const char *text);

#ifdef __cplusplus
}
#endif

#endif
