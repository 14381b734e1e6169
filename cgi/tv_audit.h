/*
 * tv_audit.h - the access log: one line per request, appended at exit to
 * registry_access.log in the storage root, or in REGISTRY_ACCESS_LOG_DIR
 * when that is set and not empty.
 */
#ifndef REGISTRY_TV_AUDIT_H
#define REGISTRY_TV_AUDIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void tv_audit_note_status(int status);
void tv_audit_note_bytes(int64_t n);
void tv_audit_note_actor(const char *actor);
void tv_audit_flush(void);
const char *tv_audit_log_path(void);
int64_t tv_audit_cap_bytes(void);
int tv_audit_enabled(void);
int64_t tv_audit_log_bytes(void);

#ifdef __cplusplus
}
#endif

#endif
