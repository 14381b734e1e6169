/* The referrers index: which manifests of a repository name a given
 * manifest as their subject, kept by push and delete and listed as an
 * image index. */
#include <gtest/gtest.h>

#include <yyjson.h>

#include <algorithm>
#include <string>
#include <vector>

#include "manifest_fixture.h"

namespace
{

using namespace storage;
using namespace manifesttest;
namespace fs = std::filesystem;
using testsupport::read_text;
using testsupport::write_text;

constexpr char kImageType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr char kSbom[] = "application/vnd.example.sbom.v1+json";
constexpr char kSignature[] = "application/vnd.example.signature.config.v1+json";
constexpr char kEmptyConfig[] = "application/vnd.oci.empty.v1+json";

/* An index listing these descriptors, as the engine writes it. */
std::string index_of(const std::vector<std::string> &descriptors)
{
    std::string s =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[";
    for (size_t i = 0; i < descriptors.size(); ++i)
        s += (i ? "," : "") + descriptors[i];
    return s + "]}";
}

/* What a referrer's body says about itself; nullptr leaves a member out. */
struct Artifact {
    const char *artifact_type = nullptr;
    const char *config_type = nullptr;
    const char *annotations = nullptr; /* minified JSON object */
    const char *media_type = kImageType;
};

/* A store with a pushed subject image and helpers for its referrers. */
class ReferrerStore : public ManifestStore
{
  protected:
    void SetUp() override
    {
        ManifestStore::SetUp();
        subject = push_image("app", "v1", "subject");
    }

    /* A referrer body over its own config blob (unique to seed). */
    std::string referrer_json(const std::string &subject_digest, const Artifact &a,
                              const std::string &seed)
    {
        const std::string config = store("config of referrer " + seed);
        std::string body = "{\"schemaVersion\":2";
        if (a.media_type) body += ",\"mediaType\":\"" + std::string(a.media_type) + "\"";
        if (a.artifact_type) body += ",\"artifactType\":\"" + std::string(a.artifact_type) + "\"";
        body += ",\"config\":{";
        if (a.config_type) body += "\"mediaType\":\"" + std::string(a.config_type) + "\",";
        body += "\"digest\":\"" + config + "\",\"size\":1},\"layers\":[],\"subject\":{";
        body += "\"mediaType\":\"" + std::string(kImageType) + "\",\"digest\":\"" + subject_digest +
                "\",\"size\":1}";
        if (a.annotations) body += ",\"annotations\":" + std::string(a.annotations);
        return body + "}";
    }
    /* Pushes a referrer of subject_digest into repo by its digest; the body. */
    std::string push_referrer(const std::string &repo, const std::string &subject_digest,
                              const Artifact &a, const std::string &seed)
    {
        const std::string body = referrer_json(subject_digest, a, seed);
        EXPECT_EQ(put(repo, digest_of(body), body), digest_of(body)) << error();
        return body;
    }

    /* The descriptor the listing gives for body. */
    static std::string descriptor(const std::string &body, const char *media_type,
                                  const char *artifact_type, const char *annotations = nullptr)
    {
        std::string s = "{\"mediaType\":\"" + std::string(media_type) + "\",\"digest\":\"" +
                        digest_of(body) + "\",\"size\":" + std::to_string(body.size());
        if (artifact_type) s += ",\"artifactType\":\"" + std::string(artifact_type) + "\"";
        if (annotations) s += ",\"annotations\":" + std::string(annotations);
        return s + "}";
    }
    /* The descriptors in the order of their digests, as listed. */
    static std::vector<std::string> by_digest(std::vector<std::pair<std::string, std::string>> d)
    {
        std::sort(d.begin(), d.end());
        std::vector<std::string> out;
        for (auto &p : d)
            out.push_back(p.second);
        return out;
    }

    /* The listing, or "<error>" with the engine's message. */
    static std::string referrers(const std::string &repo, const std::string &subject_digest,
                                 const char *filter = nullptr, int *truncated = nullptr)
    {
        const char *json =
            reg_referrers_json(repo.c_str(), subject_digest.c_str(), filter, truncated);
        return json ? json : "<error> " + error();
    }

    fs::path link_of(const std::string &repo, const std::string &subject_digest,
                     const std::string &digest) const
    {
        return manifests(repo) / "referrers" / "sha256" / subject_digest.substr(7) /
               digest.substr(7);
    }

    std::string subject;
};

TEST_F(ReferrerStore, ListsEachReferrerOnceByDigestWithItsDescriptor)
{
    const std::string sbom = push_referrer(
        "app", subject, {kSbom, kEmptyConfig, "{\"org.example.created\":\"2026-01-01\"}"}, "sbom");
    const std::string signature = push_referrer("app", subject, {nullptr, kSignature}, "sig");
    const std::string plain = push_referrer("app", subject, {}, "plain");
    // Tags on a referrer add no second entry.
    ASSERT_EQ(put("app", "sbom-a", sbom), digest_of(sbom)) << error();
    ASSERT_EQ(put("app", "sbom-b", sbom), digest_of(sbom)) << error();
    // Neither a referrer of another subject nor an image without one is listed.
    push_referrer("app", digest_of("another subject"), {kSbom}, "elsewhere");
    push_image("app", "v2", "unrelated");

    int truncated = 7;
    EXPECT_EQ(referrers("app", subject, nullptr, &truncated),
              index_of(by_digest({
                  {digest_of(sbom),
                   descriptor(sbom, kImageType, kSbom, "{\"org.example.created\":\"2026-01-01\"}")},
                  {digest_of(signature), descriptor(signature, kImageType, kSignature)},
                  {digest_of(plain), descriptor(plain, kImageType, nullptr)},
              })));
    EXPECT_EQ(truncated, 0);
    for (const std::string *body : {&sbom, &signature, &plain}) {
        const std::string digest = digest_of(*body);
        EXPECT_EQ(read_text(link_of("app", subject, digest)), digest);
    }
}

/* Subjects need not be stored: a referrer may be pushed before it. */
TEST_F(ReferrerStore, AnIndexAndAReferrerOfAnUnstoredSubjectAreListed)
{
    const std::string absent = digest_of("not pushed yet");
    const std::string referrer = push_referrer("app", absent, {kSbom}, "early");
    const std::string index = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) +
                              "\",\"artifactType\":\"" + kSbom +
                              "\",\"manifests\":[{\"digest\":\"" + subject +
                              "\"}],\"subject\":{\"digest\":\"" + absent + "\"}}";
    ASSERT_EQ(put("app", "idx", index), digest_of(index)) << error();
    EXPECT_EQ(referrers("app", absent),
              index_of(by_digest({{digest_of(referrer), descriptor(referrer, kImageType, kSbom)},
                                  {digest_of(index), descriptor(index, kIndexType, kSbom)}})));
}

TEST_F(ReferrerStore, ArtifactTypeComesFromTheBodyElseItsConfig)
{
    const struct {
        const char *label;
        Artifact artifact;
        const char *media_type, *artifact_type; /* as listed */
    } cases[] = {
        {"its own type over the config's", {kSbom, kEmptyConfig}, kImageType, kSbom},
        {"the config's type", {nullptr, kSignature}, kImageType, kSignature},
        {"neither", {nullptr, nullptr}, kImageType, nullptr},
        {"no media type: an image manifest", {kSbom, nullptr, nullptr, nullptr}, kImageType, kSbom},
        {"docker media type kept",
         {kSbom, nullptr, nullptr, "application/vnd.docker.distribution.manifest.v2+json"},
         "application/vnd.docker.distribution.manifest.v2+json",
         kSbom},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string of = digest_of(c.label);
        const std::string body = push_referrer("app", of, c.artifact, c.label);
        EXPECT_EQ(referrers("app", of),
                  index_of({descriptor(body, c.media_type, c.artifact_type)}));
    }
}

/* An empty artifactType is no type: the config's stands in, as when it is
 * missing. */
TEST_F(ReferrerStore, AnEmptyArtifactTypeFallsBackToTheConfigType)
{
    const std::string body = push_referrer("app", subject, {"", kSignature}, "empty");
    EXPECT_EQ(referrers("app", subject), index_of({descriptor(body, kImageType, kSignature)}));
    EXPECT_EQ(referrers("app", subject, kSignature),
              index_of({descriptor(body, kImageType, kSignature)}));
}

TEST_F(ReferrerStore, FilterKeepsOnlyTheArtifactTypeAsked)
{
    const std::string sbom1 = push_referrer("app", subject, {kSbom}, "sbom1");
    const std::string sbom2 = push_referrer("app", subject, {kSbom, kEmptyConfig}, "sbom2");
    const std::string sig = push_referrer("app", subject, {nullptr, kSignature}, "sig");
    const std::string d_sbom1 = descriptor(sbom1, kImageType, kSbom);
    const std::string d_sbom2 = descriptor(sbom2, kImageType, kSbom);
    const std::string d_sig = descriptor(sig, kImageType, kSignature);
    const std::string longest(255, 't');
    const struct {
        const char *filter;
        std::string want;
    } cases[] = {
        {kSbom, index_of(by_digest({{digest_of(sbom1), d_sbom1}, {digest_of(sbom2), d_sbom2}}))},
        {kSignature, index_of({d_sig})}, // matched through the config's type
        {kEmptyConfig, index_of({})},    // a config type its own type overrides
        {"application/vnd.example", index_of({})},
        {"APPLICATION/VND.EXAMPLE.SBOM.V1+JSON", index_of({})},
        {longest.c_str(), index_of({})},
        {"",
         index_of(by_digest(
             {{digest_of(sbom1), d_sbom1}, {digest_of(sbom2), d_sbom2}, {digest_of(sig), d_sig}}))},
        {nullptr,
         index_of(by_digest(
             {{digest_of(sbom1), d_sbom1}, {digest_of(sbom2), d_sbom2}, {digest_of(sig), d_sig}}))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.filter ? std::string(c.filter).substr(0, 40) : "(null)");
        EXPECT_EQ(referrers("app", subject, c.filter), c.want);
    }
    EXPECT_EQ(referrers("app", subject, std::string(256, 't').c_str()),
              "<error> artifact type too long (max 255 bytes)");
}

TEST_F(ReferrerStore, DeletesKeepTheListingToWhatCanBeFetched)
{
    const std::string kept = push_referrer("app", subject, {kSbom}, "kept");
    const std::string by_digest_body = push_referrer("app", subject, {kSbom}, "by digest");
    const std::string by_tag = push_referrer("app", subject, {kSbom}, "by tag");
    ASSERT_EQ(put("app", "t", by_tag), digest_of(by_tag)) << error();
    ASSERT_EQ(put("app", "k", kept), digest_of(kept)) << error();
    auto listed = [&](const std::vector<const std::string *> &bodies) {
        std::vector<std::pair<std::string, std::string>> d;
        for (const std::string *b : bodies)
            d.push_back({digest_of(*b), descriptor(*b, kImageType, kSbom)});
        return index_of(by_digest(d));
    };

    // By digest: the link goes with the manifest.
    ASSERT_EQ(reg_manifest_delete("app", digest_of(by_digest_body).c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(link_of("app", subject, digest_of(by_digest_body))));
    EXPECT_EQ(referrers("app", subject), listed({&kept, &by_tag}));

    // A tag alone: the manifest stays, and so does its entry.
    ASSERT_EQ(reg_tag_delete("app", "k"), 0) << error();
    EXPECT_EQ(referrers("app", subject), listed({&kept, &by_tag}));

    // The last tag by a manifest delete: the manifest is gone, its link is
    // skipped, and a new push lists it again.
    ASSERT_EQ(reg_manifest_delete("app", "t"), 0) << error();
    EXPECT_EQ(referrers("app", subject), listed({&kept}));
    ASSERT_EQ(put("app", digest_of(by_tag), by_tag), digest_of(by_tag)) << error();
    EXPECT_EQ(referrers("app", subject), listed({&kept, &by_tag}));

    // The subject's own delete leaves its referrers.
    ASSERT_EQ(reg_manifest_delete("app", subject.c_str()), 0) << error();
    EXPECT_EQ(referrers("app", subject), listed({&kept, &by_tag}));

    // The last referrer gone by digest: its subject's directory too.
    for (const std::string *b : {&kept, &by_tag})
        ASSERT_EQ(reg_manifest_delete("app", digest_of(*b).c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(link_of("app", subject, subject).parent_path()));
    EXPECT_EQ(referrers("app", subject), index_of({}));

    push_referrer("app", subject, {kSbom}, "again");
    ASSERT_EQ(reg_repo_delete("app"), 0) << error();
    EXPECT_EQ(referrers("app", subject), index_of({}));
}

TEST_F(ReferrerStore, EntriesWithoutAReadableManifestAreSkipped)
{
    const std::string good = push_referrer("app", subject, {kSbom}, "good");
    const fs::path dir = link_of("app", subject, subject).parent_path();
    const std::string text = digest_of("not json"), array = digest_of("array");
    const std::string nobody = digest_of("no body"), subdir = digest_of("a directory");
    write_text(body_file("app", text), "not json");
    write_text(body_file("app", array), "[1,2]");
    for (const std::string &d : {text, array, nobody})
        write_text(dir / d.substr(7), d);
    fs::create_directory(dir / subdir.substr(7));
    write_text(body_file("app", subdir), referrer_json(subject, {kSbom}, "dir"));
    // Names that are no digest: a temporary, upper case, one digit short.
    const std::string upper = "sha256:" + std::string(64, 'A');
    write_text(body_file("app", upper), read_text(body_file("app", digest_of(good))));
    write_text(dir / upper.substr(7), upper);
    write_text(dir / (digest_of(good).substr(7) + ".tmp"), digest_of(good));
    write_text(dir / digest_of(good).substr(8), digest_of(good));

    EXPECT_EQ(referrers("app", subject), index_of({descriptor(good, kImageType, kSbom)}));
}

TEST_F(ReferrerStore, EachRepositoryHasItsOwnIndex)
{
    const std::string there = push_referrer("other", subject, {kSbom}, "there");
    EXPECT_EQ(referrers("app", subject), index_of({}));
    EXPECT_EQ(referrers("other", subject), index_of({descriptor(there, kImageType, kSbom)}));
    EXPECT_EQ(referrers("never/pushed", subject), index_of({}));
}

TEST_F(ReferrerStore, QueriesOfTheWrongFormAreRefused)
{
    const std::string upper = "sha256:" + std::string(64, 'A');
    const std::string bare = subject.substr(7), longer = subject + "0";
    const struct {
        const char *repo, *digest;
        std::string message;
    } cases[] = {
        {nullptr, subject.c_str(), "NULL argument"},
        {"app", nullptr, "NULL argument"},
        {"", subject.c_str(), "invalid repository name"},
        {"a b", subject.c_str(), "invalid repository name"},
        {"a/../app", subject.c_str(), "invalid repository name"},
        {"app", upper.c_str(), "invalid digest"},
        {"app", "sha256:../../../config.json", "invalid digest"},
        {"app", bare.c_str(), "invalid digest"},
        {"app", longer.c_str(), "invalid digest"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        int truncated = 1;
        EXPECT_EQ(reg_referrers_json(c.repo, c.digest, nullptr, &truncated), nullptr);
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(truncated, 0);
    }
    reg_storage_cleanup();
    EXPECT_EQ(referrers("app", subject), "<error> " + std::string(kNotInitialized));
}

/* Text from the bodies is escaped, so the listing stays valid JSON. */
TEST_F(ReferrerStore, TextFromBodiesIsEscaped)
{
    const std::string body = push_referrer(
        "app", subject,
        {"application/x\\\"q\\\\b\\t", nullptr, "{\"k\\\"\":\"v\\n\\u0001\\u00e9\"}", "type/\\\"q"},
        "escaped");
    const std::string listing = referrers("app", subject);
    yyjson_doc *doc = yyjson_read(listing.data(), listing.size(), 0);
    ASSERT_NE(doc, nullptr) << listing;
    yyjson_val *entry = yyjson_arr_get(yyjson_obj_get(yyjson_doc_get_root(doc), "manifests"), 0);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "mediaType")), "type/\"q");
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "artifactType")), "application/x\"q\\b\t");
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_obj_get(entry, "annotations"), "k\"")),
                 "v\n\x01\xc3\xa9");
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "digest")), digest_of(body).c_str());
    yyjson_doc_free(doc);
}

