/* sha512 beside sha256 in the engine: blobs under blobs/sha512, uploads
 * finished by a sha512 digest, manifests kept under the digest they were
 * pushed by, the referrers of a sha512 subject, and collection, listing,
 * quarantine and counts over both algorithms. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "gc_fixture.h"
#include "manifest_fixture.h"

namespace
{

namespace fs = std::filesystem;
using blobtest::digest512_of;
using blobtest::digest_of;
using blobtest::hex_of;
using manifesttest::image_json;
using manifesttest::index_json;
using testsupport::read_text;

/* A store holding blobs and manifests of both algorithms. */
class Sha512Store : public manifesttest::ManifestStore
{
  protected:
    /* A sha512 config and a sha256 layer unique to name, and the image
     * naming them pushed by its sha512 digest; the manifest digest. */
    std::string push_mixed(const std::string &repo, const std::string &name)
    {
        const std::string body =
            image_json(store("config of " + name, DIGEST_SHA512), {store("layer of " + name)});
        const std::string digest = digest512_of(body);
        EXPECT_EQ(put(repo, digest, body), digest) << error();
        return digest;
    }

    static std::string referrer_json(const std::string &config, const std::string &subject,
                                     const std::string &artifact)
    {
        return "{\"schemaVersion\":2,\"artifactType\":\"" + artifact +
               "\",\"config\":{\"digest\":\"" + config +
               "\",\"size\":1},\"layers\":[],\"subject\":{\"digest\":\"" + subject +
               "\",\"size\":1}}";
    }

    /* The digests of a referrers listing, in its order. */
    static std::vector<std::string> referrers(const std::string &repo, const std::string &subject)
    {
        const char *json = reg_referrers_json(repo.c_str(), subject.c_str(), nullptr, nullptr);
        EXPECT_NE(json, nullptr) << error();
        std::vector<std::string> out;
        yyjson_doc *doc = json ? yyjson_read(json, std::strlen(json), 0) : nullptr;
        size_t i, n;
        yyjson_val *e;
        yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "manifests"), i, n, e)
            out.push_back(yyjson_get_str(yyjson_obj_get(e, "digest")));
        yyjson_doc_free(doc);
        return out;
    }
};

TEST_F(Sha512Store, BlobsFinishedInChunksLieUnderTheirAlgorithm)
{
    const std::string data = blobtest::pseudo_random(300000, 5);
    const std::string digest = digest512_of(data);
    char id[37], out[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    /* Appends keep a sha256 state; the sha512 finish reads the file. */
    for (size_t at = 0; at < data.size(); at += 70000)
        ASSERT_EQ(
            reg_blob_append_chunk(id, data.data() + at, std::min<size_t>(70000, data.size() - at)),
            0);
    ASSERT_EQ(reg_blob_finish_upload(id, digest.c_str(), out), 0) << error();
    EXPECT_EQ(out, digest);
    EXPECT_EQ(read_text(blob_path(digest)), data);
    EXPECT_TRUE(
        fs::is_directory(fs::path(root) / "blobs" / "sha512" / hex_of(digest).substr(0, 2)));
    EXPECT_FALSE(fs::exists(upload_path(id)));

    EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), static_cast<int64_t>(data.size()));
    char path[4096];
    int64_t size = 0;
    ASSERT_EQ(reg_blob_locate(digest.c_str(), path, sizeof path, &size), 0);
    EXPECT_EQ(fs::path(path), fs::path(blob_path(digest)));
    /* The same bytes by their sha256 digest are not stored: another name. */
    EXPECT_EQ(reg_blob_exists(digest_of(data).c_str()), 0);
    const std::string same = store(data);
    EXPECT_EQ(reg_blob_exists(same.c_str()), 1);

    ASSERT_EQ(reg_blob_delete(digest.c_str()), 0);
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 0);
    EXPECT_FALSE(fs::exists(fan_dir(digest))) << "the emptied fan-out directory goes";
    EXPECT_EQ(reg_blob_exists(same.c_str()), 1);
}

