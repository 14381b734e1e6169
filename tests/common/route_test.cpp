/* The request path of each endpoint program read into name and reference
 * (oci_route_parse), with the names and tags Windows would alias or open
 * as a device refused on every system. */
#include <gtest/gtest.h>

#include <string>

#include "oci_route.h"

namespace
{

const std::string kDigest = "sha256:" + std::string(64, 'a');
const std::string kId = "0123abcd-0123-4567-89ab-cdef01234567";

struct Case {
    oci_route_kind kind;
    std::string path;
    oci_route_status want;
    std::string name = "";
    std::string ref = "";
};

void expect_route(const Case &c)
{
    SCOPED_TRACE(c.path.substr(0, 60));
    oci_route r;
    r.ref_is_digest = 7;
    EXPECT_EQ(oci_route_parse(c.kind, c.path.c_str(), &r), c.want);
    EXPECT_EQ(r.name, c.name);
    EXPECT_EQ(r.ref, c.ref);
    EXPECT_EQ(r.ref_is_digest, c.want == OCI_ROUTE_OK && c.kind == OCI_ROUTE_MANIFESTS &&
                                   c.ref.find(':') != std::string::npos);
}

TEST(Route, EachProgramsPath)
{
    const Case cases[] = {
        {OCI_ROUTE_TAGS, "/v2/team/app/tags/list", OCI_ROUTE_OK, "team/app"},
        {OCI_ROUTE_TAGS, "/v2/team/app/tags/list/", OCI_ROUTE_OK, "team/app"},
        {OCI_ROUTE_TAGS, "/v2/team/app/tags/lists", OCI_ROUTE_UNKNOWN},
        {OCI_ROUTE_TAGS, "/v2/team/app/tags/", OCI_ROUTE_UNKNOWN},
        {OCI_ROUTE_TAGS, "/v2/_catalog", OCI_ROUTE_UNKNOWN},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/v1.0", OCI_ROUTE_OK, "app", "v1.0"},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/" + kDigest, OCI_ROUTE_OK, "app", kDigest},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/", OCI_ROUTE_TAG_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/..", OCI_ROUTE_TAG_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/" + std::string(129, 't'), OCI_ROUTE_TAG_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/" + std::string(400, 't'), OCI_ROUTE_TAG_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/sha256:" + std::string(400, 'a'),
         OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/" + kDigest + "0", OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/" + kDigest, OCI_ROUTE_OK, "app", kDigest},
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/" + kDigest + "/", OCI_ROUTE_OK, "app", kDigest},
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/SHA256:" + std::string(64, 'a'), OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/", OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_REFERRERS, "/v2/a/b/referrers/" + kDigest, OCI_ROUTE_OK, "a/b", kDigest},
        {OCI_ROUTE_REFERRERS, "/v2/a/b/referrers/latest", OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_UPLOADS, "/v2/app/blobs/uploads/", OCI_ROUTE_OK, "app"},
        {OCI_ROUTE_UPLOADS, "/v2/app/blobs/uploads", OCI_ROUTE_OK, "app"},
        {OCI_ROUTE_UPLOADS, "/v2/app/blobs/uploads/" + kId, OCI_ROUTE_OK, "app", kId},
        {OCI_ROUTE_UPLOADS, "/v2/app/blobs/uploads/" + kId + ".part", OCI_ROUTE_UPLOAD_UNKNOWN},
        {OCI_ROUTE_UPLOADS, "/v2/app/blobs/uploads/../uploads/" + kId, OCI_ROUTE_UPLOAD_UNKNOWN},
        {OCI_ROUTE_UPLOADS, "/v2/app/blobs/uploadsx", OCI_ROUTE_UPLOAD_UNKNOWN},
        {OCI_ROUTE_UPLOADS, "/v2/app/blobs/uploads/" + std::string(400, 'a'),
         OCI_ROUTE_UPLOAD_UNKNOWN},
        {OCI_ROUTE_UPLOADS, "/v2/app/manifests/x", OCI_ROUTE_UNKNOWN},
    };
    for (const Case &c : cases)
        expect_route(c);
}

TEST(Route, DigestsOfEitherAlgorithmAndOfOthers)
{
    const std::string d512 = "sha512:" + std::string(128, 'b');
    const std::string md5 = "md5:" + std::string(32, 'c');
    const std::string sha384 = "sha384:" + std::string(96, 'd');
    const Case cases[] = {
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/" + d512, OCI_ROUTE_OK, "app", d512},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/" + d512, OCI_ROUTE_OK, "app", d512},
        {OCI_ROUTE_REFERRERS, "/v2/app/referrers/" + d512, OCI_ROUTE_OK, "app", d512},
        /* Well formed, another algorithm: its own status, for its message. */
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/" + md5, OCI_ROUTE_DIGEST_UNSUPPORTED},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/" + sha384, OCI_ROUTE_DIGEST_UNSUPPORTED},
        {OCI_ROUTE_REFERRERS, "/v2/app/referrers/" + md5, OCI_ROUTE_DIGEST_UNSUPPORTED},
        /* A kept algorithm misspelt is malformed. */
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/sha512:" + std::string(64, 'b'), OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/sha512:" + std::string(127, 'b'),
         OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/sha512:" + std::string(128, 'B'),
         OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/" + d512 + "0", OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/md5:", OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_BLOBS, "/v2/app/blobs/:" + std::string(64, 'a'), OCI_ROUTE_DIGEST_INVALID},
        /* Cut where a '/' stands, a longer text must not pass as one that
         * fits (and then read as another algorithm's digest). */
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/x:" + std::string(157, 'a') + "/tail",
         OCI_ROUTE_DIGEST_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/x:" + std::string(157, 'a') + "/",
         OCI_ROUTE_DIGEST_UNSUPPORTED},
    };
    for (const Case &c : cases)
        expect_route(c);
}