/* More than the result buffer holds: whole descriptors in digest order up
 * to the cut, still valid JSON, and the cut reported. */
TEST_F(ReferrerStore, ALongListIsCutBetweenDescriptors)
{
    const std::string pad(300000, 'p');
    std::vector<std::pair<std::string, std::string>> all;
    for (int i = 0; i < 5; ++i) {
        const std::string annotations = "{\"pad\":\"" + std::to_string(i) + pad + "\"}";
        const std::string body = push_referrer(
            "app", subject, {kSbom, nullptr, annotations.c_str()}, "big " + std::to_string(i));
        all.push_back({digest_of(body), descriptor(body, kImageType, kSbom, annotations.c_str())});
    }
    const std::string small = push_referrer("app", subject, {kSignature}, "small");
    all.push_back({digest_of(small), descriptor(small, kImageType, kSignature)});
    const std::vector<std::string> sorted = by_digest(all);

    int truncated = 0;
    const std::string listing = referrers("app", subject, nullptr, &truncated);
    EXPECT_EQ(truncated, 1);
    EXPECT_LT(listing.size(), size_t{1048576});
    yyjson_doc *doc = yyjson_read(listing.data(), listing.size(), 0);
    ASSERT_NE(doc, nullptr) << "not valid JSON";
    const size_t count = yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(doc), "manifests"));
    yyjson_doc_free(doc);
    ASSERT_GE(count, 3u); // 300 kB each: three fit in 1 MiB
    ASSERT_LT(count, sorted.size());
    EXPECT_EQ(listing, index_of(std::vector<std::string>(sorted.begin(), sorted.begin() + count)));

    // A filter that leaves what fits lists it whole.
    EXPECT_EQ(referrers("app", subject, kSignature, &truncated),
              index_of({descriptor(small, kImageType, kSignature)}));
    EXPECT_EQ(truncated, 0);
}

