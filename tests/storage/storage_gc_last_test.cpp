/* The last collection's report, kept for later processes. */
#include <gtest/gtest.h>

#include <string>

#include "gc_fixture.h"

namespace
{

using GcLast = gctest::GcStore;

/* None before a real run; a dry run changes nothing so it is not kept; a
 * real run's report is kept as returned, read back by a fresh start. */
TEST_F(GcLast, KeptForRealRunsOnly)
{
    EXPECT_EQ(reg_gc_last_json(), nullptr);
    ASSERT_NE(reg_gc_json(1), nullptr);
    EXPECT_EQ(reg_gc_last_json(), nullptr);
    const char *doc = reg_gc_json(0);
    ASSERT_NE(doc, nullptr);
    const std::string report = doc;
    reg_storage_cleanup();
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    const char *last = reg_gc_last_json();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(report, last);
    ASSERT_NE(reg_gc_json(1), nullptr);
    EXPECT_EQ(report, reg_gc_last_json());
}

} // namespace
