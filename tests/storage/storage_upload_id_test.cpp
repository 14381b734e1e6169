/* The upload-id generator and the exclusive creation of upload files. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "blob_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using testsupport::read_text;
using testsupport::write_text;

std::string draw(uint32_t *state)
{
    char out[37];
    std::memset(out, '?', sizeof out);
    upload_id_next(state, out);
    return out;
}

/* The generator's steps written out once more, as the Part states them. */
std::string reference_id(uint32_t *state)
{
    uint8_t bytes[16];
    for (uint8_t &b : bytes) {
        *state ^= *state << 13;
        *state ^= *state >> 17;
        *state ^= *state << 5;
        b = static_cast<uint8_t>(*state);
    }
    if (*state == 0) *state = 0x9E3779B9u;
    std::string id;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
        id += "0123456789abcdef"[bytes[i] & 0x0F];
        id += "0123456789abcdef"[bytes[i] >> 4];
    }
    return id;
}

TEST(UploadId, StatedExampleFromStateOne)
{
    uint32_t state = 1;
    EXPECT_EQ(draw(&state), "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
    EXPECT_EQ(state, 0xC9C495B1u);
}

TEST(UploadId, FirstStepFromStateOne)
{
    /* 1 -> 0x42021 after the first three shifts: byte 0x21, digits '1' '2'. */
    uint32_t state = 1;
    const std::string id = draw(&state);
    EXPECT_EQ(id.substr(0, 2), "12");
}

TEST(UploadId, MatchesTheStatedStepsForManyStates)
{
    for (uint32_t seed : {1u, 2u, 0x9E3779B9u, 0xFFFFFFFFu, 0x80000000u, 12345u, 0xDEADBEEFu}) {
        uint32_t a = seed, b = seed;
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(draw(&a), reference_id(&b)) << "seed " << seed << " draw " << i;
            ASSERT_EQ(a, b);
        }
    }
}

TEST(UploadId, FormIsValidAndTerminated)
{
    uint32_t state = 0x12345678u;
    for (int i = 0; i < 200; ++i) {
        char out[40];
        std::memset(out, 'Z', sizeof out);
        upload_id_next(&state, out);
        ASSERT_EQ(std::strlen(out), 36u);
        EXPECT_EQ(out[37], 'Z') << "writes 37 bytes only";
        for (int p = 0; p < 36; ++p) {
            bool dash = p == 8 || p == 13 || p == 18 || p == 23;
            if (dash)
                EXPECT_EQ(out[p], '-') << out;
            else
                EXPECT_TRUE(std::strchr("0123456789abcdef", out[p]) != nullptr) << out;
        }
        EXPECT_EQ(uuid_valid(out), 1) << out;
    }
}

TEST(UploadId, SuccessiveDrawsDiffer)
{
    uint32_t state = 1;
    std::set<std::string> seen;
    for (int i = 0; i < 10000; ++i)
        seen.insert(draw(&state));
    EXPECT_EQ(seen.size(), 10000u);
}