TEST(ManifestSubject, DigestOfTheSubjectABodyNames)
{
    const std::string digest = "sha256:" + std::string(64, 'c');
    const std::string upper = "sha256:" + std::string(64, 'C');
    const struct {
        const char *label;
        std::string body;
        int rc;
        std::string out;
    } cases[] = {
        {"no subject", "{\"config\":{}}", 0, ""},
        {"a subject", "{\"subject\":{\"digest\":\"" + digest + "\",\"size\":3}}", 0, digest},
        {"a subject of its digest alone", "{\"subject\":{\"digest\":\"" + digest + "\"}}", 0,
         digest},
        {"subject null", "{\"subject\":null}", -1, ""},
        {"subject a string", "{\"subject\":\"" + digest + "\"}", -1, ""},
        {"subject without digest", "{\"subject\":{}}", -1, ""},
        {"digest upper case", "{\"subject\":{\"digest\":\"" + upper + "\"}}", -1, ""},
        {"digest cut short", "{\"subject\":{\"digest\":\"" + digest.substr(1) + "\"}}", -1, ""},
        {"digest with a hidden NUL",
         "{\"subject\":{\"digest\":\"" + digest.substr(0, 70) + "\\u0000\"}}", -1, ""},
        {"not JSON", "subject", -1, ""},
        {"an array", "[{\"subject\":{}}]", -1, ""},
        {"empty", "", -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        char out[DIGEST_TEXT_CAP] = "untouched";
        EXPECT_EQ(reg_manifest_subject(c.body.data(), c.body.size(), out), c.rc);
        EXPECT_EQ(std::string(out), c.out);
        if (c.rc != 0) {
            EXPECT_STREQ(reg_storage_last_error(), "manifest subject missing valid digest");
        }
    }
    char out[DIGEST_TEXT_CAP];
    EXPECT_EQ(reg_manifest_subject(nullptr, 0, out), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    EXPECT_EQ(reg_manifest_subject("{}", 2, nullptr), -1);
}

} // namespace
