// Names as a setup may hand them: the short (8.3) alias of another product's file, and
// double-byte names of code page 932 whose second byte is 0x5C, a backslash. Run under
// LC_ALL=ja_JP.UTF-8, which Wine turns into that code page.
#include "support/operation_fixture.h"

using namespace qeltest;

using NamesTest = OperationTest;

TEST_F(NamesTest, EachNameActsOnTheFileOfThatNameOrIsRefused)
{
    // Another product's long-named server, counted once and registered.
    base = UniqueName("qelLongNamedServer");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(Source("fixture_server_2_1_0_4.dll", ".dll", false, "other")), 1) << message;
    char alias[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameA(target.c_str(), alias, MAX_PATH), 0u);
    const std::string hyo = "\x95\x5C";  // 表
    // Wine writes such names to disk only where the system has the locale (set-up makes it).
    WriteTextFile(dir + "\\" + hyo, "");
    const bool japanese = GetACP() == 932 && DeleteFileA((dir + "\\" + hyo).c_str());

    struct Case {
        std::string name;     // of the kit's file
        int useSystemDir;
        const char* inPlace;  // put under the name in the system directory first
        std::string refusal;  // after the kit's path; empty when the name is taken
    };
    const Case cases[] = {
        {strrchr(alias, '\\') + 1, 1, nullptr,
         "' is another name of " + target + ", which is counted under its own name.\n"},
        {UniqueName("qel") + hyo + ".dll", 1, "fixture_server_1_0_0_0.dll", ""},
        {"ab:" + hyo + ".dll", 0, nullptr, "' holds a ':', which names a stream of another file.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!japanese && c.name.find(hyo) != std::string::npos) continue;
        const std::string kit = dir + "\\" + c.name, inSystem = SystemDir() + "\\" + c.name;
        Track(kit);
        Track(inSystem);
        if (c.useSystemDir) CopyFixture("fixture_server_5_2_0_0.dll", kit);
        if (c.inPlace) CopyFixture(c.inPlace, inSystem);
        const DWORD count = ReadSharedValue(target).count;
        EXPECT_EQ(Install(kit, c.useSystemDir), c.refusal.empty() ? 1 : 0);
        EXPECT_EQ(message, c.refusal.empty() ? "" : "The file name '" + kit + c.refusal);
        if (c.refusal.empty()) {
            EXPECT_EQ(VersionOf(inSystem), "5.2.0.0");
            continue;
        }
        EXPECT_EQ(Uninstall(kit, c.useSystemDir), 0);
        EXPECT_EQ(message, "The file name '" + kit + c.refusal);
        EXPECT_COUNT(target, count);
        EXPECT_TRUE(IsClsidRegistered(target));
    }
    if (!japanese) GTEST_SKIP() << "the double-byte names need code page 932 and the ja_JP.UTF-8 locale";
}
