// uninstallQELSystemFiles end to end, through the built module, in the prefix's real
// system directory. Each test first installs through the module itself.
#include "support/operation_fixture.h"

#include <cctype>
#include <memory>

using namespace qeltest;

class UninstallTest : public OperationTest {
protected:
    // The server installed into the system directory by `products` products, with
    // every flag; returns the products' copy.
    std::string InstalledBy(int products)
    {
        std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
        for (int i = 0; i < products; ++i) EXPECT_EQ(Install(source), 1) << message;
        return source;
    }
};

TEST_F(UninstallTest, AnotherUserLeftKeepsEverythingButOneCount)
{
    std::string source = InstalledBy(2);
    std::string target = InSystem(".dll");
    ASSERT_EQ(Uninstall(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_EQ(ReadFixtureRecord(target).event, "register");
}

TEST_F(UninstallTest, LastUserRemovesCountRegistrationAndFile)
{
    std::string source = InstalledBy(1);
    std::string target = InSystem(".dll");
    ASSERT_EQ(Uninstall(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
    FixtureRecord record = ReadFixtureRecord(target);
    EXPECT_EQ(record.event, "unregister");
    EXPECT_EQ(record.oleInitialized, 1u);
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(IsModuleLoaded(target));
}

TEST_F(UninstallTest, LastUserRemovesReadOnlyCopies)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string target = InSystem(".ocx"), companion = InSystem(".dep");
    ASSERT_EQ(Install(source), 1) << message;
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA(companion.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(Uninstall(source), 1) << message;
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(companion));
    EXPECT_FALSE(ReadSharedValue(target).exists);
}

TEST_F(UninstallTest, FileWithoutACountBelongsToTheLastUser)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    // Only the name matters: the product's own copy may be gone already.
    ASSERT_EQ(Uninstall(dir + "\\" + base + ".dll"), 1);
    EXPECT_EQ(ReadFixtureRecord(target).event, "unregister");
    EXPECT_FALSE(FileExists(target));
}

TEST_F(UninstallTest, TheFlagsAndWhatIsInPlaceDecideWhatGoes)
{
    constexpr int kNone = -1;
    struct Case {
        int count;            // of the control and its .dep, before and after; kNone for none
        const char* inPlace;  // what is under the control's name: "", nothing, or a fixture
        int flags[3];
        bool stays;           // the control in place and registered afterwards
        int countAfter;
        bool keyMissing = false;  // no SharedDLLs key during the call
    };
    const Case cases[] = {
        // Other products count it; this one does not.
        {1, "", {1, 1, 0}, true, 1},
        {2, "", {1, 0, 0}, true, 2},
        {kNone, "", {1, 1, 0}, false, kNone},
        {kNone, "", {1, 1, 0}, false, kNone, true},
        // The last count names no file: it goes, and nothing can be unregistered.
        {1, nullptr, {1, 0, 1}, false, kNone},
        {1, nullptr, {1, 1, 1}, false, kNone},
        {1, "fixture_other_bitness.dll", {1, 0, 1}, true, 1},
    };
    for (const Case& c : cases) {
        base = UniqueName("qelop");
        std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
        std::string target = InSystem(".ocx"), companion = InSystem(".dep");
        ASSERT_EQ(Install(source), 1) << message;
        for (const std::string& name : {target, companion})
            c.count == kNone ? DeleteSharedValue(name) : WriteSharedCount(name, c.count);
        if (!c.inPlace) DeleteFileA(target.c_str());
        if (c.inPlace && *c.inPlace) CopyFixture(c.inPlace, target);
        const bool refused = c.inPlace && *c.inPlace;
        {
            std::unique_ptr<SharedDllsKeyMissing> missing(c.keyMissing ? new SharedDllsKeyMissing : nullptr);
            EXPECT_EQ(UninstallEx(source, c.flags[0], c.flags[1], c.flags[2]), refused ? 0 : 1);
        }
        EXPECT_EQ(message.empty(), !refused) << message;
        EXPECT_EQ(restartNeeded, 0);
        EXPECT_EQ(FileExists(target), c.stays);
        EXPECT_EQ(FileExists(companion), c.stays);
        // A file that is gone cannot unregister itself.
        EXPECT_EQ(IsClsidRegistered(target), c.stays || !c.inPlace);
        for (const std::string& name : {target, companion})
            EXPECT_EQ(ReadSharedValue(name).count, c.countAfter == kNone ? 0u : DWORD(c.countAfter)) << name;
    }
}

TEST_F(UninstallTest, OwnPlaceModeUnregistersButNeverDeletes)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    ASSERT_EQ(Install(source, 0), 1);
    ASSERT_TRUE(IsClsidRegistered(source));
    ASSERT_EQ(Uninstall(source, 0), 1);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(ReadSharedValue(source).exists);
    EXPECT_FALSE(IsClsidRegistered(source));
    EXPECT_TRUE(FileExists(source));
}

TEST_F(UninstallTest, ControlGoesTogetherWithItsDepFile)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string target = InSystem(".ocx");
    std::string companion = InSystem(".dep");
    ASSERT_EQ(Install(source), 1);
    ASSERT_EQ(Install(source), 1);

    ASSERT_EQ(Uninstall(source), 1);
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_EQ(ReadSharedValue(companion).count, 1u);
    EXPECT_TRUE(FileExists(companion));

    ASSERT_EQ(Uninstall(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(ReadSharedValue(companion).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(companion));
}

TEST_F(UninstallTest, OddButValidNamesInstallAndUninstallSymmetrically)
{
    // Only an extension; forward slashes; a name with bytes above 127 (Latin-1 "ä").
    const std::string latin = std::string("Grafik") + static_cast<char>(0xE4);
    for (const std::string& name : {std::string(), latin}) {
        base = name.empty() ? "" : latin + UniqueName("_");
        std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
        if (name.empty()) {
            for (char& c : source)
                if (c == '\\') c = '/';
        }
        std::string target = InSystem(".ocx");
        SCOPED_TRACE(source);
        ASSERT_EQ(Install(source), 1) << message;
        EXPECT_EQ(message, "");
        EXPECT_TRUE(FileExists(target));
        EXPECT_EQ(ReadSharedValue(target).count, 1u);
        EXPECT_EQ(ReadSharedValue(InSystem(".dep")).count, 1u);
        ASSERT_EQ(Uninstall(source), 1) << message;
        EXPECT_FALSE(FileExists(target));
        EXPECT_FALSE(FileExists(InSystem(".dep")));
        EXPECT_FALSE(ReadSharedValue(target).exists);
        EXPECT_FALSE(ReadSharedValue(InSystem(".dep")).exists);
    }
}

TEST_F(UninstallTest, NamesDifferingOnlyInLetterCaseShareOneFileAndOneCount)
{
    // Windows opens both spellings as one file, so they must share one count: the
    // product that leaves first must not take the control from the other.
    const std::string lower = base;
    std::string first = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    for (char& c : base) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string second = Source("fixture_server_1_0_0_0.dll", ".OCX", true, "other");
    base = lower;
    std::string target = InSystem(".ocx"), companion = InSystem(".dep");
    ASSERT_EQ(Install(first), 1) << message;
    ASSERT_EQ(Install(second), 1) << message;
    EXPECT_EQ(ReadSharedValue(target).count, 2u);
    EXPECT_EQ(ReadSharedValue(companion).count, 2u);

    ASSERT_EQ(Uninstall(second), 1) << message;
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(FileExists(companion));
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_TRUE(IsClsidRegistered(target));

    ASSERT_EQ(Uninstall(first), 1) << message;
    ExpectControlGone(target, companion);
}
