/*
 * fuzz_manifest_put - manifest validation on put: reg_manifest_put of the
 * input as a body into repository "fuzz".
 *
 * Once per process a store is made in a private temporary directory, three
 * blobs are uploaded ("fuzz config\n", "fuzz layer one\n", "fuzz layer
 * two\n"), each under its sha256 and its sha512 digest, and an image
 * manifest over the first two is pushed to "base" as v1 and by its sha512
 * digest, so an image can name stored blobs and an index a stored manifest
 * of either algorithm (the seed corpus holds their digests).
 *
 * Input: optional header lines before the body, each starting with '#':
 * "#ct:TYPE" passes TYPE as the content type (else NULL), "#ref:REF" pushes
 * under REF (else "latest"; "@" means the body's own sha256 digest, "@512"
 * its sha512 one). The rest of
 * the input, NUL bytes included, is the body.
 *
 * Holds for every input: a refused push leaves a message and no repository
 * behind; a stored one reports the body's digest (of the reference's
 * algorithm; for a tag, its config's or first entry's) in its DIGEST_TEXT_CAP buffer, is
 * a JSON object whose config and layers (or index entries, of which there
 * may be none) are stored, but for foreign layers (the four
 * non-distributable types) that name a non-empty list of non-empty urls,
 * reads back byte for byte by digest and by tag, and carries the content
 * type the choice rule gives, at most 126 bytes without a control byte;
 * a known manifest type (given or in the body) matches the body's shape.
 *
 * The subject and the referrers index: a stored body's "subject" is absent
 * or an object whose digest is one the store keeps (sha256 or sha512), and
 * reg_manifest_subject names it. The referrers listing of that subject is
 * strict JSON holding exactly one entry, read back equal to what was
 * pushed (digest, size, mediaType or the default, artifactType or the
 * config's type, annotations); with a filter ("#filter:TYPE" line, else
 * the entry's own type) the entry is there exactly when its type is the
 * filter, and a filter over 255 bytes is refused. After a delete by digest
 * the listing is empty and the link file is gone.
 *
 * After each input "fuzz" is deleted: the store holds only "base" again.
 */
#include "fuzz_support.h"
#include "reg_storage.h"

#include <string>
#include <string_view>

