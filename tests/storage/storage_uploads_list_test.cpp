/* The list of uploads in progress. */
#include <gtest/gtest.h>

#include <string>

#include "store_fixture.h"

namespace
{

using Uploads = storetest::EmptyStore;

TEST_F(Uploads, EmptyStore)
{
    EXPECT_STREQ(reg_uploads_json(1000, 10), "{\"uploads\":[],\"total\":0}");
}

/* Only ".part" files are uploads; the list is cut at max while the total
 * still counts them all; idle time comes from the last write. */
TEST_F(Uploads, SizesIdleTimesAndTheCap)
{
    add_upload("aaaa.part", 5);
    add_upload("bbbb.part", 7);
    add_upload("stray.tmp", 3);
    add_upload(".part", 3);
    for (const char *n : {"aaaa.part", "bbbb.part"})
        ASSERT_EQ(plat_set_mtime((std::filesystem::path(root) / "uploads" / n).string().c_str(),
                                 1000),
                  0);
    std::string all = reg_uploads_json(4600, 10);
    EXPECT_NE(all.find("{\"id\":\"aaaa\",\"bytes\":5,\"idle_seconds\":3600}"), std::string::npos)
        << all;
    EXPECT_NE(all.find("{\"id\":\"bbbb\",\"bytes\":7,\"idle_seconds\":3600}"), std::string::npos)
        << all;
    EXPECT_NE(all.find("\"total\":2}"), std::string::npos) << all;
    EXPECT_EQ(all.find("stray"), std::string::npos) << all;

    std::string one = reg_uploads_json(500, 1); /* a clock behind the file: no negative age */
    EXPECT_NE(one.find("\"idle_seconds\":0}],\"total\":2}"), std::string::npos) << one;
}

TEST(UploadsUninitialised, Fails)
{
    reg_storage_cleanup();
    EXPECT_EQ(reg_uploads_json(0, 10), nullptr);
}

} // namespace
