/*
 * admin_progress.h - the one-line progress display of long subcommands:
 * formatting (pure, tested on its own) and drawing on a terminal.
 */
#ifndef REGISTRY_ADMIN_PROGRESS_H
#define REGISTRY_ADMIN_PROGRESS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ADMIN_LINE_CAP 160
#define ADMIN_BAR_WIDTH 24
#define ADMIN_DURATION_CAP 24

typedef struct admin_progress_view {
    const char *phase;  /* "walking", "deleting", "verifying", ... */
    int64_t done;       /* items (or bytes) done of total */
    int64_t total;      /* 0: not known yet */
    int in_bytes;       /* done and total are bytes: shown as 1.2 MB */
    int64_t elapsed_ms; /* since the command began */
    int64_t rate_ms;    /* time spent on the done part, for the estimate */
} admin_progress_view;

/* What remains, in milliseconds, at the pace done took rate_ms; -1 when it
 * cannot be told yet (nothing done, no total, no time measured). */
int64_t admin_eta_ms(int64_t done, int64_t total, int64_t rate_ms);
/* "0:07", "12:34", "1:02:03" (hours past 99 cap at "99:59:59"); "--:--"
 * for a negative time. out: ADMIN_DURATION_CAP bytes. */
void admin_fmt_duration(int64_t ms, char *out);
/* "deleting  [#########...............]  1200/3000  40%  0:12  ~0:18 left"
 * into out (ADMIN_LINE_CAP bytes); the length written. */
size_t admin_progress_line(const admin_progress_view *v, char *out);

/* Redraws the line in place on a terminal: a carriage return, the line,
 * blanks over what the last one left. At most every 100 ms unless force. */
typedef struct admin_bar {
    FILE *out;        /* NULL: drawing off */
    uint64_t last_ms; /* tick of the last draw */
    size_t last_len;
    int drawn;
} admin_bar;

/* A bar on stream when it is a terminal, else one that draws nothing. */
void admin_bar_init(admin_bar *bar, FILE *stream);
void admin_bar_draw(admin_bar *bar, const admin_progress_view *v, int force);
/* Blanks the line, so what follows starts at its beginning. */
void admin_bar_clear(admin_bar *bar);

#ifdef __cplusplus
}
#endif

#endif
