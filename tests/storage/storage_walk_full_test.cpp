/* The full repository walk that garbage collection relies on: no cap on
 * names or entries, and a note of everything it could not see. */
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
        EXPECT_EQ(list.collect_all(&unseen), 0);
        Names out;
        for (int i = 0; i < list.count(); ++i)
            out.emplace_back(list[i]);
        std::sort(out.begin(), out.end());
        return out;
    }
    unseen_log unseen;
};

TEST_F(FullWalk, SeesPastTheCatalogsCaps)
{
    /* 1,030 repositories, 520 of them in one directory. */
    for (int i = 0; i < 1030; ++i)
        make_repo("g" + std::to_string(i < 520 ? 0 : 1) + "/r" + std::to_string(i));
    const Names names = walk_all();
    EXPECT_EQ(names.size(), 1030u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 1030u);
    EXPECT_EQ(unseen.count, 0) << unseen.first;
    /* The capped walk is unchanged: 512 of the first directory, and 510
     * of the second. */
    EXPECT_EQ(storetest::walked_names().size(), 1022u);
}

TEST_F(FullWalk, NotesARepositoryDeeperThanNineComponents)
{
    const std::string nine = "l1/l2/l3/l4/l5/l6/l7/l8/l9";
    make_repo(nine);
    fs::create_directories(repos() / nine / "plain" / "dirs" / "only");
    fs::create_directories(repos() / nine / "_manifests" / "x" / "_manifests");
    EXPECT_EQ(walk_all(), (Names{nine}));
    EXPECT_EQ(unseen.count, 0) << unseen.first;

    make_repo(nine + "/plain/dirs/only/l13");
    EXPECT_EQ(walk_all(), (Names{nine}));
    EXPECT_EQ(unseen.count, 1);
    EXPECT_STREQ(unseen.first,
                 ("repository deeper than the walk goes: " + nine + "/plain/dirs/only/l13").c_str());
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
