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
        {"revision dir", [](char *o) { return manifest_rev_dir("team/app", kHex.c_str(), o); },
         join(join(join(m, "revisions"), "sha256"), kHex)},
        {"revision link", [](char *o) { return manifest_rev_path("team/app", kHex.c_str(), o); },
         join(join(join(join(m, "revisions"), "sha256"), kHex), "link")},
        {"tags dir", [](char *o) { return manifest_tags_dir("team/app", o); }, join(m, "tags")},
        {"tag link", [](char *o) { return manifest_tag_path("team/app", "v1", o); },
         join(join(join(join(m, "tags"), "v1"), "current"), "link")},
        {"manifest body", [](char *o) { return manifest_body_path("team/app", kHex.c_str(), o); },
         join(m, kHex)},
        {"upload",
         [](char *o) { return upload_path_for_uuid("12105cf4-1d0d-a12b-5247-bc73a8ea5f1b", o); },
         join(join("R", "uploads"), "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b.part")},
        {"blob",
         [](char *o) {
             return blob_path_for_digest(
                 ("sha256:" + std::string("ab") + std::string(62, '0')).c_str(), o);
         },
         join(join(join(join("R", "blobs"), "sha256"), "ab"), "ab" + std::string(62, '0'))},
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

TEST(PathBuilders, BlobPathRefusesTextTooShortToHoldAFanOut)
{
    ScopedRoot r("R");
    char out[kPathCap];
    EXPECT_EQ(blob_path_for_digest("sha256:", out), -1);
    EXPECT_EQ(blob_path_for_digest("sha256:a", out), -1);
    EXPECT_EQ(blob_path_for_digest("sha256:ab", out), 0);
}

} // namespace