TEST(Route, NamesThatWouldLeaveTheRepositoryOrAliasOnWindows)
{
    const std::string tail = "/manifests/v1";
    const Case cases[] = {
        {OCI_ROUTE_MANIFESTS, "/v2/lib/app" + tail, OCI_ROUTE_OK, "lib/app", "v1"},
        {OCI_ROUTE_MANIFESTS, "/v2/conio/console" + tail, OCI_ROUTE_OK, "conio/console", "v1"},
        {OCI_ROUTE_MANIFESTS, "/v2/com10/lpt0" + tail, OCI_ROUTE_OK, "com10/lpt0", "v1"},
        {OCI_ROUTE_MANIFESTS, "/v2/lib/../app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib/./app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib/.app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib./app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib/a..b" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib_/app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib-/app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib\\app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib /app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib%2fapp" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/" + std::string(256, 'a') + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib/app/_manifests" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/con" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib/NUL" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lib/aux.tar" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/Com1/app" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/lpt9" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/prn/x" + tail, OCI_ROUTE_NAME_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/v1.", OCI_ROUTE_TAG_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/nul", OCI_ROUTE_TAG_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/CON.1", OCI_ROUTE_TAG_INVALID},
        {OCI_ROUTE_MANIFESTS, "/v2/app/manifests/console", OCI_ROUTE_OK, "app", "console"},
    };
    for (const Case &c : cases)
        expect_route(c);
}

/* A level of a name may be a marker's word, at any position: every
 * program's marker is taken at its last place in the path. */
TEST(Route, NamesWithAMarkerWordAsALevel)
{
    const char *const names[] = {"team/blobs",
                                 "blobs/team",
                                 "a/blobs/uploads",
                                 "blobs/uploads/z",
                                 "manifests/manifests",
                                 "org/tags",
                                 "tags/list",
                                 "x/uploads",
                                 "y/referrers",
                                 "referrers/y",
                                 "v2",
                                 "v2/v2",
                                 "m/manifests/blobs/tags/referrers/list"};
    for (const char *name : names) {
        const std::string n = name;
        const Case cases[] = {
            {OCI_ROUTE_TAGS, "/v2/" + n + "/tags/list", OCI_ROUTE_OK, n},
            {OCI_ROUTE_MANIFESTS, "/v2/" + n + "/manifests/blobs", OCI_ROUTE_OK, n, "blobs"},
            {OCI_ROUTE_MANIFESTS, "/v2/" + n + "/manifests/" + kDigest, OCI_ROUTE_OK, n, kDigest},
            {OCI_ROUTE_BLOBS, "/v2/" + n + "/blobs/" + kDigest, OCI_ROUTE_OK, n, kDigest},
            {OCI_ROUTE_UPLOADS, "/v2/" + n + "/blobs/uploads/", OCI_ROUTE_OK, n},
            {OCI_ROUTE_UPLOADS, "/v2/" + n + "/blobs/uploads/" + kId, OCI_ROUTE_OK, n, kId},
            {OCI_ROUTE_REFERRERS, "/v2/" + n + "/referrers/" + kDigest, OCI_ROUTE_OK, n, kDigest},
        };
        for (const Case &c : cases)
            expect_route(c);
    }
}

TEST(Route, TagsAndLowerCaseNamesAlone)
{
    for (const char *tag : {"v1", "_x", "a.b-c", "Latest", "console"})
        EXPECT_EQ(oci_route_tag_valid(tag), 1) << tag;
    for (const char *tag : {"", "-v1", ".v1", "v1.", "nul", "CON.1", "a/b", "v 1", "a\\b"})
        EXPECT_EQ(oci_route_tag_valid(tag), 0) << tag;
    EXPECT_EQ(oci_route_tag_valid(nullptr), 0);
    EXPECT_EQ(oci_route_tag_valid(std::string(128, 't').c_str()), 1);
    EXPECT_EQ(oci_route_tag_valid(std::string(129, 't').c_str()), 0);

    for (const char *name : {"lib/app", "a-1/b_2.c", ""})
        EXPECT_EQ(oci_route_name_lower(name), 1) << name;
    for (const char *name : {"Lib/app", "lib/apP", "A", "z/Z"})
        EXPECT_EQ(oci_route_name_lower(name), 0) << name;
}

TEST(Route, BaseAndMissingArguments)
{
    EXPECT_EQ(oci_route_is_base("/v2/"), 1);
    EXPECT_EQ(oci_route_is_base("/v2"), 1);
    EXPECT_EQ(oci_route_is_base("/v2/x"), 0);
    EXPECT_EQ(oci_route_is_base("/v2//"), 0);
    EXPECT_EQ(oci_route_is_base(nullptr), 0);
    oci_route r;
    EXPECT_EQ(oci_route_parse(OCI_ROUTE_BLOBS, nullptr, &r), OCI_ROUTE_UNKNOWN);
    EXPECT_EQ(oci_route_parse(OCI_ROUTE_BLOBS, "/v2/a/blobs/x", nullptr), OCI_ROUTE_UNKNOWN);
    EXPECT_EQ(oci_route_parse(static_cast<oci_route_kind>(99), "/v2/a/blobs/x", &r),
              OCI_ROUTE_UNKNOWN);
    EXPECT_EQ(oci_route_device_name("COM", 3), 0);
    EXPECT_EQ(oci_route_device_name("com0", 4), 0);
    EXPECT_EQ(oci_route_device_name("aUx", 3), 1);
    EXPECT_EQ(oci_route_device_name(nullptr, 3), 0);
}

} // namespace
