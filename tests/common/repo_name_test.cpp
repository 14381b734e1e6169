/* Repository names as the request layer sees them, and the split of a
 * request path around a marker. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "oci_common.h"

namespace
{

TEST(RepoName, RequestLayerRule)
{
    struct Case {
        std::string name;
        int want;
    };
    const Case cases[] = {
        {"team/app", 1},  {"Team/App", 1},
        {"a.b-c_d", 1},   {"a..b", 1}, // the storage engine refuses this one, not this layer
        {"a._b/c-.d", 1}, {"a", 1},
        {"0", 1},         {std::string(255, 'a'), 1},
        {"", 0},          {std::string(256, 'a'), 0},
        {"-a", 0},        {"a-", 0},
        {"_a", 0},        {"a_", 0},
        {".a", 0},        {"a.", 0},
        {"/a", 0},        {"a/", 0},
        {"a//b", 0},      {"a b", 0},
        {"a\\b", 0},      {"a:b", 0},
        {"a\tb", 0},      {"caf\xc3\xa9", 0},
        {"a\x7f", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(oci_valid_repo_name(c.name.c_str()), c.want);
    }
    EXPECT_EQ(oci_valid_repo_name(nullptr), 0);
}

TEST(RepoName, PathSplitAroundMarker)
{
    struct Case {
        const char *path;
        const char *marker;
        int want;
        std::string name;
        std::string rest;
    };
    const Case cases[] = {
        {"/v2/team/app/blobs/sha256:ab", "/blobs/", 1, "team/app", "sha256:ab"},
        {"/v2/team/app/manifests/latest/", "/manifests/", 1, "team/app", "latest"},
        {"team/app/manifests/latest/", "/manifests/", 1, "team/app", "latest"},
        {"///v2/team/app/manifests/latest", "/manifests/", 1, "team/app", "latest"},
        {"/v2/app/manifests///latest//", "/manifests/", 1, "app", "latest/"}, // one '/' removed
        {"/v2/app/tags/list", "/tags/", 1, "app", "list"},
        {"/v2/app/blobs/uploads/", "/blobs/", 1, "app", "uploads"},
        {"/v2/app/manifests/", "/manifests/", 1, "app", ""},
        // The last occurrence of the marker cuts the name: a level of a
        // name may be a marker's word.
        {"/v2/a/blobs/b/blobs/c", "/blobs/", 1, "a/blobs/b", "c"},
        {"/v2/art/tags/tags/list", "/tags/", 1, "art/tags", "list"},
        {"/v2/manifests/manifests/v1", "/manifests/", 1, "manifests", "v1"},
        // Only "v2/" or a whole "v2" is skipped; case matters.
        {"/V2/app/blobs/x", "/blobs/", 1, "V2/app", "x"},
        {"/v2x/app/blobs/x", "/blobs/", 1, "v2x/app", "x"},
        {"/v2", "/blobs/", 0, "", ""},
        // Missing or empty names.
        {"/v2//manifests/x", "/manifests/", 0, "", ""},
        {"/v2/manifests/x", "/manifests/", 0, "", ""}, // the marker needs its own slash
        {"/v2/app", "/manifests/", 0, "", ""},
        {"", "/manifests/", 0, "", ""},
        {"/v2/app/manifests/x", "", 0, "", ""},
        // Invalid names stay in out_name; no rest is written.
        {"/v2/team//app/blobs/x", "/blobs/", 0, "team//app", ""},
        {"/v2/-app/blobs/x", "/blobs/", 0, "-app", ""},
        {"/v2/a b/blobs/x", "/blobs/", 0, "a b", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        char name[64];
        char rest[64];
        std::memset(name, 'x', sizeof name);
        std::memset(rest, 'x', sizeof rest);
        EXPECT_EQ(oci_parse_repo_marker(c.path, c.marker, name, sizeof name, rest, sizeof rest),
                  c.want);
        EXPECT_EQ(std::string(name), c.name);
        EXPECT_EQ(std::string(rest), c.rest);
    }
}

TEST(RepoName, PathSplitRespectsBufferSizes)
{
    char name[9];
    char rest[4];
    // A name of 8 bytes fits in 9; one of 9 does not, and out_name stays "".
    EXPECT_EQ(
        oci_parse_repo_marker("/v2/abcdefgh/blobs/x", "/blobs/", name, sizeof name, nullptr, 0), 1);
    EXPECT_STREQ(name, "abcdefgh");
    EXPECT_EQ(oci_parse_repo_marker("/v2/abcdefghi/blobs/x", "/blobs/", name, sizeof name, rest,
                                    sizeof rest),
              0);
    EXPECT_STREQ(name, "");
    // A name longer than any valid one, in a buffer big enough for it.
    const std::string path = "/v2/" + std::string(300, 'n') + "/blobs/x";
    char big[512];
    EXPECT_EQ(oci_parse_repo_marker(path.c_str(), "/blobs/", big, sizeof big, nullptr, 0), 0);
    EXPECT_EQ(std::strlen(big), 300u);
    // The rest is cut to its buffer before the trailing '/' is looked at.
    EXPECT_EQ(
        oci_parse_repo_marker("/v2/a/blobs/xyz/", "/blobs/", name, sizeof name, rest, sizeof rest),
        1);
    EXPECT_STREQ(rest, "xyz");
    EXPECT_EQ(
        oci_parse_repo_marker("/v2/a/blobs/xy/", "/blobs/", name, sizeof name, rest, sizeof rest),
        1);
    EXPECT_STREQ(rest, "xy");
    // Without a rest buffer the result is the name test alone.
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/blobs/", "/blobs/", name, sizeof name, rest, 0), 1);
    // Missing arguments write nothing.
    std::strcpy(name, "keep");
    EXPECT_EQ(oci_parse_repo_marker(nullptr, "/blobs/", name, sizeof name, nullptr, 0), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/blobs/x", nullptr, name, sizeof name, nullptr, 0), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/blobs/x", "/blobs/", name, 0, nullptr, 0), 0);
    EXPECT_STREQ(name, "keep");
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/blobs/x", "/blobs/", nullptr, 8, nullptr, 0), 0);
}

TEST(RepoName, DigestsInPathsAreLowerCaseSha256)
{
    const std::string hex(64, 'a');
    struct Case {
        std::string digest;
        int want;
    };
    const Case cases[] = {
        {"sha256:" + hex, 1},
        {"sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", 1},
        {"sha256:" + std::string(64, 'A'), 0}, // the store keeps lower case only
        {"sha256:" + hex.substr(1), 0},
        {"sha256:" + hex + "a", 0},
        {"sha256:" + hex.substr(1) + "g", 0},
        {"sha256:" + hex.substr(2) + "/.", 0},
        {"sha512:" + hex, 0},
        {"SHA256:" + hex, 0},
        {"sha256" + hex + "a", 0},
        {"sha256:", 0},
        {"", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.digest);
        EXPECT_EQ(oci_valid_digest(c.digest.c_str()), c.want);
    }
    EXPECT_EQ(oci_valid_digest(nullptr), 0);
}

TEST(RepoName, TagsOfTheProtocolGrammar)
{
    struct Case {
        std::string tag;
        int want;
    };
    const Case cases[] = {
        {"latest", 1},
        {"v1.2.3-rc_1", 1},
        {"_x", 1},
        {"9", 1},
        {"A", 1},
        {"a..b--c__", 1},
        {std::string(128, 't'), 1},
        {"", 0},
        {std::string(129, 't'), 0},
        {".x", 0},
        {"-x", 0},
        {"a/b", 0},
        {"a:b", 0},
        {"a b", 0},
        {"a+b", 0},
        {"a\\b", 0},
        {"caf\xc3\xa9", 0},
        {"..", 0},
        {"a%2f", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tag);
        EXPECT_EQ(oci_valid_tag(c.tag.c_str()), c.want);
    }
    EXPECT_EQ(oci_valid_tag(nullptr), 0);
}

} // namespace
