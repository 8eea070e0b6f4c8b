// Names as a setup may hand them: a short (8.3) alias of another product's long-named
// file, double-byte names of the Japanese code page whose second byte is 0x5C (a
// backslash), and names Windows would open as another file. Each acts on the file of
// exactly that name, or is refused before anything changes. This program runs under
// the Japanese code page (LC_ALL=ja_JP.UTF-8, which Wine turns into code page 932).
#include "support/operation_fixture.h"

#include <windows.h>

#include <string>

using namespace qeltest;

namespace {

// Code page 932's 表 and ソ: both end in the byte 0x5C.
const std::string kHyo = "\x95\x5C";
const std::string kSo = "\x83\x5C";

const char kColon[] = "' holds a ':', which names a stream of another file.\n";
const char kBlank[] = "' ends in a space or a dot, which Windows drops when it opens the file.\n";

using NamesTest = OperationTest;

}  // namespace

TEST_F(NamesTest, EachNameActsOnTheFileOfThatNameOrIsRefused)
{
    // Another product's long-named server, counted once and registered.
    base = UniqueName("qelLongNamedServer");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(Source("fixture_server_2_1_0_4.dll", ".dll", false, "other")), 1) << message;
    char shortPath[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameA(target.c_str(), shortPath, MAX_PATH), 0u);
    const std::string alias = strrchr(shortPath, '\\') + 1;
    ASSERT_NE(alias, base + ".dll");
    std::string upper = base + ".DLL";
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    // Wine turns LC_ALL=ja_JP.UTF-8 into code page 932, but writes such names to disk
    // only when the system has that locale (scripts/setup.sh makes it).
    const std::string probe = dir + "\\" + kHyo + ".txt";
    WriteTextFile(probe, "");
    const bool japanese = GetACP() == 932 && FileExists(probe);
    DeleteFileA(probe.c_str());

    struct Case {
        const char* what;
        std::string name;     // the kit's file
        int useSystemDir;
        bool doubleByte;      // needs the Japanese code page
        const char* inPlace;  // put under the name in the system directory first
        std::string refusal;  // the message after the kit's path; empty when the name is taken
    };
    const Case cases[] = {
        {"the short alias", alias, 1, false, nullptr,
         "' is another name of " + target + ", which is counted under its own name.\n"},
        {"a double-byte name, over an older copy", UniqueName("qel") + kHyo + ".dll", 1, true,
         "fixture_server_1_0_0_0.dll", ""},
        {"a stream of a double-byte name", "ab:" + kHyo + ".dll", 0, true, nullptr, kColon},
        {"a double-byte name with a trailing dot", UniqueName("qel") + kSo + ".", 1, true, nullptr, kBlank},
        {"the long name in capitals", upper, 1, false, nullptr, ""},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.doubleByte && !japanese) {
            ++skipped;
            continue;
        }
        const std::string kit = dir + "\\" + c.name;
        const std::string inSystem = SystemDir() + "\\" + c.name;
        // Names Windows cannot hold stay without a file; the alias has one, as a kit would.
        if (c.refusal.empty() || !c.doubleByte) {
            ASSERT_TRUE(CopyFixture("fixture_server_5_2_0_0.dll", kit));
        }
        Track(kit);
        Track(inSystem);
        if (c.inPlace) {
            ASSERT_TRUE(CopyFixture(c.inPlace, inSystem));
        }
        const std::string before = VersionOf(target);
        const DWORD countBefore = ReadSharedValue(target).count;

        if (!c.refusal.empty()) {
            for (int uninstall = 0; uninstall < 2; ++uninstall) {
                EXPECT_EQ(uninstall ? Uninstall(kit, c.useSystemDir) : Install(kit, c.useSystemDir), 0);
                EXPECT_EQ(message, "The file name '" + kit + c.refusal);
            }
            EXPECT_EQ(VersionOf(target), before);
            EXPECT_COUNT(target, countBefore);
            EXPECT_TRUE(IsClsidRegistered(target));
            EXPECT_FALSE(ReadSharedValue(inSystem).exists);
        } else {
            EXPECT_EQ(Install(kit), 1) << message;
            EXPECT_EQ(message, "");
            EXPECT_EQ(VersionOf(inSystem), "5.2.0.0");
            EXPECT_TRUE(IsClsidRegistered(inSystem));
        }
    }
    // The capitals named the other product's file: now counted twice.
    EXPECT_COUNT(target, 2);
    if (skipped > 0)
        GTEST_SKIP() << skipped << " double-byte cases need code page 932 and the ja_JP.UTF-8 locale; this run "
                     << "has code page " << GetACP();
}
