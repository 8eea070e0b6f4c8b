// installQELSystemFiles end to end, through the built module, in the prefix's real
// system directory.
#include "support/operation_fixture.h"

using namespace qeltest;

namespace {

using InstallTest = OperationTest;

void ExpectCount(const std::string& name, DWORD count)
{
    SharedValue value = ReadSharedValue(name);
    ASSERT_TRUE(value.exists) << name;
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value.length, 4u);
    EXPECT_EQ(value.count, count);
}

}  // namespace

TEST_F(InstallTest, FreshMachineGetsTheFileItsCountAndItsRegistration)
{
    std::string source = Source("fixture_server_2_1_0_4.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(VersionOf(target), "2.1.0.4");
    ExpectCount(target, 1);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(target, &server));
    EXPECT_EQ(server, target);
    EXPECT_EQ(ReadFixtureRecord(target).loadedFrom, target);
    EXPECT_FALSE(IsModuleLoaded(target));

    // The same call again: the copy in place is not older, so nothing is copied
    // and nothing registered; only the count rises.
    MarkOld(target);
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(IsMarkedOld(target));
    EXPECT_EQ(ReadFixtureRecord(target).calls, 1u);
    ExpectCount(target, 2);
}

TEST_F(InstallTest, NewerVersionReplacesAnUncountedOlderCopy)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));
    std::string source = Source("fixture_server_2_1_0_5.dll", ".dll");
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(VersionOf(target), "2.1.0.5");
    // A versioned copy was already there: someone uncounted uses it too.
    ExpectCount(target, 2);
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_EQ(ReadFixtureRecord(target).event, "register");
}

TEST_F(InstallTest, OlderVersionNeverReplacesANewerOne)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_5_2_0_0.dll", target));
    std::string source = Source("fixture_server_5_1_9999_9999.dll", ".dll");
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(VersionOf(target), "5.2.0.0");
    ExpectCount(target, 2);
    EXPECT_FALSE(ReadFixtureRecord(target).exists);
}

TEST_F(InstallTest, ReadOnlyFilesNeverStrandTheCopyInPlace)
{
    // From read-only media: the copies in place must stay replaceable and removable.
    std::string source = Source("fixture_server_2_1_0_4.dll", ".ocx", true);
    std::string target = InSystem(".ocx"), companion = InSystem(".dep");
    SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((dir + "\\" + base + ".dep").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(Install(source), 1) << message;
    EXPECT_FALSE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(GetFileAttributesA(companion.c_str()) & FILE_ATTRIBUTE_READONLY);

    // A read-only copy in place, and a read-only leftover of a killed copy, give way
    // to a newer version.
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string leftover = target + ".~ql";
    Track(leftover);
    WriteTextFile(leftover, "half a file");
    ASSERT_TRUE(SetFileAttributesA(leftover.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string newer = Source("fixture_server_2_1_0_5.dll", ".ocx", false, "v2");
    ASSERT_EQ(Install(newer), 1) << message;
    EXPECT_EQ(VersionOf(target), "2.1.0.5");
    EXPECT_FALSE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(FileExists(leftover));
    ExpectCount(target, 2);
}

TEST_F(InstallTest, TargetWithoutVersionIsOverwrittenAsIfAbsent)
{
    std::string target = InSystem(".dll");
    WriteTextFile(target, "left behind by someone");
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    ExpectCount(target, 1);
    EXPECT_TRUE(IsClsidRegistered(target));
}

TEST_F(InstallTest, OwnPlaceModeCountsAndRegistersTheFileWhereItIs)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    ASSERT_EQ(Install(source, 0, 1, 1), 1);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(FileExists(InSystem(".dll")));
    ExpectCount(source, 1);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(source, &server));
    EXPECT_EQ(server, source);

    // Registration always runs in this mode, also when the file is unchanged.
    ASSERT_EQ(Install(source, 0, 1, 1), 1);
    EXPECT_EQ(ReadFixtureRecord(source).calls, 2u);
    ExpectCount(source, 2);

    // A relative name is its own value name.
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
    std::string relative = base + ".dll";
    Track(relative);
    int result = Install(relative, 0, 0, 1);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(result, 1);
    ExpectCount(relative, 1);
}

TEST_F(InstallTest, ControlBringsItsDepFileAndBothAreCounted)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string target = InSystem(".ocx");
    std::string companion = InSystem(".dep");
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_EQ(ReadTextFile(companion), "[Version]\r\nVersion=1\r\n");
    ExpectCount(target, 1);
    ExpectCount(companion, 1);
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_EQ(ReadFixtureRecord(target).calls, 1u);
}

TEST_F(InstallTest, ControlWithoutDepFileInstallsAndItsCompanionIsCountedAllTheSame)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".OCX", false);
    std::string target = InSystem(".OCX");
    std::string companion = InSystem(".dep");
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(FileExists(target));
    EXPECT_FALSE(FileExists(companion));
    ExpectCount(target, 1);
    ExpectCount(companion, 1);
}

