/* Path builders: the layout, the separator rule and cut paths. */
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "store_fixture.h"

namespace
{

using namespace storage;
using storetest::join;

/* Sets the engine's root text directly: the builders only read s_root. */
class ScopedRoot
{
  public:
    explicit ScopedRoot(const std::string &root) { copy_cut(s_root, sizeof s_root, root); }
    ~ScopedRoot() { s_root[0] = '\0'; }
};

const std::string kHex(64, 'c');
const std::string kDigest = "sha256:" + kHex;
const std::string kHex512(128, 'd');
const std::string kDigest512 = "sha512:" + kHex512;

TEST(PathBuilders, ComposeTheLayout)
{
    ScopedRoot r("R");
    const std::string m = join(join(join("R", "repositories"), "team/app"), "_manifests");
    struct Case {
        const char *label;
        std::function<int(char *)> build;
        std::string expected;
    };
    const Case cases[] = {
        {"repositories", repositories_dir, join("R", "repositories")},
        {"blobs", blobs_dir, join(join("R", "blobs"), "sha256")},
        {"uploads", uploads_dir, join("R", "uploads")},
        {"repo dir", [](char *o) { return repo_dir("team/app", o); },
         join(join("R", "repositories"), "team/app")},
        {"manifests dir", [](char *o) { return repo_manifests_dir("team/app", o); }, m},
        {"blobs sha512", [](char *o) { return blob_algorithm_dir(DIGEST_SHA512, o); },
         join(join("R", "blobs"), "sha512")},
        {"revision dir", [](char *o) { return manifest_rev_dir("team/app", kDigest.c_str(), o); },
         join(join(join(m, "revisions"), "sha256"), kHex)},
        {"revision link", [](char *o) { return manifest_rev_path("team/app", kDigest.c_str(), o); },
         join(join(join(join(m, "revisions"), "sha256"), kHex), "link")},
        {"revision link sha512",
         [](char *o) { return manifest_rev_path("team/app", kDigest512.c_str(), o); },
         join(join(join(join(m, "revisions"), "sha512"), kHex512), "link")},
        {"tags dir", [](char *o) { return manifest_tags_dir("team/app", o); }, join(m, "tags")},
        {"tag link", [](char *o) { return manifest_tag_path("team/app", "v1", o); },
         join(join(join(join(m, "tags"), "v1"), "current"), "link")},
        {"manifest body",
         [](char *o) { return manifest_body_path("team/app", kDigest.c_str(), o); }, join(m, kHex)},
        {"manifest type", [](char *o) { return manifest_ct_path("team/app", kDigest.c_str(), o); },
         join(m, kHex + ".ct")},
        {"manifest body sha512",
         [](char *o) { return manifest_body_path("team/app", kDigest512.c_str(), o); },
         join(join(m, "sha512"), kHex512)},
        {"manifest type sha512",
         [](char *o) { return manifest_ct_path("team/app", kDigest512.c_str(), o); },
         join(join(m, "sha512"), kHex512 + ".ct")},
        {"referrers of a sha512 subject",
         [](char *o) { return manifest_referrers_dir("team/app", kDigest512.c_str(), o); },
         join(join(join(m, "referrers"), "sha512"), kHex512)},
        {"sha512 referrer of a sha256 subject",
         [](char *o) {
             return manifest_referrer_path("team/app", kDigest.c_str(), kDigest512.c_str(), o);
         },
         join(join(join(join(m, "referrers"), "sha256"), kHex), kHex512)},
        {"upload",
         [](char *o) { return upload_path_for_uuid("12105cf4-1d0d-a12b-5247-bc73a8ea5f1b", o); },
         join(join("R", "uploads"), "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b.part")},
        {"blob",
         [](char *o) {
             return blob_path_for_digest(
                 ("sha256:" + std::string("ab") + std::string(62, '0')).c_str(), o);
         },
         join(join(join(join("R", "blobs"), "sha256"), "ab"), "ab" + std::string(62, '0'))},
        {"blob sha512", [](char *o) { return blob_path_for_digest(kDigest512.c_str(), o); },
         join(join(join(join("R", "blobs"), "sha512"), "dd"), kHex512)},
        {"fan-out sha512", [](char *o) { return blob_fan_dir(kDigest512.c_str(), o); },
         "R/blobs/sha512/dd"},
    };
    for (const auto &c : cases) {
        char out[kPathCap];
        ASSERT_EQ(c.build(out), 0) << c.label;
        EXPECT_EQ(std::string(out), c.expected) << c.label;
    }
}

TEST(PathBuilders, BackslashInARepositoryNameSeparatesDirectories)
{
    ScopedRoot r("R");
    char with_backslash[kPathCap], with_slash[kPathCap];
    ASSERT_EQ(manifest_tags_dir("team\\app", with_backslash), 0);
    ASSERT_EQ(manifest_tags_dir("team/app", with_slash), 0);
    const std::string sep_joined =
        join(join(join(join("R", "repositories"), join("team", "app")), "_manifests"), "tags");
    EXPECT_EQ(std::string(with_backslash), sep_joined);
#ifndef _WIN32
    /* On POSIX both spellings land in the same directory. */
    EXPECT_STREQ(with_backslash, with_slash);
#endif
}

TEST(PathBuilders, APathOfMoreThan4095BytesIsRefusedNotCut)
{
    char out[kPathCap];
    std::memset(out, '#', sizeof out);
    /* left + separator + "x": 4095 bytes fit, 4096 do not. */
    EXPECT_EQ(path_join(out, std::string(4093, 'l').c_str(), "x"), 0);
    EXPECT_EQ(std::strlen(out), 4095u);
    EXPECT_EQ(path_join(out, std::string(4094, 'l').c_str(), "x"), -1);
    EXPECT_STREQ(out, "") << "a refused path is left empty";

    ScopedRoot r(std::string(kRootMax, 'r'));
    const std::string tag(600, 't');
    EXPECT_EQ(manifest_tag_path(std::string(255, 'n').c_str(), tag.c_str(), out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(manifest_tag_path(std::string(255, 'n').c_str(), "v1", out), 0);
}

TEST(PathBuilders, UploadFileNameMustFitItsBuffer)
{
    ScopedRoot r("R");
    char out[kPathCap];
    /* "ID.part" is formed in 128 bytes: 122 + 5 fits, 123 + 5 does not. */
    EXPECT_EQ(upload_path_for_uuid(std::string(122, 'u').c_str(), out), 0);
    EXPECT_EQ(upload_path_for_uuid(std::string(123, 'u').c_str(), out), -1);
    EXPECT_STREQ(out, "");
}

TEST(PathBuilders, BlobPathRefusesTextTooShortOrOfNoKeptAlgorithm)
{
    ScopedRoot r("R");
    char out[kPathCap];
    const struct {
        const char *text;
        int expected;
    } cases[] = {
        {"sha256:", -1},  {"sha256:a", -1}, {"sha256:ab", 0},  {"sha512:a", -1},
        {"sha512:ab", 0}, {"md5:ab", -1},   {"sha384:ab", -1}, {"ab", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(blob_path_for_digest(c.text, out), c.expected) << c.text;
        EXPECT_EQ(blob_fan_dir(c.text, out), c.expected) << c.text;
        if (c.expected != 0) {
            EXPECT_STREQ(out, "") << c.text;
        }
    }
}

} // namespace
