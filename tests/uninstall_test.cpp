// uninstallQELSystemFiles end to end, through the built module, in the prefix's real
// system directory. Each test first installs through the module itself.
#include "support/operation_fixture.h"

using namespace qeltest;

namespace {

using UninstallTest = OperationTest;

}  // namespace

TEST_F(UninstallTest, AnotherUserLeftKeepsEverythingButOneCount)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source), 1);
    ASSERT_EQ(Install(source), 1);
    ASSERT_EQ(Uninstall(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_EQ(ReadFixtureRecord(target).event, "register");
}

TEST_F(UninstallTest, LastUserRemovesCountRegistrationAndFile)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source), 1);
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

TEST_F(UninstallTest, WithoutCountingTheCountIsIgnoredAndUntouched)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source), 1);
    ASSERT_EQ(Install(source), 1);
    ASSERT_EQ(Uninstall(source, 1, 1, 0), 1);
    EXPECT_EQ(ReadSharedValue(target).count, 2u);
    EXPECT_FALSE(IsClsidRegistered(target));
    EXPECT_FALSE(FileExists(target));
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

TEST_F(UninstallTest, CountThatCannotBeLoweredEndsTheCallWithItsMessage)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string target = InSystem(".ocx");
    ASSERT_EQ(Install(source), 1);
    {
        SharedDllsWriteDenied denied;
        EXPECT_EQ(Uninstall(source), 0);
    }
    EXPECT_EQ(message, "Error accessing registry for " + target + ".\nCould not decrement registry counter.\n");
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(FileExists(InSystem(".dep")));
}

TEST_F(UninstallTest, FileInUseCannotBeDeletedButItsCountAndClassAreGone)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source), 1);
    // Loaded by a running program, as a shared server would be.
    HMODULE inUse = LoadLibraryA(target.c_str());
    ASSERT_NE(inUse, nullptr);
    EXPECT_EQ(Uninstall(source), 0);
    FreeLibrary(inUse);
    EXPECT_EQ(message, "Error deleting file " + target + "\n");
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
    EXPECT_TRUE(FileExists(target));

    // Held open without sharing, by an installer's copy say.
    {
        FileHeldOpen held(target);
        ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Uninstall(source, 1, 0, 0), 0);
    }
    EXPECT_EQ(message, "Error deleting file " + target + "\n");
    EXPECT_TRUE(FileExists(target));
}

TEST_F(UninstallTest, FileAlreadyGoneFailsToDelete)
{
    std::string target = InSystem(".dll");
    EXPECT_EQ(Uninstall(dir + "\\" + base + ".dll", 1, 0, 1), 0);
    EXPECT_EQ(message, "Error deleting file " + target + "\n");
}

TEST_F(UninstallTest, UnregistrationFailureStopsBeforeDeleting)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_failing.dll", target));
    EXPECT_EQ(Uninstall(dir + "\\" + base + ".dll"), 0);
    EXPECT_EQ(message, "Could not unregister the file " + target + ".\nError running DllUnregisterServer function.");
    EXPECT_TRUE(FileExists(target));
}

TEST_F(UninstallTest, CallerFailingThePermissionGateChangesNothing)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string target = InSystem(".ocx");
    ASSERT_EQ(Install(source), 1);
    {
        UnopenableThreadToken unopenable;
        ASSERT_TRUE(unopenable.active);
        EXPECT_EQ(Uninstall(source), 0);
    }
    EXPECT_EQ(message, kPermissionDenied);
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_EQ(ReadSharedValue(InSystem(".dep")).count, 1u);
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_TRUE(FileExists(target));
}

TEST_F(UninstallTest, OverlongNameIsRefusedAndChangesNothing)
{
    std::string longName(256, 'u');
    WriteSharedCount(longName.substr(0, 255), 1);
    Track(longName.substr(0, 255));
    EXPECT_EQ(Uninstall(longName, 0), 0);
    EXPECT_EQ(message, "The file name " + longName.substr(0, 200) + "... is longer than 255 characters.\n");
    EXPECT_EQ(ReadSharedValue(longName.substr(0, 255)).count, 1u);
}
