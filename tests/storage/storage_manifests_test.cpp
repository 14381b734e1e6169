/* Manifests and tags: push, read, delete, repository delete. */
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "manifest_fixture.h"

namespace
{

using namespace storage;
using namespace manifesttest;
namespace fs = std::filesystem;
using testsupport::read_text;
using testsupport::write_text;

constexpr char kDockerType[] = "application/vnd.docker.distribution.manifest.v2+json";
constexpr char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kOciIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr char kDockerListType[] = "application/vnd.docker.distribution.manifest.list.v2+json";

/* Every file under dir, relative, sorted: what a push left behind. */
std::vector<std::string> files_under(const fs::path &dir)
{
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (!e.is_directory()) out.push_back(fs::relative(e.path(), dir).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

using Manifests = ManifestStore;

TEST_F(Manifests, PushByTagWritesBodyTypeRevisionAndTagLink)
{
    const std::string body = image_for("app");
    const std::string digest = digest_of(body);
    const std::string hex = digest.substr(7);
    EXPECT_EQ(put("team/app", "v1", body), digest) << error();

    EXPECT_EQ(files_under(manifests("team/app")),
              (std::vector<std::string>{hex, hex + ".ct", "revisions/sha256/" + hex + "/link",
                                        "tags/v1/current/link"}))
        << "no temporaries are left";
    EXPECT_EQ(read_text(body_file("team/app", digest)), body);
    EXPECT_EQ(read_text(type_file("team/app", digest)), kDockerType);
    EXPECT_EQ(read_text(rev_dir("team/app", digest) / "link"), digest);
    EXPECT_EQ(read_text(tag_link("team/app", "v1")), digest);

    for (const std::string &ref : {std::string("v1"), digest}) {
        got g = get("team/app", ref);
        ASSERT_TRUE(g.ok) << ref << ": " << error();
        EXPECT_EQ(g.body, body);
        EXPECT_EQ(g.type, kDockerType);
        EXPECT_EQ(g.digest, digest);
    }
}

TEST_F(Manifests, PushByDigestWritesNoTagAndReportsTheBodysDigest)
{
    const std::string body = image_for("app");
    EXPECT_EQ(put("app", digest_of(body), body), digest_of(body)) << error();
    EXPECT_FALSE(fs::exists(manifests("app") / "tags"));
    EXPECT_TRUE(get("app", digest_of(body)).ok);
}

/* Stored under its own digest, a body pushed by another one could never be
 * fetched by the reference its pusher holds: refused, nothing written. */
TEST_F(Manifests, PushByADigestTheBodyDoesNotHaveIsRefused)
{
    const std::string body = image_for("app");
    const std::string other = digest_of("something else");
    EXPECT_EQ(put("app", other, body), "");
    EXPECT_EQ(error(), "digest mismatch: expected " + other + ", got " + digest_of(body));
    EXPECT_FALSE(fs::exists(manifests("app") / digest_of(body).substr(7)));
}

TEST_F(Manifests, PushingATagAgainMovesItAndKeepsTheOldManifest)
{
    const std::string first = push_image("app", "v1", "one");
    const std::string second = push_image("app", "v1", "two");
    ASSERT_NE(first, second);
    EXPECT_EQ(read_text(tag_link("app", "v1")), second);
    EXPECT_EQ(get("app", "v1").digest, second);
    EXPECT_TRUE(get("app", first).ok) << "untagged, still stored";
}

TEST_F(Manifests, ContentTypeChoice)
{
    const auto b = blobs_for("ct");
    const std::string long_type(256, 't');
    const struct {
        const char *label;
        std::string media_type; /* in the body; "" for none */
        const char *given;
        std::string stored;
    } cases[] = {
        {"given type wins over the body", kDockerType + std::string("x"), kOciType, kOciType},
        {"default given: the body's type", kOciType, kDockerType, kOciType},
        {"none given: the body's type", kOciType, nullptr, kOciType},
        {"none at all: the default", "", nullptr, kDockerType},
        {"empty given: the default", "", "", kDockerType},
        {"body type of 256 bytes is ignored", long_type, nullptr, kDockerType},
    };
    for (const auto &c : cases) {
        const std::string body = image_json(b[0], {b[1]}, c.media_type);
        const std::string digest = put("app", "t", body, c.given);
        ASSERT_EQ(digest, digest_of(body)) << c.label << ": " << error();
        EXPECT_EQ(read_text(type_file("app", digest)), c.stored) << c.label;
        EXPECT_EQ(get("app", digest).type, c.stored) << c.label;
    }
}

/* Every refused body: its message, and nothing written anywhere. */
TEST_F(Manifests, RefusedBodiesTouchNothing)
{
    const auto b = blobs_for("ok");
    const std::string stored = push_image("elsewhere", "v1", "elsewhere");
    const std::string missing = digest_of("never uploaded");
    const std::string config = "{\"digest\":\"" + b[0] + "\"}";
    const std::string upper = "sha256:" + std::string(64, 'A');
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string huge = "{\"pad\":\"" + std::string(4194304, 'x') + "\"}";
    /* A valid image with one more member. */
    auto with_member = [&](const std::string &m) {
        const std::string image = image_json(b[0], {b[1]});
        return image.substr(0, image.size() - 1) + "," + m + "}";
    };
    /* The same image with another schemaVersion value. */
    auto with_version = [&](const std::string &v) {
        const std::string image = image_json(b[0], {b[1]});
        return "{\"schemaVersion\":" + v + image.substr(image.find(','));
    };
    const struct {
        const char *label;
        std::string body;
        std::string message;
    } cases[] = {
        {"empty body", "", "manifest JSON parse failed"},
        {"not JSON", "hello", "manifest JSON parse failed"},
        {"truncated", "{\"config\":{", "manifest JSON parse failed"},
        {"NUL after the document", std::string("{}\0", 3), "manifest JSON parse failed"},
        {"NUL in a string", std::string("{\"a\":\"x\0\"}", 10), "manifest JSON parse failed"},
        {"trailing garbage", "{} x", "manifest JSON parse failed"},
        {"comment", "{/*c*/}", "manifest JSON parse failed"},
        {"array", "[]", "manifest must be a JSON object"},
        {"string", "\"x\"", "manifest must be a JSON object"},
        {"deeply nested arrays", deep, "manifest must be a JSON object"},
        {"empty object", "{}", "manifest missing valid config.digest"},
        {"no config", "{\"layers\":[]}", "manifest missing valid config.digest"},
        {"config a string", "{\"config\":\"" + b[0] + "\"}",
         "manifest missing valid config.digest"},
        {"config empty", "{\"config\":{}}", "manifest missing valid config.digest"},
        {"config digest a number", "{\"config\":{\"digest\":1}}",
         "manifest missing valid config.digest"},
        {"config digest upper case", "{\"config\":{\"digest\":\"" + upper + "\"}}",
         "manifest missing valid config.digest"},
        {"config digest with a hidden NUL", "{\"config\":{\"digest\":\"" + b[0] + "\\u0000\"}}",
         "manifest missing valid config.digest"},
        {"config blob not stored", "{\"config\":{\"digest\":\"" + missing + "\"}}",
         "BLOB_UNKNOWN: " + missing},
        {"layers an object", "{\"config\":" + config + ",\"layers\":{}}",
         "manifest layers must be an array"},
        {"layer without digest", "{\"config\":" + config + ",\"layers\":[{\"size\":1}]}",
         "manifest layer 0 missing valid digest"},
        {"second layer a string",
         "{\"config\":" + config + ",\"layers\":[" + config + ",\"" + b[1] + "\"]}",
         "manifest layer 1 missing valid digest"},
        {"layer with a path",
         "{\"config\":" + config + ",\"layers\":[{\"digest\":\"sha256:../x\"}]}",
         "manifest layer 0 missing valid digest"},
        {"layer blob not stored",
         "{\"config\":" + config + ",\"layers\":[{\"digest\":\"" + missing + "\"}]}",
         "BLOB_UNKNOWN: " + missing},
        {"manifests an object, valid config", "{\"config\":" + config + ",\"manifests\":{}}",
         "manifest \"manifests\" must be an array"},
        {"empty index of the image type",
         "{\"mediaType\":\"" + std::string(kOciType) + "\",\"manifests\":[]}",
         "manifest body does not match its media type " + std::string(kOciType)},
        {"empty index with a line break in its type", "{\"mediaType\":\"a\\nb\",\"manifests\":[]}",
         "invalid content type"},
        {"second index entry without digest",
         "{\"manifests\":[{\"digest\":\"" + stored + "\"},{\"size\":1}]}",
         "manifest index entry 1 missing valid digest"},
        {"index entry empty object", "{\"manifests\":[{}]}",
         "manifest index entry 0 missing valid digest"},
        {"index entry a number", "{\"manifests\":[1]}",
         "manifest index entry 0 missing valid digest"},
        {"index names nothing stored", index_json({missing}), "BLOB_UNKNOWN: " + missing},
        {"body over 4 MiB", huge, "manifest too large (max 4194304 bytes)"},
        {"chosen body type over 126 bytes", image_json(b[0], {b[1]}, std::string(127, 't')),
         "content type too long (max 126 bytes)"},
        {"body type with a line break", image_json(b[0], {b[1]}, "a\\r\\nSet-Cookie: x"),
         "invalid content type"},
        {"schema version 1", "{\"schemaVersion\":1,\"name\":\"app\",\"fsLayers\":[]}",
         "manifest schema version 1 is not supported"},
        {"schema version 3", with_version("3"), "manifest schemaVersion must be 2"},
        {"schema version a string", with_version("\"2\""), "manifest schemaVersion must be 2"},
        {"schema version 2.0", with_version("2.0"), "manifest schemaVersion must be 2"},
        {"schema version null", with_version("null"), "manifest schemaVersion must be 2"},
        {"image body of the index type", image_json(b[0], {b[1]}, kOciIndexType),
         "manifest body does not match its media type " + std::string(kOciIndexType)},
        {"image body of the list type", image_json(b[0], {b[1]}, kDockerListType),
         "manifest body does not match its media type " + std::string(kDockerListType)},
        {"index body of the image type",
         "{\"mediaType\":\"" + std::string(kOciType) + "\",\"manifests\":[{\"digest\":\"" + stored +
             "\"}]}",
         "manifest body does not match its media type " + std::string(kOciType)},
        {"subject a string", with_member("\"subject\":\"" + stored + "\""),
         "manifest subject missing valid digest"},
        {"subject null", with_member("\"subject\":null"), "manifest subject missing valid digest"},
        {"subject without digest", with_member("\"subject\":{\"size\":1}"),
         "manifest subject missing valid digest"},
        {"subject digest upper case", with_member("\"subject\":{\"digest\":\"" + upper + "\"}"),
         "manifest subject missing valid digest"},
        {"subject digest with a path", with_member("\"subject\":{\"digest\":\"sha256:../../x\"}"),
         "manifest subject missing valid digest"},
        {"subject digest with a hidden NUL",
         with_member("\"subject\":{\"digest\":\"" + stored + "\\u0000\"}"),
         "manifest subject missing valid digest"},
    };
    for (const auto &c : cases) {
        char digest[DIGEST_TEXT_CAP] = "untouched";
        EXPECT_EQ(reg_manifest_put("app", "v1", c.body.data(), c.body.size(), nullptr, digest), -1)
            << c.label;
        EXPECT_EQ(error(), c.message) << c.label;
        EXPECT_STREQ(digest, "untouched") << c.label;
        EXPECT_FALSE(fs::exists(repos() / "app")) << c.label;
    }
}

TEST_F(Manifests, ARefusedPushLeavesTheTagOnTheManifestBefore)
{
    const std::string before = push_image("app", "v1", "one");
    EXPECT_EQ(put("app", "v1", "{\"config\":{}}"), "");
    const std::string body = image_for("two");
    EXPECT_EQ(put("app", "v1", body, std::string(127, 'c').c_str()), "");
    EXPECT_EQ(error(), "content type too long (max 126 bytes)");
    EXPECT_EQ(put("app", "v1", body, "text/plain\r\nX: y"), "");
    EXPECT_EQ(error(), "invalid content type");
    EXPECT_EQ(read_text(tag_link("app", "v1")), before);
    EXPECT_FALSE(fs::exists(body_file("app", digest_of(body))));
}

TEST_F(Manifests, ContentTypeOf126BytesComesBackWhole)
{
    const std::string type(126, 'c');
    const std::string digest = put("app", "v1", image_for("one"), type.c_str());
    ASSERT_FALSE(digest.empty()) << error();
    EXPECT_EQ(get("app", "v1").type, type);
}

TEST_F(Manifests, IndexAcceptsManifestsStoredInAnyRepository)
{
    const std::string here = push_image("app", "amd64", "amd64");
    const std::string elsewhere = push_image("other/place", "arm64", "arm64");
    const std::string body = index_json({here, elsewhere});
    EXPECT_EQ(put("app", "multi", body), digest_of(body)) << error();
    EXPECT_TRUE(get("app", "multi").ok);
}

/* Arguments, initialisation and identifiers are checked in that order,
 * before any file is touched. */
TEST_F(Manifests, ArgumentsAndIdentifiersAreRefusedFirst)
{
    const std::string body = image_for("x");
    const void *b = body.data();
    const size_t n = body.size();
    char digest[DIGEST_TEXT_CAP], type[127];
    const std::string long_tag(129, 't');
    const std::string long_name(256, 'n');
    const struct {
        const char *label;
        const char *repo, *ref;
        std::string put_message, read_message; /* get and delete */
    } cases[] = {
        {"NULL repository", nullptr, "v1", "NULL argument", "NULL argument"},
        {"NULL reference", "app", nullptr, "NULL argument", "NULL argument"},
        {"empty repository", "", "v1", "invalid repository name: ", "invalid repository name"},
        {"repository with a space", "a b", "v1", "invalid repository name: a b",
         "invalid repository name"},
        {"repository with ..", "a/../b", "v1", "invalid repository name: a/../b",
         "invalid repository name"},
        {"repository '.'", ".", "v1", "invalid repository name: .", "invalid repository name"},
        {"repository of 256 bytes", long_name.c_str(), "v1",
         "invalid repository name: " + long_name, "invalid repository name"},
        {"empty reference", "app", "", "empty reference", "invalid tag reference"},
        {"tag climbing out", "app", "../../../../config.json", "invalid tag reference",
         "invalid tag reference"},
        {"tag with a slash", "app", "a/b", "invalid tag reference", "invalid tag reference"},
        {"tag with a backslash", "app", "a\\b", "invalid tag reference", "invalid tag reference"},
        {"tag ..", "app", "..", "invalid tag reference", "invalid tag reference"},
        {"tag with a control byte", "app", "v\x01", "invalid tag reference",
         "invalid tag reference"},
        {"tag of 129 bytes", "app", long_tag.c_str(), "invalid tag reference",
         "invalid tag reference"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(reg_manifest_put(c.repo, c.ref, b, n, nullptr, digest), -1) << c.label;
        EXPECT_EQ(error(), c.put_message) << c.label;
        EXPECT_EQ(reg_manifest_get(c.repo, c.ref, type, digest), nullptr) << c.label;
        EXPECT_EQ(error(), c.read_message) << c.label;
        EXPECT_EQ(reg_manifest_delete(c.repo, c.ref), -1) << c.label;
        EXPECT_EQ(error(), c.read_message) << c.label;
    }
    EXPECT_EQ(reg_manifest_put("app", "v1", nullptr, n, nullptr, digest), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_manifest_put("app", "v1", b, n, nullptr, nullptr), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_manifest_get("app", "v1", nullptr, digest), nullptr);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_manifest_get("app", "v1", type, nullptr), nullptr);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_TRUE(files_under(repos()).empty());
    EXPECT_TRUE(fs::exists(fs::path(root) / "config.json"));

    reg_storage_cleanup();
    EXPECT_EQ(reg_manifest_put("app", "v1", b, n, nullptr, digest), -1);
    EXPECT_EQ(error(), kNotInitialized);
    EXPECT_EQ(reg_manifest_get("app", "v1", type, digest), nullptr);
    EXPECT_EQ(error(), kNotInitialized);
    EXPECT_EQ(reg_manifest_delete("app", "v1"), -1);
    EXPECT_EQ(error(), kNotInitialized);
    EXPECT_EQ(reg_repo_delete("app"), -1);
    EXPECT_EQ(error(), kNotInitialized);
}

TEST_F(Manifests, ReadFailures)
{
    const std::string digest = push_image("app", "v1", "one");
    const std::string absent = digest_of("absent");
    write_text(tag_link("app", "broken"), digest + "\n");
    write_text(tag_link("app", "short"), digest.substr(0, 70));
    fs::create_directories(tag_link("app", "nolink").parent_path());
    const struct {
        const char *label;
        std::string ref, message;
    } cases[] = {
        {"unknown tag", "v2", "tag not found: app:v2"},
        {"tag without link", "nolink", "tag not found: app:nolink"},
        {"link ending in a line break", "broken", "corrupt tag link: app:broken"},
        {"link cut short", "short", "corrupt tag link: app:short"},
        {"digest not stored", absent, "manifest not found: app@" + absent},
        {"digest in upper case", "sha256:" + std::string(64, 'A'), "invalid digest reference"},
        {"digest with a path", "sha256:../../x", "invalid digest reference"},
    };
    for (const auto &c : cases) {
        EXPECT_FALSE(get("app", c.ref).ok) << c.label;
        EXPECT_EQ(error(), c.message) << c.label;
        EXPECT_EQ(reg_manifest_delete("app", c.ref.c_str()), -1) << c.label;
        EXPECT_EQ(error(), c.message) << c.label;
    }

    /* Only the revision link left: resolved, but nothing to read. */
    fs::remove(body_file("app", digest));
    EXPECT_FALSE(get("app", digest).ok);
    EXPECT_EQ(error(), "manifest body not found: app@" + digest);
}

TEST_F(Manifests, MissingOrEmptyTypeFileReadsAsTheDefault)
{
    const std::string digest = put("app", "v1", image_for("one"), kOciType);
    fs::remove(type_file("app", digest));
    EXPECT_EQ(get("app", "v1").type, kDockerType);
    write_text(type_file("app", digest), "");
    EXPECT_EQ(get("app", "v1").type, kDockerType);
}

TEST_F(Manifests, ABodyTooLongToReturnWholeIsRefused)
{
    /* Stored by other means: put refuses such bodies. */
    const std::string digest = push_image("app", "v1", "one");
    write_text(body_file("app", digest), std::string(1048576, ' '));
    EXPECT_FALSE(get("app", "v1").ok);
    EXPECT_EQ(error(), "manifest too large: app@v1");
    write_text(body_file("app", digest), std::string(1048575, ' '));
    EXPECT_EQ(get("app", "v1").body.size(), 1048575u);
}

TEST_F(Manifests, DeletingTagsRemovesTheManifestWithItsLastTag)
{
    const std::string digest = push_image("app", "v1", "one");
    ASSERT_EQ(put("app", "stable", read_text(body_file("app", digest))), digest);

    ASSERT_EQ(reg_manifest_delete("app", "v1"), 0) << error();
    EXPECT_FALSE(fs::exists(tag_link("app", "v1")));
    EXPECT_TRUE(fs::is_directory(tag_link("app", "v1").parent_path())) << "directories stay";
    EXPECT_TRUE(get("app", digest).ok) << "still named by stable";

    ASSERT_EQ(reg_manifest_delete("app", "stable"), 0) << error();
    EXPECT_FALSE(fs::exists(body_file("app", digest)));
    EXPECT_FALSE(fs::exists(type_file("app", digest)));
    EXPECT_FALSE(fs::exists(rev_dir("app", digest) / "link"));
    EXPECT_TRUE(fs::is_directory(rev_dir("app", digest)));
    EXPECT_FALSE(get("app", digest).ok);
}

TEST_F(Manifests, DeletingByDigestRemovesEveryTagNamingIt)
{
    const std::string digest = push_image("app", "v1", "one");
    ASSERT_EQ(put("app", "v2", read_text(body_file("app", digest))), digest);
    const std::string other = push_image("app", "other", "two");

    ASSERT_EQ(reg_manifest_delete("app", digest.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(manifests("app") / "tags" / "v1"));
    EXPECT_FALSE(fs::exists(manifests("app") / "tags" / "v2"));
    EXPECT_FALSE(fs::exists(body_file("app", digest)));
    EXPECT_FALSE(fs::exists(type_file("app", digest)));
    EXPECT_FALSE(fs::exists(rev_dir("app", digest)));
    EXPECT_EQ(get("app", "other").digest, other);

    ASSERT_EQ(reg_manifest_delete("app", other.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(manifests("app") / "tags")) << "emptied, so removed";
    EXPECT_EQ(reg_manifest_delete("app", other.c_str()), -1);
    EXPECT_EQ(error(), "manifest not found: app@" + other);
}

TEST_F(Manifests, APushSurvivesADeleteThatPrunesItsDirectoriesMeanwhile)
{
    /* A delete by digest removes the tags directory and the revision
     * directory it emptied; a push into the same repository may have just
     * made them. Here each is removed once per push, as soon as it appears
     * empty, and every push must still store all its files. */
    const std::string body = image_for("one");
    const std::string digest = digest_of(body);
    testsupport::EmptyDirRemover remover(
        {manifests("app") / "tags", rev_dir("app", digest), manifests("app") / "tags" / "v1"});
    for (int i = 1; i <= 2000; ++i) {
        remover.arm();
        ASSERT_EQ(put("app", "v1", body), digest) << "push " << i << ": " << error();
        EXPECT_EQ(get("app", "v1").digest, digest);
        EXPECT_EQ(read_text(rev_dir("app", digest) / "link"), digest);
        int rc = reg_manifest_delete("app", digest.c_str());
#ifdef _WIN32
        /* Windows refuses to list or remove a directory another thread holds
         * open this moment; the delete then fails whole (nothing dangles) and
         * a later one, as a client's retry, completes it. On a loaded machine
         * the pruning thread can hold its handle for a whole time slice. */
        for (int retry = 0; rc != 0 && retry < 50; ++retry) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            rc = reg_manifest_delete("app", digest.c_str());
        }
#endif
        ASSERT_EQ(rc, 0) << "push " << i << ": " << error();
    }
}

/* More tags than one bounded listing holds: the tag that keeps the
 * manifest is the one the directory enumerates last. */
TEST_F(Manifests, ATagBeyondTheFirst512EntriesStillKeepsItsManifest)
{
    const std::string digest = push_image("app", "t0", "one");
    for (int i = 1; i < 600; ++i)
        write_text(tag_link("app", "t" + std::to_string(i)), digest);
    std::string last_listed;
    for (const auto &e : fs::directory_iterator(manifests("app") / "tags"))
        last_listed = e.path().filename().string();
    for (int i = 0; i < 600; ++i) {
        const std::string tag = "t" + std::to_string(i);
        if (tag != last_listed) {
            ASSERT_EQ(reg_manifest_delete("app", tag.c_str()), 0) << tag;
        }
    }
    EXPECT_EQ(get("app", last_listed).digest, digest) << error();

    for (int i = 0; i < 600; ++i)
        write_text(tag_link("app", "t" + std::to_string(i)), digest);
    ASSERT_EQ(reg_manifest_delete("app", digest.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(manifests("app") / "tags")) << "no tag left dangling";
}

TEST_F(Manifests, RepositoryDeleteRemovesTheTreeAndPrunesEmptiedParents)
{
    push_image("team/app", "v1", "one");
    push_image("team/sub/deep", "v1", "two");
    push_image("solo/inner/app", "v1", "three");
    push_image("back\\slash", "v1", "four");

    ASSERT_EQ(reg_repo_delete("team/sub/deep"), 0) << error();
    EXPECT_FALSE(fs::exists(repos() / "team" / "sub")) << "emptied, pruned";
    EXPECT_TRUE(fs::exists(manifests("team/app"))) << "team still holds app";

    ASSERT_EQ(reg_repo_delete("solo/inner/app"), 0) << error();
    EXPECT_FALSE(fs::exists(repos() / "solo"));

    ASSERT_EQ(reg_repo_delete("back\\slash"), 0) << error();
    EXPECT_FALSE(fs::exists(repos() / "back"));

    const std::string deep = "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12/d13/d14/d15/d16/d17/d18/d19";
    push_image(deep, "v1", "five");
    ASSERT_EQ(reg_repo_delete(deep.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(repos() / "d1")) << "every emptied level, however deep";

    ASSERT_EQ(reg_repo_delete("team/app"), 0) << error();
    EXPECT_FALSE(fs::exists(repos() / "team"));
    EXPECT_TRUE(fs::is_directory(repos())) << "never removed";

    EXPECT_EQ(reg_repo_delete("team/app"), -1);
    EXPECT_EQ(error(), "repository not found: team/app");
}

TEST_F(Manifests, RepositoryDeleteNeverRemovesTheRepositoriesDirectory)
{
    push_image("a", "v1", "one");
    ASSERT_EQ(reg_repo_delete("/a"), 0) << error();
    EXPECT_TRUE(fs::is_directory(repos()));
    push_image("b/", "v1", "two");
    ASSERT_EQ(reg_repo_delete("b/"), 0) << error();
    EXPECT_TRUE(fs::is_directory(repos()));
    EXPECT_TRUE(fs::is_empty(repos()));

    const struct {
        const char *name;
        const char *message;
    } refused[] = {
        {"", "NULL argument"},
        {nullptr, "NULL argument"},
        {".", "invalid repository name"},
        {"x/..", "invalid repository name"},
        {"a b", "invalid repository name"},
    };
    push_image("keep", "v1", "three");
    for (const auto &c : refused) {
        EXPECT_EQ(reg_repo_delete(c.name), -1) << (c.name ? c.name : "NULL");
        EXPECT_EQ(error(), c.message);
    }
    EXPECT_TRUE(get("keep", "v1").ok);
}

/* A known type must name the body's shape, whether the pusher or the body
 * gives it; other types are not judged. */
TEST_F(Manifests, AKnownTypeMustMatchTheBodysShape)
{
    const std::string image = image_for("shape");
    const std::string index = index_json({push_image("app", "base", "base")});
    const std::string index_of_image_type =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciType) + "\"" + index.substr(18);
    const std::string mismatch = "manifest body does not match its media type ";
    const struct {
        const char *label;
        std::string body;
        const char *given;
        std::string message; /* "" when stored */
    } cases[] = {
        {"image given the index type", image, kOciIndexType, mismatch + kOciIndexType},
        {"image given the list type", image, kDockerListType, mismatch + kDockerListType},
        {"index given the image type", index, kOciType, mismatch + kOciType},
        {"index whose body names the image type", index_of_image_type, kOciIndexType,
         mismatch + kOciType},
        {"image given the image type", image, kOciType, ""},
        {"image given the default type", image, kDockerType, ""},
        {"index given the index type", index, kOciIndexType, ""},
        {"index given the list type", index, kDockerListType, ""},
        {"image of an unknown type", image, "application/vnd.example.thing+json", ""},
        {"index of an unknown type", index, "application/vnd.example.thing+json", ""},
        {"index given no type", index, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string digest = put("app", "t", c.body, c.given);
        if (c.message.empty()) {
            EXPECT_EQ(digest, digest_of(c.body)) << error();
        } else {
            EXPECT_EQ(digest, "");
            EXPECT_EQ(error(), c.message);
            EXPECT_FALSE(fs::exists(body_file("app", digest_of(c.body))));
        }
    }
}

/* Bodies up to 4 MiB are stored; past the 1 MiB get returns, they are
 * read through their location. */
TEST_F(Manifests, BodiesUpTo4MiBAreStoredAndLocated)
{
    const std::string image = image_for("big");
    auto padded = [&](size_t total) {
        const std::string head = image.substr(0, image.size() - 1) + ",\"annotations\":{\"pad\":\"";
        const std::string tail = "\"}}";
        return head + std::string(total - head.size() - tail.size(), 'p') + tail;
    };
    const std::string largest = padded(4194304);
    const std::string digest = digest_of(largest);
    ASSERT_EQ(put("app", "v1", largest), digest) << error();
    EXPECT_FALSE(get("app", "v1").ok) << "more than get returns whole";
    const located l = locate("app", "v1");
    ASSERT_TRUE(l.ok) << error();
    EXPECT_EQ(l.size, 4194304);
    EXPECT_EQ(l.digest, digest);
    EXPECT_EQ(read_text(l.path), largest);

    const std::string over = padded(4194305);
    EXPECT_EQ(put("app", "v2", over), "");
    EXPECT_EQ(error(), "manifest too large (max 4194304 bytes)");
    EXPECT_FALSE(fs::exists(body_file("app", digest_of(over))));
}

TEST_F(Manifests, LocateGivesTheStoredBodysPlaceSizeTypeAndDigest)
{
    const std::string body = image_for("one");
    const std::string digest = put("app", "v1", body, kOciType);
    ASSERT_EQ(digest, digest_of(body)) << error();
    for (const std::string &ref : {std::string("v1"), digest}) {
        SCOPED_TRACE(ref);
        const located l = locate("app", ref);
        ASSERT_TRUE(l.ok) << error();
        EXPECT_TRUE(fs::equivalent(l.path, body_file("app", digest)));
        EXPECT_EQ(l.size, static_cast<int64_t>(body.size()));
        EXPECT_EQ(l.type, kOciType);
        EXPECT_EQ(l.digest, digest);
    }
    fs::remove(type_file("app", digest));
    EXPECT_EQ(locate("app", "v1").type, kDockerType) << "no type file: the default";

    // A buffer that holds the path and its NUL, and one byte less.
    const std::string path = locate("app", "v1").path;
    char type[127], got[DIGEST_TEXT_CAP], out[4096];
    int64_t size = -1;
    EXPECT_EQ(reg_manifest_locate("app", "v1", type, got, out, path.size() + 1, &size), 0);
    EXPECT_EQ(reg_manifest_locate("app", "v1", type, got, out, path.size(), &size), -1);
    EXPECT_EQ(error(), "path buffer too small");
}

TEST_F(Manifests, LocateFailures)
{
    const std::string digest = push_image("app", "v1", "one");
    push_image("gone", "v1", "two");
    fs::remove(body_file("gone", read_text(tag_link("gone", "v1"))));
    push_image("dir", "v1", "three");
    const fs::path dir_body = body_file("dir", read_text(tag_link("dir", "v1")));
    fs::remove(dir_body);
    fs::create_directory(dir_body);
    const std::string absent = digest_of("absent");
    const struct {
        const char *label;
        const char *repo;
        std::string ref, message;
    } cases[] = {
        {"unknown tag", "app", "v9", "tag not found: app:v9"},
        {"unknown repository", "nope", "v1", "tag not found: nope:v1"},
        {"digest not stored", "app", absent, "manifest not found: app@" + absent},
        {"tag of the wrong form", "app", "../v1", "invalid tag reference"},
        {"digest of the wrong form", "app", "sha256:ABC", "invalid digest reference"},
        {"body removed", "gone", "v1", "manifest body not found: gone@v1"},
        {"body a directory", "dir", "v1", "manifest body not found: dir@v1"},
        {"repository of the wrong form", "a b", "v1", "invalid repository name"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const located l = locate(c.repo, c.ref);
        EXPECT_FALSE(l.ok);
        EXPECT_EQ(error(), c.message);
    }
    char type[127], got[DIGEST_TEXT_CAP], out[4096];
    int64_t size = -1;
    EXPECT_EQ(reg_manifest_locate(nullptr, "v1", type, got, out, sizeof out, &size), -1);
    EXPECT_EQ(reg_manifest_locate("app", nullptr, type, got, out, sizeof out, &size), -1);
    EXPECT_EQ(reg_manifest_locate("app", "v1", nullptr, got, out, sizeof out, &size), -1);
    EXPECT_EQ(reg_manifest_locate("app", "v1", type, nullptr, out, sizeof out, &size), -1);
    EXPECT_EQ(reg_manifest_locate("app", "v1", type, got, nullptr, sizeof out, &size), -1);
    EXPECT_EQ(reg_manifest_locate("app", "v1", type, got, out, sizeof out, nullptr), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(size, -1);
    reg_storage_cleanup();
    EXPECT_FALSE(locate("app", digest).ok);
    EXPECT_EQ(error(), kNotInitialized);
}

/* Unlike a delete by tag, the manifest stays however many tags go. */
TEST_F(Manifests, TagDeleteRemovesTheTagAlone)
{
    const std::string digest = push_image("app", "v1", "one");
    ASSERT_EQ(put("app", "v2", read_text(body_file("app", digest))), digest);

    ASSERT_EQ(reg_tag_delete("app", "v1"), 0) << error();
    EXPECT_FALSE(fs::exists(tag_link("app", "v1")));
    EXPECT_EQ(get("app", "v2").digest, digest);
    ASSERT_EQ(reg_tag_delete("app", "v2"), 0) << error();
    EXPECT_FALSE(get("app", "v2").ok);
    EXPECT_TRUE(get("app", digest).ok) << "no tag left, still stored";
    EXPECT_TRUE(fs::exists(rev_dir("app", digest) / "link"));

    const struct {
        const char *repo, *tag;
        std::string message;
    } refused[] = {
        {"app", "v1", "tag not found: app:v1"}, // gone already
        {"nope", "v1", "tag not found: nope:v1"},
        {"app", digest.c_str(), "invalid tag reference"},
        {"app", "sha256:x", "invalid tag reference"},
        {"app", "../../../config.json", "invalid tag reference"},
        {"app", "", "invalid tag reference"},
        {"a b", "v1", "invalid repository name"},
        {nullptr, "v1", "NULL argument"},
        {"app", nullptr, "NULL argument"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(reg_tag_delete(c.repo, c.tag), -1);
        EXPECT_EQ(error(), c.message);
    }
    EXPECT_TRUE(get("app", digest).ok);
    EXPECT_TRUE(fs::exists(fs::path(root) / "config.json"));
}

/* A tag whose link no longer holds a digest cannot be resolved, but it can
 * still be deleted: nothing else would ever remove it. */
TEST_F(Manifests, ACorruptTagCanBeDeleted)
{
    const std::string digest = push_image("app", "v1", "one");
    write_text(tag_link("app", "broken"), "not a digest");
    ASSERT_EQ(reg_tag_delete("app", "broken"), 0) << error();
    EXPECT_FALSE(fs::exists(tag_link("app", "broken")));
    EXPECT_EQ(get("app", "v1").digest, digest);
}

/* The default type beside an index body that names its own type is no
 * claim about the body: the push stores the index under the body's type. */
TEST_F(Manifests, TheDefaultTypeBesideAnIndexBodyIsNoClaim)
{
    const std::string child = push_image("app", "child", "one");
    const std::string index = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciIndexType) +
                              "\",\"manifests\":[{\"digest\":\"" + child + "\",\"size\":1}]}";
    ASSERT_EQ(put("app", "multi", index, kDockerType), digest_of(index)) << error();
    EXPECT_EQ(get("app", "multi").type, kOciIndexType);
}

TEST_F(Manifests, RepositoryExistsOncePushedTo)
{
    push_image("team/app", "v1", "one");
    const std::string other = push_image("solo", "v1", "two");
    ASSERT_EQ(reg_manifest_delete("solo", other.c_str()), 0) << error();
    fs::create_directories(repos() / "empty");
    const struct {
        const char *name;
        int want;
    } cases[] = {
        {"team/app", 1}, {"solo", 1}, // every manifest deleted, the repository stays
        {"team", 0},                  // a namespace that holds one, not one itself
        {"empty", 0},    {"nope", 0},   {"team/app/_manifests", 0}, {"a b", -1}, {"", -1},
        {"..", -1},      {nullptr, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(reg_repo_exists(c.name), c.want);
    }
    ASSERT_EQ(reg_repo_delete("team/app"), 0) << error();
    EXPECT_EQ(reg_repo_exists("team/app"), 0);
    reg_storage_cleanup();
    EXPECT_EQ(reg_repo_exists("solo"), -1);
    EXPECT_EQ(error(), kNotInitialized);
}

} // namespace

namespace
{

constexpr char kForeign[] = "application/vnd.docker.image.rootfs.foreign.diff.tar.gzip";
constexpr char kNondist[] = "application/vnd.oci.image.layer.nondistributable.v1.tar";
constexpr char kNondistGzip[] = "application/vnd.oci.image.layer.nondistributable.v1.tar+gzip";
constexpr char kNondistZstd[] = "application/vnd.oci.image.layer.nondistributable.v1.tar+zstd";

/* An image over config whose layers are the given descriptor objects. */
std::string image_with_layers(const std::string &config, const std::vector<std::string> &layers)
{
    std::string body =
        "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config + "\",\"size\":1},\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i)
        body += (i ? "," : "") + layers[i];
    return body + "]}";
}

std::string layer(const std::string &type, const std::string &digest, const std::string &urls)
{
    std::string d = "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest + "\",\"size\":1";
    if (!urls.empty()) d += ",\"urls\":" + urls;
    return d + "}";
}

} // namespace

TEST_F(Manifests, AnIndexOfNoManifestsIsStored)
{
    for (const char *type : {kOciIndexType, kDockerListType}) {
        const std::string body =
            "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(type) + "\",\"manifests\":[]}";
        EXPECT_EQ(put("app", "empty", body, type), digest_of(body)) << type << ": " << error();
        EXPECT_EQ(get("app", "empty").type, type);
    }
}

TEST_F(Manifests, ForeignLayersNeedNoBlobButUrls)
{
    const auto b = blobs_for("win");
    const std::string missing = digest_of("fetched from elsewhere");
    const std::string urls = "[\"https://example.com/layer\"]";
    /* Each foreign type, not stored, with somewhere to fetch it from. */
    for (const char *type : {kForeign, kNondist, kNondistGzip, kNondistZstd}) {
        const std::string body = image_with_layers(b[0], {layer(type, missing, urls)});
        EXPECT_EQ(put("app", "win", body), digest_of(body)) << type << ": " << error();
    }
    /* Stored anyway: held as any layer, urls or not. */
    const std::string body = image_with_layers(b[0], {layer(kNondist, b[1], "")});
    EXPECT_EQ(put("app", "held", body), digest_of(body)) << error();

    const struct {
        const char *label;
        std::string layer;
        std::string message;
    } refused[] = {
        {"foreign without urls", layer(kForeign, missing, ""),
         "manifest layer 0 is foreign, not stored and names no urls"},
        {"foreign with empty urls", layer(kForeign, missing, "[]"),
         "manifest layer 0 is foreign, not stored and names no urls"},
        {"foreign with urls an object", layer(kForeign, missing, "{}"),
         "manifest layer 0 is foreign, not stored and names no urls"},
        {"foreign with an empty url", layer(kNondist, missing, "[\"\"]"),
         "manifest layer 0 is foreign, not stored and names no urls"},
        {"foreign with a url a number", layer(kNondist, missing, "[\"x\",1]"),
         "manifest layer 0 is foreign, not stored and names no urls"},
        {"foreign with a malformed digest", layer(kForeign, "sha256:abc", urls),
         "manifest layer 0 missing valid digest"},
        {"foreign with a path for a digest", layer(kForeign, "sha256:../../x", urls),
         "manifest layer 0 missing valid digest"},
        {"plain layer with urls", layer("application/vnd.oci.image.layer.v1.tar", missing, urls),
         "BLOB_UNKNOWN: " + missing},
        {"foreign type in upper case",
         layer("APPLICATION/VND.OCI.IMAGE.LAYER.NONDISTRIBUTABLE.V1.TAR", missing, urls),
         "BLOB_UNKNOWN: " + missing},
        {"foreign type with a hidden NUL", layer(std::string(kNondist) + "\\u0000", missing, urls),
         "BLOB_UNKNOWN: " + missing},
    };
    for (const auto &c : refused) {
        EXPECT_EQ(put("other", "v1", image_with_layers(b[0], {c.layer})), "") << c.label;
        EXPECT_EQ(error(), c.message) << c.label;
        EXPECT_FALSE(fs::exists(repos() / "other")) << c.label;
    }
}

TEST_F(Manifests, ATagDifferingOnlyInCaseFromAStoredOneIsRefused)
{
    const std::string first = push_image("app", "Latest", "one");
    const std::string body = image_for("two");
    for (const char *tag : {"latest", "LATEST", "lAtEsT"}) {
        EXPECT_EQ(put("app", tag, body), "") << tag;
        EXPECT_EQ(error(), "invalid tag reference: " + std::string(tag) +
                               " differs only in case from the stored tag Latest");
        EXPECT_FALSE(fs::exists(body_file("app", digest_of(body)))) << tag;
    }
    /* The same tag in the same case moves; another repository is another
     * namespace; a tag whose link was deleted stands in no one's way. */
    EXPECT_EQ(put("app", "Latest", body), digest_of(body)) << error();
    EXPECT_EQ(put("other", "latest", body), digest_of(body)) << error();
    ASSERT_EQ(reg_tag_delete("app", "Latest"), 0) << error();
    EXPECT_EQ(put("app", "latest", body), digest_of(body)) << error();
    EXPECT_EQ(read_text(tag_link("app", "latest")), digest_of(body));
    (void)first;
}

TEST_F(Manifests, TagsPushedWithAManifestAreSetAllOrNone)
{
    push_image("app", "V1", "one");
    const std::string body = image_for("two");
    const std::string digest = digest_of(body);
    auto put_tags = [&](const std::string &ref, std::vector<const char *> tags) {
        char out[DIGEST_TEXT_CAP] = "";
        const int rc = reg_manifest_put_tags("app", ref.c_str(), body.data(), body.size(), nullptr,
                                             tags.data(), tags.size(), out);
        return rc == 0 ? std::string(out) : std::string();
    };
    const struct {
        const char *label;
        std::vector<const char *> tags;
        std::string message;
    } refused[] = {
        {"a tag of the wrong grammar", {"ok", "-bad"}, "invalid tag reference"},
        {"an empty tag", {"ok", ""}, "invalid tag reference"},
        {"a null tag", {"ok", nullptr}, "invalid tag reference"},
        {"a tag with a separator", {"ok", "a/b"}, "invalid tag reference"},
        {"two differing only in case",
         {"ok", "x", "OK"},
         "invalid tag reference: OK differs only in case from ok in the same push"},
        {"one differing only in case from a stored tag",
         {"ok", "v1"},
         "invalid tag reference: v1 differs only in case from the stored tag V1"},
    };
    for (const auto &c : refused) {
        EXPECT_EQ(put_tags(digest, c.tags), "") << c.label;
        EXPECT_EQ(error(), c.message) << c.label;
        EXPECT_FALSE(fs::exists(body_file("app", digest))) << c.label;
        EXPECT_FALSE(fs::exists(tag_link("app", "ok"))) << c.label;
    }
    /* A tag reference differing only in case from a tag of the push. */
    EXPECT_EQ(put_tags("OK", {"ok"}), "");
    EXPECT_EQ(error(), "invalid tag reference: OK differs only in case from ok in the same push");

    EXPECT_EQ(put_tags(digest, {"a", "b", "a", "V1"}), digest) << error();
    for (const char *tag : {"a", "b", "V1"})
        EXPECT_EQ(read_text(tag_link("app", tag)), digest) << tag;
    /* By tag too: the reference and every tag of the push. */
    const std::string third = image_for("three");
    char out[DIGEST_TEXT_CAP] = "";
    const char *tags[] = {"c"};
    ASSERT_EQ(reg_manifest_put_tags("app", "d", third.data(), third.size(), nullptr, tags, 1, out),
              0)
        << error();
    EXPECT_EQ(read_text(tag_link("app", "c")), digest_of(third));
    EXPECT_EQ(read_text(tag_link("app", "d")), digest_of(third));
    /* No tags at all is no argument error. */
    EXPECT_EQ(reg_manifest_put_tags("app", digest.c_str(), body.data(), body.size(), nullptr,
                                    nullptr, 0, out),
              0)
        << error();
    EXPECT_EQ(reg_manifest_put_tags("app", digest.c_str(), body.data(), body.size(), nullptr,
                                    nullptr, 1, out),
              -1);
    EXPECT_EQ(error(), "NULL argument");
}
