/*
 * oci_route.h - the request path of each endpoint program read into its
 * parts: the repository name and the reference, digest or upload id after
 * the program's marker. Pure: no environment, no output, no exit, so the
 * rules can be tested and fuzzed directly; oci_api_route (oci_common.h)
 * answers what this refuses.
 */
#ifndef REGISTRY_OCI_ROUTE_H
#define REGISTRY_OCI_ROUTE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The endpoint families whose path holds a repository name. */
typedef enum oci_route_kind {
    OCI_ROUTE_TAGS = 0,  /* /v2/NAME/tags/list */
    OCI_ROUTE_MANIFESTS, /* /v2/NAME/manifests/TAG-OR-DIGEST */
    OCI_ROUTE_BLOBS,     /* /v2/NAME/blobs/DIGEST */
    OCI_ROUTE_UPLOADS,   /* /v2/NAME/blobs/uploads[/ID] */
    OCI_ROUTE_REFERRERS  /* /v2/NAME/referrers/DIGEST */
} oci_route_kind;

/* What a path earns; each refusal maps to one protocol error. */
typedef enum oci_route_status {
    OCI_ROUTE_OK = 0,
    OCI_ROUTE_UNKNOWN,        /* not this program's URL (404) */
    OCI_ROUTE_NAME_INVALID,   /* 400 NAME_INVALID */
    OCI_ROUTE_TAG_INVALID,    /* 400 TAG_INVALID */
    OCI_ROUTE_DIGEST_INVALID, /* 400 DIGEST_INVALID */
    OCI_ROUTE_UPLOAD_UNKNOWN, /* an id no upload can have (404 BLOB_UPLOAD_UNKNOWN) */
    /* A digest of the general form naming an algorithm not kept (400
     * DIGEST_INVALID, its message naming the kept ones). */
    OCI_ROUTE_DIGEST_UNSUPPORTED
} oci_route_status;

#define OCI_ROUTE_NAME_CAP 256 /* 255 bytes and a NUL */
/* Holds the longest tag (128) and the longest digest (DIGEST_TEXT_CAP);
 * the one byte more a path is read with tells "too long" from "fits". */
#define OCI_ROUTE_REF_CAP 160

typedef struct oci_route {
    char name[OCI_ROUTE_NAME_CAP];
    /* The tag, digest or upload id ("" for the uploads collection and for
     * tags/list); exactly the path's text, never cut. */
    char ref[OCI_ROUTE_REF_CAP];
    int ref_is_digest; /* manifests: the reference is a digest */
} oci_route;

/* Reads path (PATH_INFO) for kind into out. On OCI_ROUTE_OK the name
 * passes oci_valid_repo_name and every component begins and ends with a
 * letter or digit, holds no ".." and is no Windows device name (so the same store works on both
 * systems); the reference passes its rule. On any other status out holds
 * empty texts. */
oci_route_status oci_route_parse(oci_route_kind kind, const char *path, oci_route *out);

/* 1 when tag is one a manifest URL may name: the protocol's grammar, no
 * trailing '.', no Windows device name (what oci_route_parse asks of a
 * manifest reference that is no digest). */
int oci_route_tag_valid(const char *tag);

/* 1 when name holds no upper-case letter. The protocol's names are lower
 * case and Windows folds case, so a request that creates or changes
 * something refuses any other; reads still reach what was stored before. */
int oci_route_name_lower(const char *name);

/* 1 when the path is the API root "/v2/" (or "/v2") that v2_base answers. */
int oci_route_is_base(const char *path);

/* 1 when a name component (cut at '/') is one Windows keeps for a device:
 * CON, PRN, AUX, NUL, COM1-9, LPT1-9, in any case, alone or before a '.'. */
int oci_route_device_name(const char *component, size_t len);

#ifdef __cplusplus
}
#endif

#endif
