/*
 * v2_auth.h - HTTP Basic authentication against the one user and password
 * digest configured in config.json ("registry_auth_user",
 * "registry_auth_sha256"). Without both settings authentication is off.
 */
#ifndef REGISTRY_V2_AUTH_H
#define REGISTRY_V2_AUTH_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when config.json holds a non-empty user and a 64-character digest. */
int registry_auth_enabled(void);

/* 1 when path lies under the API root "/v2" (leading '/' ignored). */
int registry_auth_path_guarded(const char *path);

/* 1 when the request may proceed (authentication off, or the Basic
 * credentials match; the user is then the access log's actor). 0 when the
 * 401 response has been written; the caller writes nothing more. */
int registry_auth_check(void);

#ifdef __cplusplus
}
#endif

#endif
