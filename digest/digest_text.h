/*
 * digest_text.h - content addresses as the protocol writes them,
 * "ALGORITHM:ENCODED", and one running hash of either algorithm the
 * registry keeps (sha256, sha512).
 *
 * This is the one digest rule: the request layer and the storage engine
 * both ask digest_parse.
 */
#ifndef REGISTRY_DIGEST_TEXT_H
#define REGISTRY_DIGEST_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include "sha256.h"
#include "sha512.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The longest digest text and its NUL: "sha512:" and 128 hex digits. */
#define DIGEST_TEXT_CAP 136
/* The longest hex part and its NUL. */
#define DIGEST_HEX_CAP 129
/* For messages: the algorithms a digest may name. */
#define DIGEST_SUPPORTED "sha256, sha512"

typedef enum digest_algorithm {
    DIGEST_NONE = 0, /* not a digest the registry keeps */
    DIGEST_SHA256 = 1,
    DIGEST_SHA512 = 2
} digest_algorithm;

/* What a text is as a digest. */
typedef enum digest_form {
    DIGEST_FORM_OK = 0,      /* a supported algorithm with its exact lower-case hex */
    DIGEST_FORM_UNSUPPORTED, /* the protocol's general grammar, another algorithm */
    DIGEST_FORM_MALFORMED    /* not a digest at all, or a supported one misspelt */
} digest_form;

/* Reads text (NUL-terminated). On DIGEST_FORM_OK *out_algorithm (if given)
 * is the algorithm; otherwise DIGEST_NONE. */
digest_form digest_parse(const char *text, digest_algorithm *out_algorithm);
/* The same for a text of len bytes that need not end in a NUL. */
digest_form digest_parse_n(const char *text, size_t len, digest_algorithm *out_algorithm);
/* 1 when text is a digest the registry keeps (DIGEST_FORM_OK). */
int digest_text_valid(const char *text);

/* "sha256" / "sha512"; "" for DIGEST_NONE. */
const char *digest_algorithm_name(digest_algorithm algorithm);
/* 64 / 128; 0 for DIGEST_NONE. */
size_t digest_hex_len(digest_algorithm algorithm);
/* The algorithm of a digest text already checked, from its prefix. */
digest_algorithm digest_algorithm_of(const char *text);

/* One running hash of either algorithm. */
typedef struct digest_ctx {
    digest_algorithm algorithm;
    union {
        sha256_ctx sha256;
        sha512_ctx sha512;
    } u;
} digest_ctx;

/* algorithm must be DIGEST_SHA256 or DIGEST_SHA512. */
void digest_init(digest_ctx *ctx, digest_algorithm algorithm);
void digest_update(digest_ctx *ctx, const void *data, size_t len);
/* Writes "ALGORITHM:HEX" and a NUL into out (DIGEST_TEXT_CAP bytes) and
 * wipes the context. */
void digest_final_text(digest_ctx *ctx, char out[DIGEST_TEXT_CAP]);
/* The digest text of a whole file. 0, or -1 when it cannot be read (out
 * untouched). */
int digest_file_text(const char *path, digest_algorithm algorithm, char out[DIGEST_TEXT_CAP]);
/* The digest text of len bytes in memory. */
void digest_bytes_text(digest_algorithm algorithm, const void *data, size_t len,
                       char out[DIGEST_TEXT_CAP]);

#ifdef __cplusplus
}
#endif

#endif
