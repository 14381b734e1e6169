/* The running digest saved beside an upload: the finish takes it when it
 * covers the upload, and hashes the upload file whenever it does not. */
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "blob_fixture.h"
#include "gc_fixture.h"

namespace
{

namespace fs = std::filesystem;
using blobtest::digest_of;
using blobtest::pseudo_random;
using testsupport::read_text;
using testsupport::write_text;

class UploadHash : public blobtest::BlobStore
{
  protected:
    fs::path state_path(const std::string &id) const
    {
        return fs::path(root) / "uploads" / "sha256-state" / id;
    }
    std::string start()
    {
        char id[37];
        EXPECT_EQ(reg_blob_start_upload(id), 0) << error();
        return id;
    }
    /* One streamed append of data in pieces of `piece` bytes. */
    void stream(const std::string &id, const std::string &data, size_t piece)
    {
        ASSERT_EQ(reg_blob_append_begin(id.c_str()), 0) << error();
        for (size_t at = 0; at < data.size(); at += piece) {
            const std::string part = data.substr(at, piece);
            ASSERT_EQ(reg_blob_append_write(part.data(), part.size()), 0) << error();
        }
        ASSERT_EQ(reg_blob_append_end(), 0) << error();
    }
    /* Bytes added to the upload file behind the engine's back, as a process
     * killed before saving its state leaves them. */
    void append_raw(const std::string &id, const std::string &data) const
    {
        std::ofstream(upload_path(id), std::ios::binary | std::ios::app) << data;
    }
    int finish(const std::string &id, const std::string &digest)
    {
        char out[DIGEST_TEXT_CAP];
        return reg_blob_finish_upload(id.c_str(), digest.c_str(), out);
    }
    static std::string error() { return reg_storage_last_error(); }
};

TEST_F(UploadHash, StreamedAppendsOfAnySplitGiveTheDigestOfTheWhole)
{
    const std::string data = pseudo_random(300000, 7);
    for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{4097},
                         size_t{65536}, data.size()}) {
        SCOPED_TRACE(piece);
        const std::string id = start();
        /* Three requests: the state carries the digest from one to the next. */
        stream(id, data.substr(0, 1000), piece);
        stream(id, data.substr(1000, 100000), piece);
        stream(id, data.substr(101000), piece);
        EXPECT_TRUE(fs::is_regular_file(state_path(id)));
        ASSERT_EQ(finish(id, digest_of(data)), 0) << error();
        EXPECT_EQ(read_text(blob_path(digest_of(data))), data);
        EXPECT_FALSE(fs::exists(state_path(id))) << "a finish forgets the state";
        ASSERT_EQ(reg_blob_delete(digest_of(data).c_str()), 0);
    }
    EXPECT_FALSE(fs::exists(fs::path(root) / "uploads" / "sha256-state"))
        << "no upload in progress, nothing beside the uploads";
}

TEST_F(UploadHash, TheFinishTakesTheDigestFromTheState)
{
    /* Shown by a state that disagrees with the file: bytes of the same size
     * swapped in by hand are not read, the state's digest is taken. */
    const std::string id = start();
    stream(id, "the bytes that were hashed", 7);
    write_text(upload_path(id), "the bytes that were HASHED");
    EXPECT_EQ(finish(id, digest_of("the bytes that were HASHED")), -1);
    EXPECT_EQ(error().rfind("digest mismatch", 0), 0u) << error();
}

