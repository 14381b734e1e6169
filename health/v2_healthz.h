/*
 * v2_healthz.h - the health endpoint: probe and CGI handler.
 */
#ifndef REGISTRY_V2_HEALTHZ_H
#define REGISTRY_V2_HEALTHZ_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct health_report {
    int ok;
    int init_rc;
    int writable;
    int catalog_ok;
    int64_t uptime_seconds;
    char version[32];
    char component[32];
    char reason[40];
} health_report;

int reg_health_check(health_report *report);
int handle_healthz(void);
void health_html_escape(FILE *out, const char *text);

#ifdef __cplusplus
}
#endif

#endif
