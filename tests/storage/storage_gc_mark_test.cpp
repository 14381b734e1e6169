/* The mark: which references protect a blob, that every body is seen, and
 * that a real run on a mark that missed something deletes nothing. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gc_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using blobtest::digest_of;
using gctest::parse_doc;
using testsupport::write_text;

using Mark = gctest::GcStore;

TEST_F(Mark, AManifestWithoutTagsStillProtectsItsBlobs)
{
    const gctest::image img = push("app", "", 2, "untagged");
    const gctest::image index_child = push("multi", "", 1, "child");
    put("multi", "all",
        "{\"schemaVersion\":2,\"manifests\":[{\"digest\":\"" + index_child.manifest + "\"}]}");
    old_blobs();
    const auto v = gc(0);
    EXPECT_EQ(v["blobs_deleted"], 0);
    EXPECT_EQ(v["blobs_reachable"], 5);
    for (const auto *i : {&img, &index_child})
        for (const auto &d : i->blobs)
            EXPECT_TRUE(has(d));
}

TEST_F(Mark, DeletingTheLastManifestTurnsItsBlobsIntoGarbage)
{
    const gctest::image img = push("app", "v1", 1, "app");
    old_blobs();
    ASSERT_EQ(reg_manifest_delete("app", "v1"), 0) << error();
    EXPECT_EQ(gc(0)["blobs_deleted"], 2);
    for (const auto &d : img.blobs)
        EXPECT_FALSE(has(d));
}

/* The walk has no depth limit: a repository as deep as a name allows is
 * marked like any other, and only the garbage goes. */
TEST_F(Mark, ARepositoryManyLevelsDeepIsMarked)
{
    const std::string deep = "l1/l2/l3/l4/l5/l6/l7/l8/l9/l10/l11/l12";
    const gctest::image img = push(deep, "v1", 1, "deep");
    const std::string garbage = store("garbage");
    old_blobs();
    EXPECT_EQ(gc(0)["blobs_deleted"], 1) << error();
    EXPECT_FALSE(has(garbage));
    for (const auto &d : img.blobs)
        EXPECT_TRUE(has(d));
}

/* Bodies that parse but whose references are not ours to honour: written
 * beside an engine-made manifest, as a damaged or foreign file would be. */
TEST_F(Mark, OnlyWellFormedReferencesProtect)
{
    const gctest::image base = push("app", "v1", 0, "base");
    const struct {
        const char *what;
        std::string body; /* VICTIM stands for the blob's digest */
        bool protects;
    } cases[] = {
        {"config", "{\"config\":{\"digest\":\"VICTIM\"}}", true},
        {"layer", "{\"layers\":[1,{\"digest\":\"VICTIM\"}]}", true},
        {"index entry", "{\"manifests\":[{\"digest\":\"VICTIM\"}]}", true},
        {"first of two configs", "{\"config\":{\"digest\":\"VICTIM\"},\"config\":{}}", true},
        {"second of two configs", "{\"config\":{},\"config\":{\"digest\":\"VICTIM\"}}", false},
        {"layer as a string", "{\"layers\":[\"VICTIM\"]}", false},
        {"layers as an object", "{\"layers\":{\"digest\":\"VICTIM\"}}", false},
        {"digest as a number", "{\"config\":{\"digest\":7},\"x\":\"VICTIM\"}", false},
        {"other member", "{\"blobs\":[{\"digest\":\"VICTIM\"}]}", false},
        {"root an array", "[{\"config\":{\"digest\":\"VICTIM\"}}]", false},
        {"upper-case hex", "{\"config\":{\"digest\":\"UPPER\"}}", false},
        {"other algorithm", "{\"config\":{\"digest\":\"SHA512\"}}", false},
        {"extra digit", "{\"config\":{\"digest\":\"VICTIM0\"}}", false},
    };
    std::vector<std::string> victims;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string victim = store("victim " + std::to_string(i));
        victims.push_back(victim);
        std::string body = cases[i].body, hex = victim.substr(7), upper = victim;
        for (auto &c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        upper.replace(0, 7, "sha256:");
        for (auto [from, to] : {std::pair<std::string, std::string>{"VICTIM", victim},
                                {"UPPER", upper},
                                {"SHA512", "sha512:" + hex}})
            if (auto at = body.find(from); at != std::string::npos)
                body.replace(at, from.size(), to);
        write_text(body_file("app", digest_of(body)), body);
    }
    old_blobs();
    const auto v = gc(0);
    ASSERT_TRUE(v.parsed) << error();
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(has(victims[i]), cases[i].protects) << cases[i].what;
    EXPECT_TRUE(has(base.blobs[0]));
}

