/* The repository walk as garbage collection runs it: no cap on names or
 * entries, and a note of everything it could not see. */
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace
{

using namespace storage;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class FullWalk : public storetest::EmptyStore
{
  protected:
    Names walk_all()
    {
        repo_list list;
        EXPECT_EQ(list.collect(&unseen), 0);
        Names out;
        for (int i = 0; i < list.count(); ++i)
            out.emplace_back(list[i]);
        std::sort(out.begin(), out.end());
        return out;
    }
    unseen_log unseen;
};

TEST_F(FullWalk, SeesEveryNameOfLargeDirectories)
{
    /* 1,030 repositories, 520 of them in one directory. */
    for (int i = 0; i < 1030; ++i)
        make_repo("g" + std::to_string(i < 520 ? 0 : 1) + "/r" + std::to_string(i));
    const Names names = walk_all();
    EXPECT_EQ(names.size(), 1030u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 1030u);
    EXPECT_EQ(unseen.count, 0) << unseen.first;
    EXPECT_EQ(storetest::walked_names(), names) << "the same walk without a log";
}

TEST_F(FullWalk, GoesAsDeepAsNamesAndNotesOneTooLongToForm)
{
    const std::string thirteen = "l1/l2/l3/l4/l5/l6/l7/l8/l9/plain/dirs/only/l13";
    make_repo(thirteen);
    fs::create_directories(repos() / thirteen / "_manifests" / "x" / "_manifests");
    EXPECT_EQ(walk_all(), (Names{thirteen}));
    EXPECT_EQ(unseen.count, 0) << unseen.first;

    SKIP_ON_WINDOWS(testsupport::kNeedsLongPaths);
    /* Four 255-byte components make a 1,023-byte name; a fifth is cut. */
    const std::string c(255, 'c');
    const std::string four = c + "/" + c + "/" + c + "/" + c;
    make_repo(four + "/e");
    EXPECT_EQ(walk_all(), (Names{thirteen}));
    EXPECT_EQ(unseen.count, 1);
    EXPECT_EQ(unseen.first, ("name too long below: " + four).substr(0, kUnseenCap - 1));
}

TEST_F(FullWalk, NotesADirectoryItCannotListWherePermissionsBind)
{
    SKIP_ON_WINDOWS("Windows has no POSIX permission bits to take away");
    make_repo("open");
    make_repo("locked/inner");
    fs::permissions(repos() / "locked", fs::perms::none);
    const bool binds = !storetest::permissions_ignored(repos() / "locked");
    const Names names = walk_all();
    fs::permissions(repos() / "locked", fs::perms::owner_all);
    if (!binds) GTEST_SKIP() << "file permissions do not bind this process (running as root?)";
    EXPECT_EQ(names, (Names{"open"}));
    EXPECT_EQ(unseen.count, 1);
    EXPECT_STREQ(unseen.first, "directory cannot be listed: locked");
}

} // namespace