TEST_F(InstallTest, OnlyAFlagOfExactlyOneSelectsCountOrRegistration)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source, 2, 2, 2), 1);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(FileExists(target));  // any non-zero value selects the system directory
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
}

TEST_F(InstallTest, TypeLibraryIsCopiedAndCountedThenFailsToRegister)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".tlb");
    std::string target = InSystem(".tlb");
    EXPECT_EQ(Install(source), 0);
    EXPECT_EQ(message, "Could not register the file " + target + ".\n.tlb files not handled yet.");
    EXPECT_TRUE(FileExists(target));
    ExpectCount(target, 1);
}

TEST_F(InstallTest, ExecutableIsInstalledWithTheUnknownTypeMessage)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".exe");
    std::string target = InSystem(".exe");
    EXPECT_EQ(Install(source), 1);
    EXPECT_EQ(message, "Unknown file type.  Could not register the file " + target + ".\n.exe files not handled yet.");
    ExpectCount(target, 1);
}

TEST_F(InstallTest, MissingSourceFailsInBothModesAndChangesNothing)
{
    std::string source = dir + "\\" + base + ".dll";
    std::string target = InSystem(".dll");
    for (int useSystemDir : {1, 0}) {
        EXPECT_EQ(Install(source, useSystemDir), 0);
        EXPECT_EQ(message, "The file " + source + " does not exist.\n");
        EXPECT_FALSE(ReadSharedValue(useSystemDir ? target : source).exists);
    }
    EXPECT_FALSE(FileExists(target));
}

TEST_F(InstallTest, UnversionedSourceFailsEvenWhereNothingIsCopied)
{
    std::string source = dir + "\\" + base + ".dll";
    WriteTextFile(source, "no version here");
    Track(source);
    for (int useSystemDir : {1, 0}) {
        EXPECT_EQ(Install(source, useSystemDir), 0);
        EXPECT_EQ(message, "Error reading from " + source + "\n");
    }
    EXPECT_FALSE(FileExists(InSystem(".dll")));
    EXPECT_FALSE(ReadSharedValue(source).exists);
}

TEST_F(InstallTest, FileAlreadyInTheSystemDirectoryIsCountedAsUsedBefore)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    MarkOld(target);
    ASSERT_EQ(Install(target), 1);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(IsMarkedOld(target));
    ExpectCount(target, 2);
    EXPECT_FALSE(IsClsidRegistered(target));
}

TEST_F(InstallTest, CopyOntoATargetHeldOpenFailsBeforeAnythingIsCounted)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    std::string source = Source("fixture_server_2_1_0_4.dll", ".dll");
    {
        FileHeldOpen held(target);
        ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Install(source), 0);
    }
    EXPECT_EQ(message, "Could not copy file " + source + " to " + target + "\n");
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
}

TEST_F(InstallTest, RegistrationFailureLeavesTheCopyAndTheCountInPlace)
{
    std::string source = Source("fixture_failing.dll", ".dll");
    std::string target = InSystem(".dll");
    EXPECT_EQ(Install(source), 0);
    EXPECT_EQ(message, "Could not register the file " + target + ".\nError running DllRegisterServer function.");
    EXPECT_TRUE(FileExists(target));
    ExpectCount(target, 1);
}

TEST_F(InstallTest, CountFailureLeavesTheCopyButRegistersNothing)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    {
        SharedDllsWriteDenied denied;
        EXPECT_EQ(Install(source), 0);
    }
    EXPECT_EQ(message, "Error accessing registry for " + target + ".\nCould not increment registry counter.\n");
    EXPECT_TRUE(FileExists(target));
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
}

TEST_F(InstallTest, CallerFailingThePermissionGateChangesNothing)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    for (int useSystemDir : {1, 0}) {
        UnopenableThreadToken unopenable;
        ASSERT_TRUE(unopenable.active);
        EXPECT_EQ(Install(source, useSystemDir), 0);
        EXPECT_EQ(message, kPermissionDenied);
    }
    EXPECT_FALSE(FileExists(InSystem(".ocx")));
    EXPECT_FALSE(FileExists(InSystem(".dep")));
    EXPECT_FALSE(ReadSharedValue(InSystem(".ocx")).exists);
    EXPECT_FALSE(ReadSharedValue(source).exists);
    EXPECT_FALSE(IsClsidRegistered(source));
}

TEST_F(InstallTest, OverlongNameIsRefusedAndChangesNothing)
{
    std::string longName = dir + "\\" + std::string(300 - dir.size(), 'n') + ".dll";
    for (int useSystemDir : {1, 0}) {
        EXPECT_EQ(Install(longName, useSystemDir), 0);
        EXPECT_EQ(message, "The file name " + longName.substr(0, 200) + "... is longer than 255 characters.\n");
    }
    EXPECT_FALSE(ReadSharedValue(longName).exists);
}
