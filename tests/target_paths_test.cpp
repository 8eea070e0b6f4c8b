// Target and companion paths: these are also SharedDLLs value names, so install and
// uninstall must form them identically.
#include "installer/target_paths.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace qeltest;

namespace {

struct Formed {
    int result;
    TargetPaths paths;
    std::string message;
};

Formed Make(const std::string& file, int useSystemDir)
{
    Formed formed = {};
    char message[kMessageBufferForTests] = "";
    formed.result = MakeTargetPaths(file.c_str(), useSystemDir, &formed.paths, message);
    formed.message = message;
    return formed;
}

}  // namespace

TEST(TargetPathsTest, SystemDirectoryModeKeepsOnlyNameAndExtension)
{
    Formed chart = Make("D:\\kit\\bin\\Chart.ocx", 1);
    ASSERT_EQ(chart.result, 1);
    EXPECT_EQ(std::string(chart.paths.targetPath), SystemDir() + "\\Chart.ocx");
    EXPECT_EQ(std::string(chart.paths.companionPath), SystemDir() + "\\Chart.dep");
    EXPECT_EQ(chart.paths.isOcx, 1);

    Formed probe = Make("tools\\probe", 1);
    ASSERT_EQ(probe.result, 1);
    EXPECT_EQ(std::string(probe.paths.targetPath), SystemDir() + "\\probe");
    EXPECT_EQ(probe.paths.isOcx, 0);

    // Both separators split components; any non-zero flag selects the mode.
    Formed slashes = Make("D:/kit/bin/Grid.dll", 2);
    ASSERT_EQ(slashes.result, 1);
    EXPECT_EQ(std::string(slashes.paths.targetPath), SystemDir() + "\\Grid.dll");

    Formed dotted = Make("C:\\kit.v2\\lib.a.b", -1);
    ASSERT_EQ(dotted.result, 1);
    EXPECT_EQ(std::string(dotted.paths.targetPath), SystemDir() + "\\lib.a.b");
}

TEST(TargetPathsTest, OwnPlaceModeUsesTheNameUnchanged)
{
    for (const char* name : {"relative\\Chart.ocx", "Chart.dll", "D:/kit/x.OCX"}) {
        Formed formed = Make(name, 0);
        ASSERT_EQ(formed.result, 1);
        EXPECT_STREQ(formed.paths.targetPath, name);
    }
    EXPECT_STREQ(Make("relative\\Chart.ocx", 0).paths.companionPath, "relative\\Chart.dep");
}

TEST(TargetPathsTest, OnlyANameEndingInOcxInAnyCaseIsAControl)
{
    EXPECT_EQ(Make("a.Ocx", 0).paths.isOcx, 1);
    Formed upper = Make("C:\\x\\Grid.OCX", 1);
    EXPECT_EQ(upper.paths.isOcx, 1);
    EXPECT_EQ(std::string(upper.paths.companionPath), SystemDir() + "\\Grid.dep");
    EXPECT_EQ(Make("Chart.ocx.bak", 1).paths.isOcx, 0);
    EXPECT_EQ(Make("ocx", 0).paths.isOcx, 0);
    EXPECT_EQ(Make(".ocx", 0).paths.isOcx, 1);
    EXPECT_STREQ(Make(".ocx", 0).paths.companionPath, ".dep");
}

// Refused names and their messages are the fault matrix's: these are the names
// just inside the limits, which must still be formed.
TEST(TargetPathsTest, NamesJustInsideTheLimitsAreFormed)
{
    EXPECT_EQ(Make(std::string(255, 'a'), 0).result, 1);
    // The longest name that still fits behind the system directory.
    std::string name(255 - SystemDir().size() - 1, 'c');
    Formed formed = Make(name, 1);
    EXPECT_EQ(formed.result, 1);
    EXPECT_EQ(std::string(formed.paths.targetPath), SystemDir() + "\\" + name);
    // A drive letter, a dot or a colon in a folder, and a dot inside the name are fine.
    for (const char* fine : {"C:Chart.ocx", "D:\\kit.v2\\Chart.ocx", "D:\\kit\\.hidden.dll", "D:\\a. \\b.dll"})
        EXPECT_EQ(Make(fine, 0).result, 1) << fine;
}
