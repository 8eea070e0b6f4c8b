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

TEST(TargetPathsTest, NamesThatFitNoBufferAreRejectedWithAMessageThatFits)
{
    std::string longest(255, 'a');
    EXPECT_EQ(Make(longest, 0).result, 1);
    for (const std::string& name : {longest + "a", std::string(5000, 'b')}) {
        for (int useSystemDir : {1, 0}) {
            Formed rejected = Make(name, useSystemDir);
            EXPECT_EQ(rejected.result, 0);
            EXPECT_EQ(rejected.message, "The file name " + name.substr(0, 200) + "... is longer than 255 characters.\n");
        }
    }

    // A name that fits alone but not behind the system directory.
    std::string name(255 - SystemDir().size(), 'c');
    EXPECT_EQ(Make(name, 1).result, 0);
    EXPECT_EQ(Make(name, 1).message,
              "The path " + SystemDir() + "\\" + name + " is longer than 255 characters.\n");
    name.pop_back();
    EXPECT_EQ(Make(name, 1).result, 1);
}

TEST(TargetPathsTest, EmptyNamesAreRefusedRatherThanActingOnTheDirectory)
{
    EXPECT_EQ(Make("", 0).result, 0);
    EXPECT_EQ(Make("", 0).message, "No file name was given.\n");
    EXPECT_EQ(Make("", 1).result, 0);
    char message[kMessageBufferForTests] = "";
    TargetPaths paths = {};
    EXPECT_EQ(MakeTargetPaths(nullptr, 1, &paths, message), 0);
    EXPECT_STREQ(message, "No file name was given.\n");
    Formed folder = Make("C:\\kit\\", 1);
    EXPECT_EQ(folder.result, 0);
    EXPECT_EQ(folder.message, "The name C:\\kit\\ does not name a file.\n");
}

TEST(TargetPathsTest, NamesWindowsWouldOpenAsAnotherFileAreRefusedInBothModes)
{
    const std::string blank = "The file name '%' ends in a space or a dot, which Windows drops when it opens the file.\n";
    const std::string colon = "The file name '%' holds a ':', which names a stream of another file.\n";
    struct Case {
        const char* name;
        const std::string& message;
    };
    for (const Case& odd : {Case{"D:\\kit\\Chart.ocx ", blank}, Case{"D:\\kit\\Chart.ocx.", blank},
                            Case{"Chart.ocx. . ", blank}, Case{"..", blank}, Case{"D:\\kit\\Chart.ocx:x", colon},
                            Case{"Chart.ocx::$DATA", colon}, Case{"D:\\kit:old\\..\\k:Chart.dll", colon}}) {
        for (int useSystemDir : {1, 0}) {
            SCOPED_TRACE(std::string(odd.name) + " " + std::to_string(useSystemDir));
            Formed formed = Make(odd.name, useSystemDir);
            EXPECT_EQ(formed.result, 0);
            std::string expected = odd.message;
            expected.replace(expected.find('%'), 1, odd.name);
            EXPECT_EQ(formed.message, expected);
        }
    }
    // A drive letter, a dot or a colon in a folder, and a dot inside the name are fine.
    for (const char* fine : {"C:Chart.ocx", "D:\\kit.v2\\Chart.ocx", "D:\\kit\\.hidden.dll", "D:\\a. \\b.dll"})
        EXPECT_EQ(Make(fine, 0).result, 1) << fine;
}