TEST_F(UploadHash, AStateThatDoesNotCoverTheUploadFallsBackToHashingTheFile)
{
    const std::string data = pseudo_random(5000, 3);
    const std::string other_id = start();
    stream(other_id, pseudo_random(data.size(), 4), 4096); // same size, other bytes
    const std::string other_state = read_text(state_path(other_id));

    struct spoil {
        const char *label;
        std::function<void(const std::string &id)> apply;
    };
    const std::vector<spoil> cases = {
        {"no state", [&](const std::string &id) { fs::remove(state_path(id)); }},
        {"bytes appended without one",
         [&](const std::string &id) { append_raw(id, "more"); }},
        {"state of another upload",
         [&](const std::string &id) { write_text(state_path(id), other_state); }},
        {"cut short",
         [&](const std::string &id) {
             const std::string s = read_text(state_path(id));
             write_text(state_path(id), s.substr(0, s.size() / 2));
         }},
        {"one digit changed",
         [&](const std::string &id) {
             std::string s = read_text(state_path(id));
             s[s.size() / 2] = s[s.size() / 2] == '0' ? '1' : '0';
             write_text(state_path(id), s);
         }},
        {"empty", [&](const std::string &id) { write_text(state_path(id), ""); }},
        {"a directory",
         [&](const std::string &id) {
             fs::remove(state_path(id));
             fs::create_directory(state_path(id));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string id = start();
        stream(id, data, 1000);
        c.apply(id);
        const std::string whole = read_text(upload_path(id));
        ASSERT_EQ(finish(id, digest_of(whole)), 0) << error();
        EXPECT_EQ(read_text(blob_path(digest_of(whole))), whole);
        fs::remove_all(state_path(id));
        ASSERT_EQ(reg_blob_delete(digest_of(whole).c_str()), 0);
    }
}

TEST_F(UploadHash, AppendsAfterBytesTheStateMissedStillFinishRight)
{
    /* A process killed between writing and saving its state: the next
     * appends cannot continue the digest, and the finish hashes the file. */
    const std::string id = start();
    stream(id, "first request ", 5);
    append_raw(id, "cut off ");
    stream(id, "last request", 5);
    const std::string whole = "first request cut off last request";
    ASSERT_EQ(read_text(upload_path(id)), whole);
    ASSERT_EQ(finish(id, digest_of(whole)), 0) << error();
    EXPECT_EQ(read_text(blob_path(digest_of(whole))), whole);
}

TEST_F(UploadHash, AnotherWriterDuringAnAppendLeavesNoState)
{
    /* Two requests appending to one upload at once: neither one's digest
     * covers the file, so neither may be saved. */
    const std::string id = start();
    stream(id, "agreed start ", 4);
    ASSERT_EQ(reg_blob_append_begin(id.c_str()), 0) << error();
    append_raw(id, "[other] ");
    ASSERT_EQ(reg_blob_append_write("mine", 4), 0) << error();
    ASSERT_EQ(reg_blob_append_end(), 0) << error();
    EXPECT_FALSE(fs::exists(state_path(id)));
    EXPECT_EQ(finish(id, digest_of("agreed start mine")), -1) << "the file is what counts";
    EXPECT_EQ(error().rfind("digest mismatch", 0), 0u) << error();
}

TEST_F(UploadHash, AResumedUploadContinuesItsDigest)
{
    /* The client went away mid-request; what arrived stays, with its state,
     * and the next request continues from there. */
    const std::string data = pseudo_random(200000, 9);
    const std::string id = start();
    stream(id, data.substr(0, 65536 + 17), 65536);
    const std::string state = read_text(state_path(id));
    EXPECT_NE(state.find(" 65553 "), std::string::npos) << state;
    stream(id, data.substr(65536 + 17), 65536);
    ASSERT_EQ(finish(id, digest_of(data)), 0) << error();
}

TEST_F(UploadHash, CancelForgetsTheState)
{
    const std::string id = start();
    stream(id, "abandoned", 3);
    ASSERT_TRUE(fs::exists(state_path(id)));
    ASSERT_EQ(reg_blob_cancel_upload(id.c_str()), 0) << error();
    EXPECT_FALSE(fs::exists(state_path(id)));
    EXPECT_FALSE(fs::exists(upload_path(id)));
}

TEST_F(UploadHash, AFailedWriteRefusesTheRestAndEndReportsIt)
{
    ASSERT_EQ(reg_blob_append_write("x", 1), -1) << "nothing begun";
    EXPECT_EQ(reg_blob_append_begin("not-an-upload-id"), -1);
    EXPECT_EQ(error(), "invalid upload uuid");
    EXPECT_EQ(reg_blob_append_begin("12105cf4-1d0d-a12b-5247-bc73a8ea5f1b"), -1);
    EXPECT_EQ(error(), "upload not found: 12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
    EXPECT_EQ(reg_blob_append_end(), 0) << "nothing open, nothing to report";
}

TEST_F(UploadHash, CollectionRemovesOrphanedStatesOnceTheirWindowPassed)
{
    const std::string live = start();
    stream(live, "still uploading", 4);
    const std::string gone = start();
    stream(gone, "finished elsewhere", 4);
    fs::remove(upload_path(gone)); /* its state left behind by a killed finish */
    const fs::path temp = state_path(live).string() + ".tmp-1-1";
    write_text(temp, "half");
    for (const fs::path &p : {state_path(gone), temp}) gctest::age(p, 1000);
    gctest::age(state_path(live), 1000);
    gctest::age(upload_path(live), 100); /* young: in progress */
    reg_gc_json(0);
    EXPECT_TRUE(fs::exists(state_path(live))) << "its upload is still there";
    EXPECT_FALSE(fs::exists(state_path(gone)));
    EXPECT_FALSE(fs::exists(temp));
}

} // namespace
