/*
 * common_route.cpp - the request path of each endpoint program read into
 * its parts (see oci_route.h).
 *
 * Beyond the name rule of common_repo_name.cpp, every component must begin
 * and end with a letter or digit, hold no "..", and must not be a Windows
 * device name,
 * and a tag must not end with '.': Windows drops a trailing dot from a
 * file name ("v1." would be the directory of "v1") and opens a device for
 * CON or NUL wherever they appear. Refused on every system, a store keeps
 * the same names when it moves between them.
 */
#include "oci_route.h"

#include "oci_common.h"

#include <string.h>

#include <string_view>

namespace
{

using std::string_view;

/* Indexed by oci_route_kind. */
constexpr const char *kMarkers[] = {"/tags/", "/manifests/", "/blobs/", "/blobs/uploads",
                                    "/referrers/"};

constexpr size_t kUploadIdLen = 36;

bool is_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_nocase(string_view a, string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

/* Each component begins and ends with a letter or digit and names no
 * device. The name rule has already refused empty components. */
bool components_portable(string_view name)
{
    while (!name.empty()) {
        const size_t slash = name.find('/');
        const string_view c = name.substr(0, slash);
        if (c.empty() || !is_alnum(c.front()) || !is_alnum(c.back())) return false;
        /* The storage engine refuses ".." anywhere; refused here, the
         * client hears NAME_INVALID rather than a storage failure. */
        if (c.find("..") != string_view::npos) return false;
        if (oci_route_device_name(c.data(), c.size())) return false;
        if (slash == string_view::npos) break;
        name.remove_prefix(slash + 1);
    }
    return true;
}

/* Lower-case hex with dashes at 8, 13, 18 and 23: the form of the ids the
 * storage engine draws. */
bool upload_id_form(string_view id)
{
    if (id.size() != kUploadIdLen) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = id[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

oci_route_status refuse(oci_route *out, oci_route_status status)
{
    out->name[0] = '\0';
    out->ref[0] = '\0';
    out->ref_is_digest = 0;
    return status;
}

} // namespace

int oci_route_device_name(const char *component, size_t len)
{
    if (!component) return 0;
    string_view c(component, len);
    c = c.substr(0, c.find('.'));
    for (const char *device : {"con", "prn", "aux", "nul"})
        if (equal_nocase(c, device)) return 1;
    if (c.size() == 4 && c[3] >= '1' && c[3] <= '9' &&
        (equal_nocase(c.substr(0, 3), "com") || equal_nocase(c.substr(0, 3), "lpt")))
        return 1;
    return 0;
}

int oci_route_tag_valid(const char *tag)
{
    /* oci_valid_tag also refuses "" and NULL. */
    if (!oci_valid_tag(tag)) return 0;
    const size_t len = strlen(tag);
    return tag[len - 1] != '.' && !oci_route_device_name(tag, len) ? 1 : 0;
}

int oci_route_name_lower(const char *name)
{
    for (const char *p = name; p && *p; ++p)
        if (*p >= 'A' && *p <= 'Z') return 0;
    return 1;
}

int oci_route_is_base(const char *path)
{
    return path && (strcmp(path, "/v2/") == 0 || strcmp(path, "/v2") == 0) ? 1 : 0;
}

static_assert(OCI_ROUTE_REF_CAP >= DIGEST_TEXT_CAP, "a route must hold the longest digest");

/* A digest reference's status: the one digest grammar decides. */
oci_route_status digest_status(const char *ref)
{
    switch (digest_parse(ref, nullptr)) {
    case DIGEST_FORM_OK:
        return OCI_ROUTE_OK;
    case DIGEST_FORM_UNSUPPORTED:
        return OCI_ROUTE_DIGEST_UNSUPPORTED;
    case DIGEST_FORM_MALFORMED:
        break;
    }
    return OCI_ROUTE_DIGEST_INVALID;
}

oci_route_status oci_route_parse(oci_route_kind kind, const char *path, oci_route *out)
{
    if (!out) return OCI_ROUTE_UNKNOWN;
    refuse(out, OCI_ROUTE_OK);
    if (!path || kind < OCI_ROUTE_TAGS || kind > OCI_ROUTE_REFERRERS)
        return refuse(out, OCI_ROUTE_UNKNOWN);
    const char *marker = kMarkers[kind];

    /* Two bytes more than a reference may hold tell "too long" from "fits"
     * without cutting a longer one into a valid one: one for the length
     * test, one for the trailing '/' the split drops after cutting (a cut
     * text ending in '/' would otherwise come back one byte short and
     * pass as whole). */
    char rest[OCI_ROUTE_REF_CAP + 2];
    if (!oci_parse_repo_marker(path, marker, out->name, sizeof out->name, rest, sizeof rest)) {
        /* The web server routes by the marker, so it is there unless the
         * program was reached some other way. */
        return refuse(out, strstr(path, marker) ? OCI_ROUTE_NAME_INVALID : OCI_ROUTE_UNKNOWN);
    }
    if (!components_portable(out->name)) return refuse(out, OCI_ROUTE_NAME_INVALID);

    const string_view ref(rest);
    if (ref.size() >= OCI_ROUTE_REF_CAP) {
        if (kind == OCI_ROUTE_TAGS) return refuse(out, OCI_ROUTE_UNKNOWN);
        if (kind == OCI_ROUTE_UPLOADS) return refuse(out, OCI_ROUTE_UPLOAD_UNKNOWN);
        if (kind == OCI_ROUTE_MANIFESTS && ref.find(':') == string_view::npos)
            return refuse(out, OCI_ROUTE_TAG_INVALID);
        return refuse(out, OCI_ROUTE_DIGEST_INVALID);
    }

    switch (kind) {
    case OCI_ROUTE_TAGS:
        if (ref != "list") return refuse(out, OCI_ROUTE_UNKNOWN);
        return OCI_ROUTE_OK; /* ref stays "": the path names no reference */
    case OCI_ROUTE_MANIFESTS:
        /* A reference is a digest as soon as it holds a ':'. */
        if (ref.find(':') != string_view::npos) {
            if (const oci_route_status st = digest_status(rest); st != OCI_ROUTE_OK)
                return refuse(out, st);
            out->ref_is_digest = 1;
        } else if (!oci_route_tag_valid(rest)) {
            return refuse(out, OCI_ROUTE_TAG_INVALID);
        }
        break;
    case OCI_ROUTE_BLOBS:
    case OCI_ROUTE_REFERRERS:
        if (const oci_route_status st = digest_status(rest); st != OCI_ROUTE_OK)
            return refuse(out, st);
        break;
    case OCI_ROUTE_UPLOADS:
        if (!ref.empty() && !upload_id_form(ref)) return refuse(out, OCI_ROUTE_UPLOAD_UNKNOWN);
        break;
    }
    memcpy(out->ref, rest, ref.size() + 1);
    return OCI_ROUTE_OK;
}