TEST_F(Sha512Store, AFinishOfTheWrongSha512DigestStoresNothing)
{
    const std::string id = upload("sha512 content");
    char out[DIGEST_TEXT_CAP] = "untouched";
    const struct {
        const char *label;
        std::string digest;
    } cases[] = {
        {"other content", digest512_of("other content")},
        /* The sha512 text of the upload's own sha256 digits, twice over. */
        {"sha256 digits doubled",
         "sha512:" + hex_of(digest_of("sha512 content")) + hex_of(digest_of("sha512 content"))},
    };
    for (const auto &c : cases) {
        const std::string again = upload("sha512 content");
        EXPECT_EQ(reg_blob_finish_upload(again.c_str(), c.digest.c_str(), out), -1) << c.label;
        EXPECT_EQ(error().rfind("digest mismatch: expected " + c.digest + ", got " +
                                    digest512_of("sha512 content"),
                                0),
                  0u)
            << c.label << ": " << error();
        EXPECT_FALSE(fs::exists(upload_path(again))) << c.label;
        EXPECT_FALSE(fs::exists(blob_path(c.digest))) << c.label;
    }
    EXPECT_STREQ(out, "untouched");
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest512_of("sha512 content").c_str(), out), 0);
}

TEST_F(Sha512Store, AManifestPushedBySha512IsKeptAndServedByIt)
{
    const std::string digest = push_mixed("team/app", "one");
    const std::string body = read_text(body_file("team/app", digest).string());
    ASSERT_FALSE(body.empty()) << "the body lies in _manifests/sha512";
    EXPECT_EQ(digest512_of(body), digest);
    EXPECT_TRUE(fs::is_regular_file(type_file("team/app", digest)));
    EXPECT_EQ(read_text((rev_dir("team/app", digest) / "link").string()), digest);

    const got g = get("team/app", digest);
    ASSERT_TRUE(g.ok) << error();
    EXPECT_EQ(g.body, body);
    EXPECT_EQ(g.digest, digest);
    const located l = locate("team/app", digest);
    ASSERT_TRUE(l.ok) << error();
    EXPECT_EQ(l.digest, digest);
    EXPECT_EQ(l.size, static_cast<int64_t>(body.size()));
    /* Never pushed by its sha256 digest. */
    EXPECT_FALSE(get("team/app", digest_of(body)).ok);
    EXPECT_EQ(error().rfind("manifest not found", 0), 0u) << error();

    /* By tag the body is named by its config's algorithm (sha512 here):
     * the same manifest, as its pusher computed it. */
    EXPECT_EQ(put("team/app", "v1", body), digest);
    EXPECT_EQ(get("team/app", "v1").digest, digest);
    EXPECT_FALSE(get("team/app", digest_of(body)).ok);

    /* A body that does not hash to the reference is refused. */
    EXPECT_EQ(put("team/app", digest512_of("another body"), body), "");
    EXPECT_EQ(error().rfind("digest mismatch: expected " + digest512_of("another body") + ", got " +
                                digest,
                            0),
              0u)
        << error();

    /* A delete by the sha512 digest removes its files and directory, and
     * with them what the tag named. */
    ASSERT_EQ(reg_manifest_delete("team/app", digest.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(body_file("team/app", digest)));
    EXPECT_FALSE(fs::exists(type_file("team/app", digest)));
    EXPECT_FALSE(fs::exists(rev_dir("team/app", digest)));
    EXPECT_FALSE(fs::exists(body_dir("team/app", digest)));
    EXPECT_FALSE(get("team/app", "v1").ok);
}

TEST_F(Sha512Store, ReferencesOfEitherAlgorithmValidate)
{
    const std::string stored512 = store("config", DIGEST_SHA512);
    const std::string layer = store("layer");
    const std::string image512 = push_mixed("lib/base", "base");
    const struct {
        const char *label;
        std::string body;
        bool ok;
    } cases[] = {
        {"sha512 config, sha256 layer", image_json(stored512, {layer}), true},
        {"sha512 layer", image_json(layer, {stored512}), true},
        {"sha512 config stored only as sha256", image_json(digest512_of("layer"), {layer}), false},
        {"index of a sha512 manifest in another repository", index_json({image512}), true},
        {"index of a sha512 manifest not stored", index_json({digest512_of("none")}), false},
        {"sha384 config", image_json("sha384:" + std::string(96, 'a'), {layer}), false},
    };
    for (const auto &c : cases) {
        const std::string digest = put("team/app", "v1", c.body);
        EXPECT_EQ(!digest.empty(), c.ok) << c.label << ": " << error();
    }
}

TEST_F(Sha512Store, ReferrersOfASha512Subject)
{
#ifdef _WIN32
    /* .../referrers/sha512/<128 hex>/<64 or 128 hex>: the Win32 backend
     * does not use long paths yet. */
    GTEST_SKIP() << "referrer links of a sha512 subject pass Windows' 260-byte path limit";
#endif
    const std::string subject = push_mixed("team/app", "subject");
    const std::string config = store("sig config");
    const std::string sig256 = referrer_json(config, subject, "application/x-a");
    const std::string sig512 = referrer_json(config, subject, "application/x-b");
    ASSERT_NE(put("team/app", digest_of(sig256), sig256), "") << error();
    ASSERT_NE(put("team/app", digest512_of(sig512), sig512), "") << error();
    char named[DIGEST_TEXT_CAP];
    ASSERT_EQ(reg_manifest_subject(sig512.data(), sig512.size(), named), 0);
    EXPECT_EQ(named, subject);

    EXPECT_TRUE(fs::is_regular_file(manifests("team/app") / "referrers" / "sha512" /
                                    hex_of(subject) / hex_of(digest512_of(sig512))));
    const std::vector<std::string> both = {digest_of(sig256), digest512_of(sig512)};
    EXPECT_EQ(referrers("team/app", subject), both);
    /* Same digits, other algorithm: another subject. */
    EXPECT_EQ(referrers("team/app", "sha512:" + std::string(128, '0')), std::vector<std::string>{});

    ASSERT_EQ(reg_manifest_delete("team/app", digest512_of(sig512).c_str()), 0) << error();
    EXPECT_EQ(referrers("team/app", subject), std::vector<std::string>{digest_of(sig256)});
}

TEST_F(Sha512Store, CollectionListingQuarantineAndCountsSeeBothAlgorithms)
{
    const std::string kept512 = store("kept by a sha512 manifest", DIGEST_SHA512);
    const std::string kept256 = store("kept too");
    const std::string body = image_json(kept512, {kept256});
    const std::string manifest = digest512_of(body);
    ASSERT_EQ(put("team/app", manifest, body), manifest) << error();
    const std::string loose512 = store("named by nothing", DIGEST_SHA512);
    const std::string loose256 = store("named by nothing");

    /* Every blob, both algorithms. */
    std::vector<std::pair<std::string, int64_t>> seen;
    ASSERT_EQ(reg_blob_foreach(
                  [](void *ctx, const char *digest, int64_t size) {
                      static_cast<decltype(seen) *>(ctx)->push_back({digest, size});
                      return 0;
                  },
                  &seen),
              0);
    std::sort(seen.begin(), seen.end());
    std::vector<std::pair<std::string, int64_t>> want = {
        {kept256, 8}, {loose256, 16}, {kept512, 25}, {loose512, 16}};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(seen, want);

    /* The digests a repository's manifests name, a sha512 body's too. */
    std::vector<std::string> named;
    int unread = -1;
    ASSERT_EQ(reg_repo_digests(
                  "team/app",
                  [](void *ctx, const char *digest) {
                      static_cast<std::vector<std::string> *>(ctx)->push_back(digest);
                      return 0;
                  },
                  &named, &unread),
              0);
    EXPECT_EQ(unread, 0);
    std::sort(named.begin(), named.end());
    EXPECT_EQ(named, (std::vector<std::string>{kept256, kept512}));

    const gctest::doc_values stats = gctest::parse_doc(reg_storage_get_stats_json());
    EXPECT_EQ(stats["blobs"], 4);
    EXPECT_EQ(stats["blob_bytes"], 8 + 16 + 25 + 16);

    /* Collection: the unnamed blobs of either algorithm go. */
    for (auto &e : fs::recursive_directory_iterator(fs::path(root) / "blobs"))
        if (e.is_regular_file()) gctest::age(e.path(), gctest::kOld);
    const gctest::doc_values report = gctest::parse_doc(reg_gc_json(0));
    ASSERT_TRUE(report.parsed) << error();
    EXPECT_EQ(report["blobs_deleted"], 2);
    EXPECT_EQ(reg_blob_exists(kept512.c_str()), 1);
    EXPECT_EQ(reg_blob_exists(kept256.c_str()), 1);
    EXPECT_EQ(reg_blob_exists(loose512.c_str()), 0);
    EXPECT_EQ(reg_blob_exists(loose256.c_str()), 0);
    EXPECT_TRUE(get("team/app", manifest).ok);

    /* A sha512 blob moves aside under its hex. */
    char aside[4096];
    ASSERT_EQ(reg_blob_quarantine(kept512.c_str(), aside, sizeof aside), 0) << error();
    EXPECT_EQ(fs::path(aside).filename(), hex_of(kept512));
    EXPECT_EQ(reg_blob_exists(kept512.c_str()), 0);
}

} // namespace
