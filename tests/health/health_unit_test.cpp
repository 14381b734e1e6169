// The health probe and its pieces in-process: the root lookup, the report
// fields after each outcome, and the HTML escape.
#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "reg_storage.h"
#include "test_support.h"
#include "v2_healthz.h"

using namespace testsupport;

namespace
{

std::string escaped(const char *text)
{
    TempDir tmp;
    std::string out = capture_stdout(tmp.path() / "out", [&] {
        health_html_escape(stdout, text);
        fflush(stdout);
    });
    return out;
}

TEST(HealthHtmlEscape, Table)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"", ""},
        {"1.9.0", "1.9.0"},
        {"<b>", "&lt;b&gt;"},
        {"a&b", "a&amp;b"},
        {"\"q\" 'a'", "&quot;q&quot; &#39;a&#39;"},
        {"&amp;", "&amp;amp;"},
        {"\xc3\xa9/\\", "\xc3\xa9/\\"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(escaped(c.in), c.out) << c.in;
}

TEST(HealthHtmlEscape, NullWritesNothing)
{
    EXPECT_EQ(escaped(nullptr), "");
}

class Probe : public ::testing::Test
{
  protected:
    TempDir tmp;
    ScopedCwd cwd{tmp.path()};
    ScopedEnv env{"REGISTRY_STORAGE_ROOT", nullptr};
    void TearDown() override { reg_storage_cleanup(); }
};

TEST_F(Probe, NullReportIsUnhealthyAndDoesNothing)
{
    EXPECT_EQ(reg_health_check(nullptr), 0);
    EXPECT_FALSE(fs::exists(tmp.path() / "registry_storage"));
}

TEST_F(Probe, HealthyFreshStoreFillsEveryField)
{
    health_report r;
    memset(&r, 0x5a, sizeof r); // the probe must clear what it does not set
    ASSERT_EQ(reg_health_check(&r), 1);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.init_rc, 0);
    EXPECT_EQ(r.writable, 1);
    EXPECT_EQ(r.catalog_ok, 1);
    EXPECT_EQ(r.uptime_seconds, 0);
    EXPECT_STREQ(r.version, "1.9.0");
    EXPECT_STREQ(r.component, "");
    EXPECT_STREQ(r.reason, "");
    EXPECT_TRUE(fs::is_regular_file(tmp.path() / "registry_storage" / "_health" / "first_seen"));
}

TEST_F(Probe, InitFailureLeavesVersionUnknown)
{
    write_text(tmp.path() / "file", "x");
    ScopedEnv root("REGISTRY_STORAGE_ROOT", (tmp.path() / "file").string().c_str());
    health_report r;
    EXPECT_EQ(reg_health_check(&r), 0);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.init_rc, -1);
    EXPECT_EQ(r.writable, 0);
    EXPECT_EQ(r.catalog_ok, 0);
    EXPECT_STREQ(r.version, "unknown");
    EXPECT_STREQ(r.component, "storage");
    EXPECT_STREQ(r.reason, "init_failed");
}

TEST_F(Probe, ARootOverTheLimitIsRefusedNotCut)
{
    // A root of nested short directories, 1,023 bytes long, then a tail: a
    // cut would put the store at another path than the one configured.
    SKIP_ON_WINDOWS(kNeedsLongPaths);
    std::string cut = (tmp.path() / "").string();
    while (cut.size() + 2 <= 1021)
        cut += "d" PLAT_SEP_STR;
    cut.append(1023 - cut.size(), 'e');
    ASSERT_EQ(cut.size(), 1023u);
    std::string root = cut + "TAIL";
    ScopedEnv env2("REGISTRY_STORAGE_ROOT", root.c_str());
    health_report r;
    EXPECT_EQ(reg_health_check(&r), 0);
    EXPECT_STREQ(r.reason, "init_failed");
    EXPECT_FALSE(fs::exists(cut));
    EXPECT_FALSE(fs::exists(root));
}

TEST_F(Probe, StaleProbeFilesAreNeverLeft)
{
    health_report r;
    ASSERT_EQ(reg_health_check(&r), 1);
    ASSERT_EQ(reg_health_check(&r), 1);
    for (const auto &e : fs::directory_iterator(tmp.path() / "registry_storage"))
        EXPECT_EQ(e.path().filename().string().find(".healthz-probe-"), std::string::npos);
}

} // namespace
