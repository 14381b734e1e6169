/*
 * manifests.cpp - /v2/<name>/manifests/<reference>: GET and HEAD answer
 * the stored bytes exactly as pushed, PUT stores a manifest (by tag or by
 * digest; each ?tag= is set with it, all or none, and answered with an
 * OCI-Tag header), DELETE removes a manifest by digest or one tag.
 */
#include "oci_common.h"
#include "reg_storage.h"
#include "tv_audit.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr int64_t kManifestPutMax = 4194304; /* what clients cap manifests at */
constexpr size_t kLineCap = 512;

oci_route s_route;
const char *const s_name = s_route.name;
const char *const s_ref = s_route.ref;

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

void header_line(const char *format, const char *a, const char *b = "")
{
    char line[kLineCap];
    tv_snprintf(line, sizeof line, format, a, b);
    cgi_header_extra(line);
}

void get(bool head)
{
    char type[160], digest[DIGEST_TEXT_CAP], path[4096];
    int64_t size = 0;
    if (reg_manifest_locate(s_name, s_ref, type, digest, path, sizeof path, &size) != 0)
        oci_fail_storage();
    oci_response_begin(200);
    cgi_header_ct(type);
    header_line("Docker-Content-Digest: %s", digest);
    header_line("ETag: \"%s\"", digest);
    char length[32];
    tv_snprintf(length, sizeof length, "%lld", static_cast<long long>(size));
    header_line("Content-Length: %s", length);
    cgi_headers_end();
    if (head) return;
    const int64_t sent = cgi_send_file(path, 0, size);
    tv_audit_note_bytes(sent < 0 ? 0 : sent);
}

void put(void)
{
    const long long announced = strtoll(cgi_env("CONTENT_LENGTH", "0"), nullptr, 10);
    if (announced > kManifestPutMax)
        oci_send_error(413, "SIZE_INVALID", "manifest too large (max 4194304 bytes)");
    const char *type = cgi_env("CONTENT_TYPE", "");
    if (strncmp(type, "application/vnd.docker.distribution.manifest.v1+", 48) == 0)
        oci_fail("MANIFEST_INVALID", "manifest schema version 1 is not supported");

    uint64_t len = 0;
    std::unique_ptr<char, FreeDeleter> body(cgi_read_post(&len));
    if (!body || len == 0) oci_fail("MANIFEST_INVALID", "empty manifest");
    if (announced > 0 && len != static_cast<uint64_t>(announced))
        oci_fail("SIZE_INVALID", "body shorter than its Content-Length");
    if (len > static_cast<uint64_t>(kManifestPutMax))
        oci_send_error(413, "SIZE_INVALID", "manifest too large (max 4194304 bytes)");

    /* Tags pushed with the manifest: as many as the query holds. Without a
     * query there are none (the lookup would fall back to the environment). */
    std::vector<std::string> tags;
    const bool query = *cgi_env("QUERY_STRING", "") != '\0';
    for (const char *tag; query && (tag = cgi_query_nth("tag", static_cast<int>(tags.size())));) {
        if (!oci_route_tag_valid(tag)) oci_fail("TAG_INVALID", "invalid tag reference");
        tags.emplace_back(tag);
    }
    std::vector<const char *> tag_ptrs;
    for (const std::string &t : tags)
        tag_ptrs.push_back(t.c_str());

    char digest[DIGEST_TEXT_CAP], subject[DIGEST_TEXT_CAP] = "";
    if (reg_manifest_put_tags(s_name, s_ref, body.get(), len, type, tag_ptrs.data(),
                              tag_ptrs.size(), digest) != 0)
        oci_fail_storage();
    reg_manifest_subject(body.get(), len, subject);

    oci_response_begin(201);
    char location[kLineCap];
    tv_snprintf(location, sizeof location, "/v2/%s/manifests/%s", s_name, digest);
    header_line("Location: %s", location);
    header_line("Docker-Content-Digest: %s", digest);
    if (subject[0]) header_line("OCI-Subject: %s", subject);
    for (size_t i = 0; i < tags.size(); ++i)
        if (std::find(tags.begin(), tags.begin() + i, tags[i]) == tags.begin() + i)
            header_line("OCI-Tag: %s", tags[i].c_str());
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
}

void remove(void)
{
    const int rc =
        s_route.ref_is_digest ? reg_manifest_delete(s_name, s_ref) : reg_tag_delete(s_name, s_ref);
    if (rc != 0) oci_fail_storage();
    oci_response_begin(202);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
}

} // namespace

int main(void)
{
    oci_api_enter("GET, HEAD, PUT, DELETE");
    oci_api_route(OCI_ROUTE_MANIFESTS, &s_route);
    oci_api_storage();
    const char *method = cgi_method();
    if (strcmp(method, "PUT") == 0)
        put();
    else if (strcmp(method, "DELETE") == 0)
        remove();
    else
        get(cgi_is_head() != 0);
    return 0;
}