namespace
{

namespace fs = std::filesystem;
using std::string_view;

constexpr char kRepo[] = "fuzz";
constexpr char kBaseRepo[] = "base";
constexpr char kDefaultType[] = "application/vnd.docker.distribution.manifest.v2+json";
constexpr size_t kDigestCap = DIGEST_TEXT_CAP;
constexpr size_t kTypeCap = 127;
constexpr const char *kBlobs[] = {"fuzz config\n", "fuzz layer one\n", "fuzz layer two\n"};

fs::path g_repos;

std::string digest_of(string_view bytes, digest_algorithm algorithm = DIGEST_SHA256)
{
    char text[DIGEST_TEXT_CAP];
    digest_bytes_text(algorithm, bytes.data(), bytes.size(), text);
    return text;
}

void upload(const char *content, digest_algorithm algorithm)
{
    char uuid[40], digest[kDigestCap];
    FUZZ_CHECK(reg_blob_start_upload(uuid) == 0);
    FUZZ_CHECK(reg_blob_append_chunk(uuid, content, strlen(content)) == 0);
    FUZZ_CHECK(reg_blob_finish_upload(uuid, digest_of(content, algorithm).c_str(), digest) == 0);
}

void setup_once()
{
    static bool done = [] {
        const fs::path root = fuzz::work_dir() / "store";
        FUZZ_CHECK(reg_storage_init(root.string().c_str()) == 0);
        g_repos = root / "repositories";
        for (digest_algorithm algorithm : {DIGEST_SHA256, DIGEST_SHA512})
            for (const char *b : kBlobs)
                upload(b, algorithm);
        const std::string base = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" +
                                 digest_of(kBlobs[0]) +
                                 "\",\"size\":12},\"layers\":[{\"digest\":\"" +
                                 digest_of(kBlobs[1]) + "\",\"size\":15}]}";
        char digest[kDigestCap];
        FUZZ_CHECK(reg_manifest_put(kBaseRepo, "v1", base.data(), base.size(), nullptr, digest) ==
                   0);
        const std::string by512 = digest_of(base, DIGEST_SHA512);
        FUZZ_CHECK(reg_manifest_put(kBaseRepo, by512.c_str(), base.data(), base.size(), nullptr,
                                    digest) == 0);
        return true;
    }();
    (void)done;
}

/* The first member named key, as the engine looks it up. */
yyjson_val *member(yyjson_val *obj, const char *key)
{
    return yyjson_obj_getn(obj, key, strlen(key));
}

/* The "digest" of obj when it is a valid digest without a hidden NUL. */
std::string digest_in(yyjson_val *obj)
{
    if (!yyjson_is_obj(obj)) return "";
    yyjson_val *d = member(obj, "digest");
    const char *s = yyjson_get_str(d);
    if (!s || !fuzz::plain_digest(string_view(s, yyjson_get_len(d)))) return "";
    return s;
}

/* Where a body lies: sha256 ones in _manifests, others in _manifests/ALG. */
fs::path body_file(const char *repo, const std::string &digest)
{
    const size_t colon = digest.find(':');
    const std::string algorithm = digest.substr(0, colon);
    fs::path dir = g_repos / repo / "_manifests";
    if (algorithm != "sha256") dir /= algorithm;
    return dir / digest.substr(colon + 1);
}

bool manifest_stored(const std::string &digest)
{
    for (const char *repo : {kBaseRepo, kRepo})
        if (fs::is_regular_file(body_file(repo, digest))) return true;
    return false;
}

bool has_manifests(string_view body)
{
    fuzz::doc_ptr doc = fuzz::parse_json(body.data(), body.size());
    return member(yyjson_doc_get_root(doc.get()), "manifests") != nullptr;
}

/* The algorithm a push by tag names the manifest by: its config's, or its
 * first index entry's. */
digest_algorithm content_algorithm(string_view body)
{
    fuzz::doc_ptr doc = fuzz::parse_json(body.data(), body.size());
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *list = member(root, "manifests");
    const std::string d = digest_in(list ? yyjson_arr_get_first(list) : member(root, "config"));
    return d.rfind("sha512:", 0) == 0 ? DIGEST_SHA512 : DIGEST_SHA256;
}

/* A layer a push need not store: of a foreign type, with urls to pull it
 * from. */
bool foreign_with_urls(yyjson_val *layer)
{
    yyjson_val *mt = member(layer, "mediaType");
    const char *type = yyjson_get_str(mt);
    if (!type || strlen(type) != yyjson_get_len(mt)) return false;
    const string_view t(type);
    if (t != "application/vnd.oci.image.layer.nondistributable.v1.tar" &&
        t != "application/vnd.oci.image.layer.nondistributable.v1.tar+gzip" &&
        t != "application/vnd.oci.image.layer.nondistributable.v1.tar+zstd" &&
        t != "application/vnd.docker.image.rootfs.foreign.diff.tar.gzip")
        return false;
    yyjson_val *urls = member(layer, "urls");
    if (!yyjson_is_arr(urls) || yyjson_arr_size(urls) == 0) return false;
    size_t i, max;
    yyjson_val *u;
    yyjson_arr_foreach(urls, i, max, u)
    {
        if (!yyjson_is_str(u) || yyjson_get_len(u) == 0) return false;
    }
    return true;
}

/* What a stored body must be: an object whose references are stored. */
void check_stored_body(string_view body, std::string *media_type)
{
    fuzz::doc_ptr doc = fuzz::parse_json(body.data(), body.size());
    FUZZ_CHECK(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    FUZZ_CHECK(yyjson_is_obj(root) && yyjson_obj_size(root) > 0);

    yyjson_val *mt = member(root, "mediaType");
    const char *mt_text = yyjson_get_str(mt);
    if (mt_text && yyjson_get_len(mt) < 256 && strlen(mt_text) == yyjson_get_len(mt))
        *media_type = mt_text;

    if (yyjson_val *list = member(root, "manifests")) {
        FUZZ_CHECK(yyjson_is_arr(list));
        size_t i, max;
        yyjson_val *e;
        yyjson_arr_foreach(list, i, max, e)
        {
            const std::string d = digest_in(e);
            FUZZ_CHECK(!d.empty() && manifest_stored(d));
        }
        return;
    }
    const std::string config = digest_in(member(root, "config"));
    FUZZ_CHECK(!config.empty() && reg_blob_exists(config.c_str()) == 1);
    if (yyjson_val *layers = member(root, "layers")) {
        FUZZ_CHECK(yyjson_is_arr(layers));
        size_t i, max;
        yyjson_val *e;
        yyjson_arr_foreach(layers, i, max, e)
        {
            const std::string d = digest_in(e);
            FUZZ_CHECK(!d.empty() && (reg_blob_exists(d.c_str()) == 1 || foreign_with_urls(e)));
        }
    }
}

/* A string member without a hidden NUL, or null. */
const char *plain_str(yyjson_val *obj, const char *key)
{
    if (!yyjson_is_obj(obj)) return nullptr;
    yyjson_val *v = member(obj, key);
    const char *s = yyjson_get_str(v);
    return s && strlen(s) == yyjson_get_len(v) ? s : nullptr;
}

bool known_index_type(const std::string &t)
{
    return t == "application/vnd.oci.image.index.v1+json" ||
           t == "application/vnd.docker.distribution.manifest.list.v2+json";
}

bool known_image_type(const std::string &t)
{
    return t == "application/vnd.oci.image.manifest.v1+json" || t == kDefaultType;
}

/* The referrers of subject in "fuzz" through filter, parsed; the entries'
 * array, or null when the listing was refused. */
fuzz::doc_ptr referrers(const std::string &subject, const char *filter, yyjson_val **out_list)
{
    int truncated = -1;
    const char *json = reg_referrers_json(kRepo, subject.c_str(), filter, &truncated);
    *out_list = nullptr;
    if (!json) return nullptr;
    FUZZ_CHECK(truncated == 0);
    fuzz::doc_ptr doc = fuzz::parse_json(json, strlen(json));
    FUZZ_CHECK(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    FUZZ_CHECK(
        yyjson_equals_str(member(root, "mediaType"), "application/vnd.oci.image.index.v1+json"));
    *out_list = member(root, "manifests");
    FUZZ_CHECK(yyjson_is_arr(*out_list));
    return doc;
}

/* The subject of a stored body and its entry in the referrers index. */
void check_subject(string_view body, const std::string &digest, const std::string &filter_line,
                   bool have_filter)
{
    fuzz::doc_ptr doc = fuzz::parse_json(body.data(), body.size());
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *subject = member(root, "subject");
    char named[kDigestCap] = "x";
    FUZZ_CHECK(reg_manifest_subject(body.data(), body.size(), named) == 0);
    if (!subject) {
        FUZZ_CHECK(named[0] == '\0');
        return;
    }
    FUZZ_CHECK(yyjson_is_obj(subject));
    const std::string s = digest_in(subject);
    FUZZ_CHECK(!s.empty() && s == named);

    const char *media = plain_str(root, "mediaType");
    const char *artifact = plain_str(root, "artifactType");
    if (!artifact || !*artifact) artifact = plain_str(member(root, "config"), "mediaType");

    yyjson_val *list = nullptr;
    fuzz::doc_ptr listing = referrers(s, nullptr, &list);
    FUZZ_CHECK(listing && yyjson_arr_size(list) == 1);
    yyjson_val *e = yyjson_arr_get_first(list);
    FUZZ_CHECK(yyjson_equals_str(member(e, "digest"), digest.c_str()));
    FUZZ_CHECK(yyjson_is_uint(member(e, "size")) &&
               yyjson_get_uint(member(e, "size")) == body.size());
    FUZZ_CHECK(yyjson_equals_str(member(e, "mediaType"),
                                 media ? media : "application/vnd.oci.image.manifest.v1+json"));
    if (artifact)
        FUZZ_CHECK(yyjson_equals_str(member(e, "artifactType"), artifact));
    else
        FUZZ_CHECK(member(e, "artifactType") == nullptr);
    yyjson_val *annotations = member(root, "annotations");
    if (yyjson_is_obj(annotations))
        FUZZ_CHECK(yyjson_equals(member(e, "annotations"), annotations));
    else
        FUZZ_CHECK(member(e, "annotations") == nullptr);

    const std::string filter = have_filter ? filter_line : (artifact ? artifact : "");
    listing = referrers(s, filter.c_str(), &list);
    if (filter.size() > 255) {
        FUZZ_CHECK(!listing);
        return;
    }
    FUZZ_CHECK(listing != nullptr);
    const bool listed = filter.empty() || (artifact && filter == artifact);
    FUZZ_CHECK(yyjson_arr_size(list) == (listed ? 1u : 0u));
}

/* After a delete by digest, neither the listing nor the link file holds it. */
void check_unlinked(const std::string &subject, const std::string &digest)
{
    yyjson_val *list = nullptr;
    fuzz::doc_ptr listing = referrers(subject, nullptr, &list);
    FUZZ_CHECK(listing && yyjson_arr_size(list) == 0);
    const size_t s = subject.find(':'), d = digest.find(':');
    FUZZ_CHECK(!fs::exists(g_repos / kRepo / "_manifests" / "referrers" / subject.substr(0, s) /
                           subject.substr(s + 1) / digest.substr(d + 1)));
}

/* The content type the engine stores (its choice rule). */
std::string chosen_type(const char *given, const std::string &media_type)
{
    if (given && *given)
        return !media_type.empty() && strcmp(given, kDefaultType) == 0 ? media_type : given;
    return media_type.empty() ? kDefaultType : media_type;
}

void check_read_back(const char *ref, string_view body, const std::string &digest,
                     const std::string &type)
{
    fuzz::buffer got_type(kTypeCap), got_digest(kDigestCap);
    const char *got = reg_manifest_get(kRepo, ref, got_type.get(), got_digest.get());
    FUZZ_CHECK(got != nullptr);
    FUZZ_CHECK(strlen(got) == body.size() && memcmp(got, body.data(), body.size()) == 0);
    FUZZ_CHECK(got_digest.terminated() && digest == got_digest.get());
    FUZZ_CHECK(got_type.terminated() && type == got_type.get());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup_once();
    string_view in(reinterpret_cast<const char *>(data), size);
    std::string type_text, ref_text = "latest", filter_text;
    bool have_type = false, have_filter = false;
    while (!in.empty() && in.front() == '#') {
        const size_t nl = in.find('\n');
        const string_view line = in.substr(0, nl);
        in = nl == string_view::npos ? string_view() : in.substr(nl + 1);
        if (line.substr(0, 4) == "#ct:") {
            type_text = fuzz::text(line.substr(4)).c_str();
            have_type = true;
        } else if (line.substr(0, 5) == "#ref:") {
            ref_text = fuzz::text(line.substr(5)).c_str();
        } else if (line.substr(0, 8) == "#filter:") {
            filter_text = fuzz::text(line.substr(8)).c_str();
            have_filter = true;
        }
    }
    const string_view body = in;
    if (ref_text == "@") ref_text = digest_of(body);
    if (ref_text == "@512") ref_text = digest_of(body, DIGEST_SHA512);
    const fuzz::text ref(ref_text);
    const fuzz::text type(type_text);
    const char *given = have_type ? type.c_str() : nullptr;

    fuzz::buffer out(kDigestCap);
    /* An empty body still has an address: NULL means "no body". */
    const char *body_ptr = body.data() ? body.data() : "";
    const int rc = reg_manifest_put(kRepo, ref.c_str(), body_ptr, body.size(), given, out.get());
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(*reg_storage_last_error() != '\0');
        FUZZ_CHECK(!fs::exists(g_repos / kRepo)); /* refused before anything was written */
    } else {
        /* A digest reference keeps its algorithm; a tag push takes the
         * content's. */
        const bool by_digest = ref_text.find(':') != std::string::npos;
        const std::string digest =
            digest_of(body, by_digest ? digest_algorithm_of(ref.c_str()) : content_algorithm(body));
        FUZZ_CHECK(out.terminated() && digest == out.get());
        std::string media_type;
        check_stored_body(body, &media_type);
        const std::string stored_type = chosen_type(given, media_type);
        FUZZ_CHECK(stored_type.size() <= 126);
        for (unsigned char c : stored_type)
            FUZZ_CHECK(c >= 0x20 && c != 0x7f);
        /* The default type given beside a body naming its own counts as none. */
        std::string given_kind = given ? given : "";
        if (given_kind == kDefaultType && !media_type.empty()) given_kind.clear();
        for (const std::string &t : {given_kind, media_type}) {
            if (known_index_type(t)) FUZZ_CHECK(has_manifests(body));
            if (known_image_type(t)) FUZZ_CHECK(!has_manifests(body));
        }
        check_read_back(digest.c_str(), body, digest, stored_type);
        if (!by_digest) check_read_back(ref.c_str(), body, digest, stored_type);
        check_subject(body, digest, filter_text, have_filter);
        char subject[kDigestCap];
        FUZZ_CHECK(reg_manifest_subject(body_ptr, body.size(), subject) == 0);
        FUZZ_CHECK(reg_manifest_delete(kRepo, digest.c_str()) == 0);
        if (subject[0]) check_unlinked(subject, digest);
    }

    if (fs::exists(g_repos / kRepo)) FUZZ_CHECK(reg_repo_delete(kRepo) == 0);
    size_t entries = 0;
    for (const auto &e : fs::directory_iterator(g_repos)) {
        FUZZ_CHECK(e.path().filename() == kBaseRepo);
        ++entries;
    }
    FUZZ_CHECK(entries == 1);
    return 0;
}
