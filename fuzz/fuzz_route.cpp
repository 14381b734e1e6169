/*
 * fuzz_route - the request path of each endpoint program: oci_route_parse
 * for every kind, and oci_route_is_base.
 *
 * Input: the request path (cut at a NUL, which PATH_INFO cannot hold).
 *
 * Holds for every input and kind: a refusal leaves name and reference
 * empty; an accepted name passes a plain reading of the name rule (letters,
 * digits, '.', '_', '-' and '/' separators, 1 to 255 bytes, every
 * component beginning and ending with a letter or digit, without "..",
 * naming no Windows device) and the storage engine's own rule, and is the text the
 * path holds before the marker; an accepted reference is what the kind
 * wants ("" for tags/list, a tag or a digest the registry keeps (sha256
 * with 64, sha512 with 128 lower-case hex digits) for manifests, such a
 * digest for blobs and referrers, "" or an upload id of
 * the engine's form for uploads); and the canonical path built from name
 * and reference reads back to the same parts. A digest of another
 * algorithm is refused as unsupported only where a digest belongs, and
 * only when the path ends in one of the protocol's general form.
 */
#include "fuzz_support.h"
#include "oci_route.h"
#include "storage_internal.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace
{

using std::string_view;

constexpr oci_route_kind kKinds[] = {OCI_ROUTE_TAGS, OCI_ROUTE_MANIFESTS, OCI_ROUTE_BLOBS,
                                     OCI_ROUTE_UPLOADS, OCI_ROUTE_REFERRERS};
constexpr const char *kMarker[] = {"/tags/", "/manifests/", "/blobs/", "/blobs/uploads/",
                                   "/referrers/"};

bool alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string lowered(string_view s)
{
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool plain_device(string_view c)
{
    const std::string base = lowered(c.substr(0, c.find('.')));
    for (const char *d : {"con", "prn", "aux", "nul"})
        if (base == d) return true;
    for (char n = '1'; n <= '9'; ++n)
        if (base == std::string("com") + n || base == std::string("lpt") + n) return true;
    return false;
}

bool plain_name(string_view s)
{
    if (s.empty() || s.size() > 255) return false;
    size_t start = 0;
    while (true) {
        const size_t end = std::min(s.find('/', start), s.size());
        const string_view c = s.substr(start, end - start);
        if (c.empty() || !alnum(c.front()) || !alnum(c.back()) || plain_device(c)) return false;
        if (c.find("..") != string_view::npos) return false;
        for (char ch : c)
            if (!alnum(ch) && ch != '.' && ch != '_' && ch != '-') return false;
        if (end == s.size()) return true;
        start = end + 1;
    }
}

bool plain_tag(string_view s)
{
    if (s.empty() || s.size() > 128 || !(alnum(s[0]) || s[0] == '_')) return false;
    for (char c : s)
        if (!alnum(c) && c != '_' && c != '.' && c != '-') return false;
    return s.back() != '.' && !plain_device(s);
}

bool plain_upload_id(string_view s)
{
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f')))
            return false;
    }
    return true;
}

/* The path after its leading '/' run and "v2/". */
string_view after_root(string_view p)
{
    while (!p.empty() && p.front() == '/')
        p.remove_prefix(1);
    if (p.substr(0, 3) == "v2/") p.remove_prefix(3);
    return p;
}

void check_kind(const fuzz::text &path, oci_route_kind kind)
{
    oci_route r;
    memset(&r, 0x5a, sizeof r);
    const oci_route_status st = oci_route_parse(kind, path.c_str(), &r);
    FUZZ_CHECK(st >= OCI_ROUTE_OK && st <= OCI_ROUTE_DIGEST_UNSUPPORTED);
    FUZZ_CHECK(memchr(r.name, '\0', sizeof r.name) && memchr(r.ref, '\0', sizeof r.ref));
    const string_view marker = kMarker[kind];
    if (st != OCI_ROUTE_OK) {
        FUZZ_CHECK(r.name[0] == '\0' && r.ref[0] == '\0' && r.ref_is_digest == 0);
        /* A bad name is only ever reported where the program's marker is. */
        if (st == OCI_ROUTE_NAME_INVALID)
            FUZZ_CHECK(path.view().find(marker.substr(0, marker.size() - 1)) != string_view::npos);
        if (st == OCI_ROUTE_DIGEST_UNSUPPORTED) {
            FUZZ_CHECK(kind == OCI_ROUTE_MANIFESTS || kind == OCI_ROUTE_BLOBS ||
                       kind == OCI_ROUTE_REFERRERS);
            string_view tail = path.view();
            if (!tail.empty() && tail.back() == '/') tail.remove_suffix(1);
            FUZZ_CHECK(fuzz::plain_other_digest(tail.substr(tail.rfind('/') + 1)));
        }
        return;
    }
    const string_view name(r.name), ref(r.ref);
    FUZZ_CHECK(plain_name(name));
    FUZZ_CHECK(storage::repo_name_valid(r.name) == 1);
    FUZZ_CHECK(after_root(path.view()).substr(0, name.size() + 1) == std::string(name) + "/");

    switch (kind) {
    case OCI_ROUTE_TAGS:
        FUZZ_CHECK(ref.empty());
        break;
    case OCI_ROUTE_MANIFESTS:
        FUZZ_CHECK(r.ref_is_digest == (ref.find(':') != string_view::npos ? 1 : 0));
        FUZZ_CHECK(r.ref_is_digest ? fuzz::plain_digest(ref) : plain_tag(ref));
        FUZZ_CHECK(r.ref_is_digest || oci_route_tag_valid(r.ref) == 1);
        break;
    case OCI_ROUTE_BLOBS:
    case OCI_ROUTE_REFERRERS:
        FUZZ_CHECK(fuzz::plain_digest(ref));
        break;
    case OCI_ROUTE_UPLOADS:
        FUZZ_CHECK(ref.empty() || plain_upload_id(ref));
        break;
    }
    if (kind != OCI_ROUTE_MANIFESTS) FUZZ_CHECK(r.ref_is_digest == 0);

    /* The canonical path of the parts reads back to them. */
    const std::string canonical = "/v2/" + std::string(name) + std::string(marker) +
                                  (kind == OCI_ROUTE_TAGS ? "list" : std::string(ref));
    oci_route again;
    FUZZ_CHECK(oci_route_parse(kind, canonical.c_str(), &again) == OCI_ROUTE_OK);
    FUZZ_CHECK(name == again.name && ref == again.ref && r.ref_is_digest == again.ref_is_digest);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::text path(string_view(reinterpret_cast<const char *>(data), size));
    for (oci_route_kind kind : kKinds)
        check_kind(path, kind);
    const string_view p = path.view();
    FUZZ_CHECK(oci_route_is_base(path.c_str()) == (p == "/v2/" || p == "/v2" ? 1 : 0));
    FUZZ_CHECK(oci_route_tag_valid(path.c_str()) == (plain_tag(p) ? 1 : 0));
    FUZZ_CHECK(
        oci_route_name_lower(path.c_str()) ==
        (std::none_of(p.begin(), p.end(), [](char c) { return c >= 'A' && c <= 'Z'; }) ? 1 : 0));
    return 0;
}
