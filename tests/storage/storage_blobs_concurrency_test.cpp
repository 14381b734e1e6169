/* Several processes finishing uploads of identical content at once.
 *
 * The Part's concurrency rule: the rename into the store never replaces an
 * existing file. A finish that finds the blob stored succeeds and drops its
 * upload; a finish whose rename loses the race (the blob appeared between
 * its existence test and its rename) fails with "rename to CAS failed: %s"
 * and keeps its upload open, and repeating it succeeds. Either way exactly
 * one blob file exists, with the uploaded bytes, and no success leaves an
 * upload file behind. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "blob_fixture.h"

#ifndef BLOB_FINISH_HELPER
#error "BLOB_FINISH_HELPER must name the helper executable"
#endif

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using blobtest::digest_of;
using testsupport::read_text;
using testsupport::write_text;

constexpr int kProcesses = 8;

struct Outcome {
    int rc = 99;
    std::string message;
    std::string out_digest;
};

Outcome parse(const std::string &text)
{
    Outcome o;
    std::istringstream in(text);
    std::string line;
    if (std::getline(in, line)) o.rc = std::atoi(line.c_str());
    std::getline(in, o.message);
    std::getline(in, o.out_digest);
    return o;
}

std::string shell_arg(const std::string &s)
{
    return "\"" + s + "\"";
}

class ConcurrentFinish : public blobtest::BlobStore
{
  protected:
    /* Runs one finish per id in its own process, all released at once. */
    std::vector<Outcome> finish_all(const std::vector<std::string> &ids, const std::string &digest,
                                    int round)
    {
        const fs::path work = tmp.path() / ("round" + std::to_string(round));
        fs::create_directories(work);
        const fs::path go = work / "go";
        std::vector<std::thread> threads;
        std::vector<int> status(ids.size(), -1);
        for (size_t i = 0; i < ids.size(); ++i) {
            const std::string n = std::to_string(i);
            std::string cmd =
                shell_arg(BLOB_FINISH_HELPER) + " " + shell_arg(root) + " " + ids[i] + " " +
                digest + " " + shell_arg((work / ("ready" + n)).string()) + " " +
                shell_arg(go.string()) + " " + shell_arg((work / ("result" + n)).string());
#ifdef _WIN32
            /* cmd.exe /c drops the first and last quote of a command that
             * starts with one; a further pair keeps the arguments' quotes. */
            cmd = "\"" + cmd + "\"";
#endif
            threads.emplace_back([cmd, &status, i] { status[i] = std::system(cmd.c_str()); });
        }
        /* Release them together once every one is waiting. */
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (size_t i = 0; i < ids.size(); ++i)
            while (!fs::exists(work / ("ready" + std::to_string(i))) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        write_text(go, "go");
        for (auto &t : threads)
            t.join();

        std::vector<Outcome> out;
        for (size_t i = 0; i < ids.size(); ++i) {
            EXPECT_EQ(status[i], 0) << "helper " << i << " did not report";
            out.push_back(parse(read_text(work / ("result" + std::to_string(i)))));
        }
        return out;
    }
};