TEST(UploadId, StateNeverStaysZero)
{
    /* Only a zero state gives a zero final state; it is replaced. */
    uint32_t state = 0;
    EXPECT_EQ(draw(&state), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(state, 0x9E3779B9u);
}

/* ---- exclusive creation ------------------------------------------------- */

using UploadCreate = blobtest::BlobStore;

TEST_F(UploadCreate, CreatesAnEmptyFileForTheFirstDraw)
{
    uint32_t state = 1;
    char id[37];
    char path[kPathCap];
    ASSERT_EQ(upload_create(&state, id, path), 0);
    EXPECT_STREQ(id, "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
    EXPECT_EQ(std::string(path), upload_path(id));
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(state, 0xC9C495B1u);
}

TEST_F(UploadCreate, ATakenIdIsSkippedAndItsFileKept)
{
    uint32_t probe = 1;
    const std::string first = draw(&probe);
    const std::string second = draw(&probe);
    write_text(upload_path(first), "someone else's bytes");

    uint32_t state = 1;
    char id[37];
    char path[kPathCap];
    ASSERT_EQ(upload_create(&state, id, path), 0);
    EXPECT_EQ(std::string(id), second);
    EXPECT_EQ(state, probe) << "advanced by both draws";
    EXPECT_EQ(read_text(upload_path(first)), "someone else's bytes");
    EXPECT_EQ(fs::file_size(upload_path(second)), 0u);
}

TEST_F(UploadCreate, ADirectoryOfThatNameAlsoCountsAsTaken)
{
    uint32_t probe = 1;
    const std::string first = draw(&probe);
    const std::string second = draw(&probe);
    fs::create_directory(upload_path(first));
    uint32_t state = 1;
    char id[37];
    char path[kPathCap];
    ASSERT_EQ(upload_create(&state, id, path), 0);
    EXPECT_EQ(std::string(id), second);
    EXPECT_TRUE(fs::is_directory(upload_path(first)));
}

TEST_F(UploadCreate, GivesUpAfterTheBoundedNumberOfTakenIds)
{
    uint32_t probe = 1;
    std::string last;
    for (int i = 0; i < kUploadCreateTries; ++i) {
        last = draw(&probe);
        write_text(upload_path(last), "taken " + std::to_string(i));
    }
    uint32_t state = 1;
    char id[37];
    char path[kPathCap];
    EXPECT_EQ(upload_create(&state, id, path), -1);
    EXPECT_EQ(std::string(id), last);
    EXPECT_EQ(std::string(path), upload_path(last));
    EXPECT_EQ(state, probe);
    /* Nothing was truncated. */
    uint32_t again = 1;
    for (int i = 0; i < kUploadCreateTries; ++i)
        EXPECT_EQ(read_text(upload_path(draw(&again))), "taken " + std::to_string(i));
}

TEST_F(UploadCreate, OneTakenIdShortOfTheBoundStillSucceeds)
{
    uint32_t probe = 1;
    for (int i = 0; i < kUploadCreateTries - 1; ++i)
        write_text(upload_path(draw(&probe)), "x");
    const std::string free_id = draw(&probe);
    uint32_t state = 1;
    char id[37];
    char path[kPathCap];
    ASSERT_EQ(upload_create(&state, id, path), 0);
    EXPECT_EQ(std::string(id), free_id);
}

TEST_F(UploadCreate, AMissingUploadsDirectoryFailsAtOnce)
{
    fs::remove_all(fs::path(root) / "uploads");
    uint32_t probe = 1;
    const std::string first = draw(&probe);
    uint32_t state = 1;
    char id[37];
    char path[kPathCap];
    EXPECT_EQ(upload_create(&state, id, path), -1);
    EXPECT_EQ(std::string(id), first) << "no further draws";
    EXPECT_EQ(std::string(path), upload_path(first));
}

/* The create fails as the platform would (errno err) for the first path it
 * is given, without touching the file system. */
struct CreateFault {
    int err;
    std::string path;
    static int hook(const char *op, const char *p, void *ctx)
    {
        auto *f = static_cast<CreateFault *>(ctx);
        if (std::strcmp(op, "create") != 0 || !f->path.empty()) return 0;
        f->path = p;
        return f->err;
    }
};

TEST_F(UploadCreate, ANameTakenAndFreedBetweenTheTwoLooksIsDrawnAgain)
{
    /* Another process held the id and finished its upload (moved the file
     * away) before this one looked: the name exists no longer, yet is no
     * reason to fail the push. */
    uint32_t probe = 1;
    const std::string first = draw(&probe);
    const std::string second = draw(&probe);
    CreateFault f{EEXIST, {}};
    plat_set_fault_hook(&CreateFault::hook, &f);
    uint32_t state = 1;
    char id[37];
    char path[kPathCap];
    const int rc = upload_create(&state, id, path);
    plat_set_fault_hook(nullptr, nullptr);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(f.path, upload_path(first));
    EXPECT_EQ(std::string(id), second);
    EXPECT_FALSE(fs::exists(upload_path(first)));
}

TEST_F(UploadCreate, AFullOrReadOnlyStoreFailsAtOnceAndSaysWhy)
{
    for (int err : {ENOSPC, EACCES}) {
        CreateFault f{err, {}};
        plat_set_fault_hook(&CreateFault::hook, &f);
        char id[37];
        const int rc = reg_blob_start_upload(id);
        plat_set_fault_hook(nullptr, nullptr);
        EXPECT_EQ(rc, -1) << err;
        EXPECT_EQ(reg_storage_last_error_kind(), err == ENOSPC ? REG_ERROR_FULL : REG_ERROR_NOT_WRITABLE);
        EXPECT_NE(std::string(reg_storage_last_error()).find("cannot create upload file"), std::string::npos);
    }
}

/* ---- reg_blob_start_upload ---------------------------------------------- */

using StartUpload = blobtest::BlobStore;

TEST_F(StartUpload, TwoStartsGiveDifferentIdsAndEmptyFiles)
{
    char a[37], b[37];
    ASSERT_EQ(reg_blob_start_upload(a), 0) << error();
    ASSERT_EQ(reg_blob_start_upload(b), 0) << error();
    EXPECT_STRNE(a, b);
    for (const char *id : {a, b}) {
        EXPECT_EQ(std::strlen(id), 36u);
        EXPECT_EQ(uuid_valid(id), 1) << id;
        EXPECT_TRUE(fs::is_regular_file(upload_path(id))) << id;
        EXPECT_EQ(fs::file_size(upload_path(id)), 0u);
    }
    EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(StartUpload, NullBuffer)
{
    EXPECT_EQ(reg_blob_start_upload(nullptr), -1);
    EXPECT_EQ(error(), "out_upload_uuid is NULL");
}

TEST_F(StartUpload, NullBufferIsTestedBeforeInitialisation)
{
    reg_storage_cleanup();
    EXPECT_EQ(reg_blob_start_upload(nullptr), -1);
    EXPECT_EQ(error(), "out_upload_uuid is NULL");
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_EQ(error(), "not initialized - call reg_storage_init first");
}

TEST_F(StartUpload, CreationFailureNamesTheFileAndStillWritesTheId)
{
    fs::remove_all(fs::path(root) / "uploads");
    char id[37] = "";
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    ASSERT_EQ(std::strlen(id), 36u);
    EXPECT_EQ(uuid_valid(id), 1);
    EXPECT_EQ(error(), "cannot create upload file: " + upload_path(id));
    /* The generator advanced all the same: the next id differs. */
    fs::create_directory(fs::path(root) / "uploads");
    char next[37];
    ASSERT_EQ(reg_blob_start_upload(next), 0) << error();
    EXPECT_STRNE(id, next);
}

} // namespace
