/*
 * tv_config.h - the shared scanner of the service configuration file.
 *
 * The file (REGISTRY_CONFIG when set, else "config.json" in the working
 * directory) is never parsed as JSON: each reader reads a fixed number of
 * bytes from its start, finds the first byte-exact occurrence of its quoted
 * key and reads the value after the following ':'. How much is read and
 * which value forms count differ per reader, so this header offers the
 * steps and each reader composes them.
 * Internal to the registry modules; not part of the C interface.
 */
#ifndef REGISTRY_TV_CONFIG_H
#define REGISTRY_TV_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TV_CONFIG_FILE "config.json"
#define TV_CONFIG_ENV "REGISTRY_CONFIG"

/* The configuration file every reader uses: the environment's
 * REGISTRY_CONFIG when set and not empty, else config.json in the working
 * directory. */
const char *tv_config_path(void);

/* Reads at most cap - 1 bytes from the start of that file into buf and
 * NUL-terminates them. Returns the byte count; 0 (buf "") when the file is
 * missing, unreadable or empty. A NUL byte inside the file ends the text. */
size_t tv_config_read(char *buf, size_t cap);

/* Finds the first occurrence of key written with its double quotes and
 * returns a pointer just past the first ':' after it, or NULL.
 * colon_adjacent: 1 when the ':' must follow the closing quote at once. */
const char *tv_config_after_key(const char *text, const char *key, int colon_adjacent);

/* Like tv_config_after_key, for a pattern searched exactly as given (for a
 * caller that already holds the key with its quotes): a pointer just past
 * the first ':' after the pattern's first occurrence, or NULL. */
const char *tv_config_after_text(const char *text, const char *pattern);

/* p with every space, tab, CR and LF at its start passed over; NULL stays
 * NULL. */
const char *tv_config_skip_space(const char *p);

/* From p, finds the first '"' and the next '"' after it; stores the raw
 * text between them (no escape processing) as *start / *len.
 * 0 when both quotes were found, -1 otherwise. */
int tv_config_quoted(const char *p, const char **start, size_t *len);

/* tv_config_quoted, then the raw text copied into out and NUL-terminated.
 * A text of cap bytes or more counts as absent rather than being cut.
 * 0 when copied; -1 otherwise, with out untouched. */
int tv_config_str_at(const char *p, char *out, size_t cap);

/* From p: skips spaces, tabs, CRs and LFs and one optional '"', then reads
 * a signed 64-bit decimal up to the first byte that is not part of it
 * (out of range values saturate). 0 and *out set when the first byte is a
 * digit or '-', -1 otherwise. */
int tv_config_int_at(const char *p, int64_t *out);

#ifdef __cplusplus
}
#endif

#endif