TEST_F(ConcurrentFinish, IdenticalContentGivesOneBlobAndNoLeftoverUploads)
{
    int raced = 0;
    for (int round = 0; round < 6; ++round) {
        /* Small contents converge on the existence test at once; large
         * ones arrive after hashing at slightly different moments. */
        const size_t size = round % 2 == 0 ? 1024 : (size_t{4} << 20);
        const std::string data = blobtest::pseudo_random(size, 100 + round);
        const std::string digest = digest_of(data);
        std::vector<std::string> ids;
        for (int i = 0; i < kProcesses; ++i)
            ids.push_back(upload(data));

        const std::vector<Outcome> outcomes = finish_all(ids, digest, round);

        for (size_t i = 0; i < ids.size(); ++i) {
            const Outcome &o = outcomes[i];
            SCOPED_TRACE("round " + std::to_string(round) + ", process " + std::to_string(i));
            if (o.rc == 0) {
                EXPECT_EQ(o.out_digest, digest);
                EXPECT_FALSE(fs::exists(upload_path(ids[i]))) << "a success left its upload";
            } else {
                /* Lost the race for the rename: it fails and keeps the upload open. */
                ++raced;
                EXPECT_EQ(o.rc, -1);
                EXPECT_EQ(o.message, "rename to CAS failed: " + blob_path(digest));
                EXPECT_EQ(upload_bytes(ids[i]), static_cast<int64_t>(size));
                char out[DIGEST_TEXT_CAP];
                EXPECT_EQ(reg_blob_finish_upload(ids[i].c_str(), digest.c_str(), out), 0)
                    << error();
                EXPECT_FALSE(fs::exists(upload_path(ids[i])));
            }
        }
        /* Exactly one blob file, holding the bytes. */
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(fan_dir(digest)))
            names.push_back(e.path().filename().string());
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0], digest.substr(7));
        EXPECT_EQ(read_text(blob_path(digest)), data);
    }
    EXPECT_TRUE(fs::is_empty(fs::path(root) / "uploads"));
    RecordProperty("finishes_that_lost_the_rename_race", raced);
    std::printf("[          ] %d of %d finishes lost the rename race and were repeated\n", raced,
                6 * kProcesses);
}

TEST_F(ConcurrentFinish, ADifferentClaimLosesNothingStored)
{
    /* Half the processes claim the right digest, half a wrong one: the
     * wrong ones fail with a mismatch and lose only their own upload. */
    const std::string data = blobtest::pseudo_random(65536 * 3 + 17, 7);
    const std::string digest = digest_of(data);
    std::vector<std::string> right, wrong;
    for (int i = 0; i < kProcesses / 2; ++i)
        right.push_back(upload(data));
    for (int i = 0; i < kProcesses / 2; ++i)
        wrong.push_back(upload(data + "tampered"));
    std::vector<std::string> ids = right;
    ids.insert(ids.end(), wrong.begin(), wrong.end());
    /* Every helper claims the same digest. */
    const std::vector<Outcome> outcomes = finish_all(ids, digest, 0);
    for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE("process " + std::to_string(i));
        if (i >= right.size()) {
            EXPECT_EQ(outcomes[i].rc, -1);
            EXPECT_EQ(outcomes[i].message, "digest mismatch: expected " + digest + ", got " +
                                               digest_of(data + "tampered"));
            EXPECT_FALSE(fs::exists(upload_path(ids[i])));
        } else if (outcomes[i].rc != 0) {
            EXPECT_EQ(outcomes[i].message, "rename to CAS failed: " + blob_path(digest));
            EXPECT_TRUE(fs::exists(upload_path(ids[i])));
        }
    }
    EXPECT_EQ(read_text(blob_path(digest)), data);
}

TEST_F(ConcurrentFinish, AFanOutDirectoryRemovedMeanwhileIsMadeAgain)
{
    /* A collection, or the delete of the last blob beside it, removes a
     * fan-out directory it finds empty; it may do so between the finish's
     * making it and the rename into it. Here it is removed once per finish,
     * as soon as it appears (the blob delete after each round removes it
     * too). Every finish must still succeed. */
    const std::string data = blobtest::pseudo_random(100, 3);
    const std::string digest = digest_of(data);
    testsupport::EmptyDirRemover remover({fan_dir(digest)});
    for (int i = 1; i <= 2000; ++i) {
        const std::string id = upload(data);
        remover.arm();
        char out[DIGEST_TEXT_CAP];
        ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0)
            << "finish " << i << ": " << error();
        EXPECT_EQ(read_text(blob_path(digest)), data);
        ASSERT_EQ(reg_blob_delete(digest.c_str()), 0) << error();
    }
    EXPECT_TRUE(fs::is_empty(fs::path(root) / "uploads"));
}

} // namespace