TEST_F(Mark, EntriesThatAreNoBodiesAreNotRead)
{
    const gctest::image img = push("app", "v1", 1, "app");
    const fs::path dir = repos() / "app" / "_manifests";
    /* A directory with a body's name, and files with other names, holding
     * text that is no JSON: none is a body, so none makes the mark fail. */
    fs::create_directories(dir / std::string(64, 'c'));
    write_text(dir / (std::string(64, 'd') + ".bak"), "not json");
    write_text(dir / std::string(64, 'E'), "not json");
    write_text(dir / "README", "not json");
    store("garbage");
    old_blobs();
    const auto v = gc(0);
    EXPECT_EQ(v["blobs_deleted"], 1) << error();
    EXPECT_TRUE(has(img.blobs[1]));
}

TEST_F(Mark, EveryBodyOfALargeRepositoryIsSeen)
{
    /* 300 manifests leave 600 entries (body and content type) in one
     * directory, past what a capped listing sees. */
    std::vector<gctest::image> images;
    for (int i = 0; i < 300; ++i)
        images.push_back(push("big", "", 0, "image " + std::to_string(i)));
    const std::string garbage = store("garbage");
    old_blobs();
    const auto v = gc(0);
    EXPECT_EQ(v["blobs_reachable"], 300) << error();
    EXPECT_EQ(v["blobs_deleted"], 1);
    for (const auto &img : images)
        EXPECT_TRUE(has(img.blobs[0]));
}

/* ---- a mark that missed something ------------------------------------------ */

class Incomplete : public Mark
{
  protected:
    /* A referenced image and one old unreferenced blob. */
    void SetUp() override
    {
        Mark::SetUp();
        img = push("library/app", "v1", 1, "app");
        garbage = store("garbage");
        old_blobs();
    }

    /* A real run deletes nothing and names the cause; a dry run reports as
     * usual (counting what the unseen manifests reference as garbage:
     * dry_deleted) and leaves the same message in the error slot. */
    void expect_refused(const std::string &message, int64_t dry_deleted = 1)
    {
        EXPECT_EQ(reg_gc_json(0), nullptr);
        EXPECT_EQ(error(), message);
        EXPECT_TRUE(has(garbage));
        for (const auto &d : img.blobs)
            EXPECT_TRUE(has(d));
        const auto p = parse_doc(reg_gc_progress_json());
        EXPECT_EQ(p.str.at("phase"), "done");
        EXPECT_EQ(p["running"], 0);

        const auto dry = gc(1);
        EXPECT_EQ(dry["blobs_deleted"], dry_deleted);
        EXPECT_EQ(error(), message);
    }

    gctest::image img;
    std::string garbage;
};

TEST_F(Incomplete, ABodyThatDoesNotParse)
{
    for (const char *text : {"{\"config\":", "not json at all", "\x89PNG\r\n\x1a\n"}) {
        const std::string body = text;
        write_text(body_file("library/app", digest_of(body)), body);
        expect_refused("mark incomplete, nothing deleted: manifest library/app@" + digest_of(body) +
                       " is not valid JSON");
        fs::remove(body_file("library/app", digest_of(body)));
    }
    /* Repaired, the store is collected. */
    EXPECT_EQ(gc(0)["blobs_deleted"], 1);
    EXPECT_FALSE(has(garbage));
}

TEST_F(Incomplete, ABodyTooLargeToRead)
{
    const fs::path body = body_file("library/app", img.manifest);
    fs::resize_file(body, (64u << 20) + 1); /* sparse */
    expect_refused("mark incomplete, nothing deleted: manifest library/app@" + img.manifest +
                       " cannot be read",
                   3);
}

TEST_F(Incomplete, SeveralCausesAreCounted)
{
    for (const char *text : {"{", "["}) {
        const std::string body = text;
        write_text(body_file("library/app", digest_of(body)), body);
    }
    EXPECT_EQ(reg_gc_json(0), nullptr);
    EXPECT_NE(error().find(" (and 1 more)"), std::string::npos) << error();
}

/* Takes all permissions from path for the scope. */
class Locked
{
  public:
    explicit Locked(fs::path p) : p_(std::move(p)) { fs::permissions(p_, fs::perms::none); }
    ~Locked()
    {
        std::error_code ec;
        fs::permissions(p_, fs::perms::owner_all, ec);
    }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

  private:
    fs::path p_;
};

TEST_F(Incomplete, WhatPermissionsHide)
{
    SKIP_ON_WINDOWS("Windows has no POSIX permission bits to take away");
    const fs::path manifests = repos() / "library" / "app" / "_manifests";
    const fs::path body = body_file("library/app", img.manifest);
    {
        Locked lock(body);
        if (testsupport::read_text(body).size() > 0)
            GTEST_SKIP() << "file permissions do not bind this process (running as root?)";
        expect_refused("mark incomplete, nothing deleted: manifest library/app@" + img.manifest +
                           " cannot be read",
                       3);
    }
    {
        Locked lock(manifests);
        expect_refused("mark incomplete, nothing deleted: manifests of repository library/app "
                       "cannot be listed",
                       3);
    }
    {
        Locked lock(repos() / "library");
        expect_refused("mark incomplete, nothing deleted: directory cannot be listed: library", 3);
    }
}

} // namespace
