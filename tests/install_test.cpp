// installQELSystemFiles end to end, through the built module, in the prefix's real
// system directory.
#include "support/operation_fixture.h"

using namespace qeltest;

using InstallTest = OperationTest;

TEST_F(InstallTest, FreshMachineGetsTheFileItsCountAndItsRegistration)
{
    std::string source = Source("fixture_server_2_1_0_4.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(VersionOf(target), "2.1.0.4");
    EXPECT_COUNT(target, 1);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(target, &server));
    EXPECT_EQ(server, target);
    EXPECT_EQ(ReadFixtureRecord(target).loadedFrom, target);
    EXPECT_FALSE(IsModuleLoaded(target));

    // The same call again: the copy in place is not older, so nothing is copied;
    // the same version is registered again, and the count rises.
    MarkOld(target);
    ASSERT_EQ(Install(source), 1);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(IsMarkedOld(target));
    EXPECT_EQ(ReadFixtureRecord(target).calls, 2u);
    EXPECT_COUNT(target, 2);
}

TEST_F(InstallTest, WhatIsInPlaceDecidesTheCopyTheRegistrationAndTheFirstCount)
{
    struct Case {
        const char* inPlace;  // a fixture, or nullptr for a file without a version
        const char* kit;
        const char* version;  // of the copy in place afterwards
        DWORD count;          // a versioned copy was installed by someone who did not count
        bool registered;      // only a copy that is written gets registered
    };
    const Case cases[] = {
        {"fixture_server_2_1_0_4.dll", "fixture_server_2_1_0_5.dll", "2.1.0.5", 2, true},
        {"fixture_server_5_2_0_0.dll", "fixture_server_5_1_9999_9999.dll", "5.2.0.0", 2, false},
        {nullptr, "fixture_server_1_0_0_0.dll", "1.0.0.0", 1, true},
    };
    for (const Case& c : cases) {
        base = UniqueName("qelop");
        SCOPED_TRACE(std::string(c.inPlace ? c.inPlace : "unversioned") + " in place, installing " + c.kit);
        std::string target = InSystem(".dll");
        if (c.inPlace)
            ASSERT_TRUE(CopyFixture(c.inPlace, target));
        else
            WriteTextFile(target, "left behind by someone");
        ASSERT_EQ(Install(Source(c.kit, ".dll")), 1) << message;
        EXPECT_EQ(message, "");
        EXPECT_EQ(VersionOf(target), c.version);
        EXPECT_COUNT(target, c.count);
        EXPECT_EQ(IsClsidRegistered(target), c.registered);
        EXPECT_EQ(ReadFixtureRecord(target).event, c.registered ? "register" : "");
    }
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
    EXPECT_COUNT(target, 2);
}

TEST_F(InstallTest, OwnPlaceModeCountsAndRegistersTheFileWhereItIs)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    ASSERT_EQ(Install(source, 0, 1, 1), 1);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(FileExists(InSystem(".dll")));
    EXPECT_COUNT(source, 1);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(source, &server));
    EXPECT_EQ(server, source);

    // Registration always runs in this mode, also when the file is unchanged.
    ASSERT_EQ(Install(source, 0, 1, 1), 1);
    EXPECT_EQ(ReadFixtureRecord(source).calls, 2u);
    EXPECT_COUNT(source, 2);

    // A relative name is its own value name.
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
    std::string relative = base + ".dll";
    Track(relative);
    int result = Install(relative, 0, 0, 1);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(result, 1);
    EXPECT_COUNT(relative, 1);
}

TEST_F(InstallTest, ControlBringsItsDepFileIfItHasOneAndBothAreCountedEitherWay)
{
    for (bool withDep : {true, false}) {
        base = UniqueName("qelop");
        // The extension is recognised in any letter case.
        const char* extension = withDep ? ".ocx" : ".OCX";
        SCOPED_TRACE(std::string(extension) + (withDep ? " with its .dep" : " without a .dep"));
        std::string source = Source("fixture_server_1_0_0_0.dll", extension, withDep);
        std::string target = InSystem(extension), companion = InSystem(".dep");
        ASSERT_EQ(Install(source), 1) << message;
        EXPECT_EQ(message, "");
        EXPECT_EQ(VersionOf(target), "1.0.0.0");
        EXPECT_EQ(FileExists(companion), withDep);
        if (withDep) {
            EXPECT_EQ(ReadTextFile(companion), "[Version]\r\nVersion=1\r\n");
        }
        EXPECT_COUNT(target, 1);
        EXPECT_COUNT(companion, 1);
        EXPECT_TRUE(IsClsidRegistered(target));
        EXPECT_EQ(ReadFixtureRecord(target).calls, 1u);
    }
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

TEST_F(InstallTest, ExecutableIsInstalledWithTheUnknownTypeMessage)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".exe");
    std::string target = InSystem(".exe");
    EXPECT_EQ(Install(source), 1);
    // Installed and counted all the same; the message is self-registration's own.
    EXPECT_EQ(message.rfind("Unknown file type.", 0), 0u) << message;
    EXPECT_COUNT(target, 1);
}

TEST_F(InstallTest, FileAlreadyInTheSystemDirectoryIsCountedAsUsedBefore)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    MarkOld(target);
    ASSERT_EQ(Install(target), 1);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(IsMarkedOld(target));
    EXPECT_COUNT(target, 2);
    EXPECT_TRUE(IsClsidRegistered(target));
}

TEST_F(InstallTest, AFileOfTheOtherBitnessIsRefusedBeforeAnythingChanges)
{
    // Another product's copy, counted and registered.
    std::string kept = Source("fixture_server_2_1_0_4.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(kept), 1) << message;
    std::string other = Source("fixture_other_bitness.dll", ".dll", false, "other");
    const bool wide = sizeof(void*) == 8;
    std::string refusal = "The file " + other + " is built for " +
                          (wide ? "32-bit x86 Windows (machine 0x014C)" : "64-bit x64 Windows (machine 0x8664)") +
                          ", but this qelsetup module is " + (wide ? "64-bit x64" : "32-bit x86") +
                          ": it can neither install nor register it.\n";

    // The system directory, with or without registration, and its own place with it.
    for (const auto& flags : {std::make_pair(1, 1), std::make_pair(1, 0), std::make_pair(0, 1)}) {
        SCOPED_TRACE(testing::Message() << "useSystemDir " << flags.first << ", doRegistration " << flags.second);
        EXPECT_EQ(Install(other, flags.first, flags.second, 1), 0);
        EXPECT_EQ(message, refusal);
        EXPECT_EQ(VersionOf(target), "2.1.0.4");
        EXPECT_COUNT(target, 1);
        EXPECT_FALSE(ReadSharedValue(other).exists);
        EXPECT_EQ(ReadFixtureRecord(target).calls, 1u);
    }
    // A control whose .dep would go first is refused before the .dep does.
    std::string control = Source("fixture_other_bitness.dll", ".ocx", true, "control");
    std::string controlRefusal = refusal;
    controlRefusal.replace(controlRefusal.find(other), other.size(), control);
    EXPECT_EQ(Install(control), 0);
    EXPECT_EQ(message, controlRefusal);
    std::string controlTarget = InSystem(".ocx");
    EXPECT_FALSE(FileExists(controlTarget));
    EXPECT_FALSE(FileExists(controlTarget.substr(0, controlTarget.size() - 4) + ".dep"));
    // Counted where it is, it is the product's own business.
    EXPECT_EQ(Install(other, 0, 0, 1), 1) << message;
    EXPECT_COUNT(other, 1);
    // It cannot be loaded to unregister it: its count stays.
    EXPECT_EQ(Uninstall(other, 0, 1, 1), 0);
    EXPECT_EQ(message, refusal);
    EXPECT_COUNT(other, 1);
}

TEST_F(InstallTest, ARetryAfterAFailedRegistrationRegistersAndCountsOnce)
{
    std::string source = Source("fixture_flaky_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    std::string marker = target + ".fail";
    Track(marker);
    WriteTextFile(marker, "a dependency is missing");

    EXPECT_EQ(Install(source), 0);
    EXPECT_EQ(message, "Could not register the file " + target + ".\nError running DllRegisterServer function.");
    // Nothing was in place before, and nothing is left.
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(ReadSharedValue(target).exists);

    // The user mends what was missing and runs the setup again.
    ASSERT_TRUE(DeleteFileA(marker.c_str()));
    EXPECT_EQ(Install(source), 1) << message;
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_COUNT(target, 1);
    // A second product: the count is the number of products that installed it.
    EXPECT_EQ(Install(source), 1) << message;
    EXPECT_COUNT(target, 2);
    // The failed registration, the failed server taking its entries away, and the two
    // that worked.
    EXPECT_EQ(ReadFixtureRecord(target).calls, 4u);
}

TEST_F(InstallTest, ACopyInPlaceOfAnotherMachineOrThatCannotBeReadIsNeverReplacedOrCounted)
{
    const bool wide = sizeof(void*) == 8;
    // Another machine's image; a newer copy (or control) open for reading elsewhere,
    // sharing only its deletion, as a scanner may hold it.
    const std::pair<const char*, bool> cases[] = {{".dll", false}, {".dll", true}, {".ocx", true}};
    for (const auto& [extension, held] : cases) {
        base = UniqueName("qelop");
        std::string target = InSystem(extension), companion = InSystem(".dep");
        ASSERT_TRUE(CopyFixture(held ? "fixture_server_2_1_0_4.dll" : "fixture_other_bitness.dll", target));
        WriteTextFile(companion, "in place");
        std::string source = Source(held ? "fixture_server_1_0_0_0.dll" : "fixture_server_5_2_0_0.dll", extension, true);
        HandleHolder holder(held ? NullIfInvalid(CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr,
                                                             OPEN_EXISTING, 0, nullptr))
                                 : nullptr);
        EXPECT_EQ(Install(source), 0);
        holder.reset();
        EXPECT_EQ(message, held ? "Error reading from " + target + "\nThe file cannot be read (error 32).\n"
                                : "The file " + target + " is built for " +
                                      (wide ? "32-bit x86 Windows (machine 0x014C)" : "64-bit x64 Windows (machine 0x8664)") +
                                      ", but this qelsetup module is " + (wide ? "64-bit x64" : "32-bit x86") +
                                      ": it can neither install nor register it.\n");
        EXPECT_EQ(VersionOf(target), held ? "2.1.0.4" : "3.0.0.0");
        EXPECT_EQ(ReadTextFile(companion), "in place");
        EXPECT_FALSE(ReadSharedValue(target).exists);
        EXPECT_FALSE(IsClsidRegistered(target));
    }
}

TEST_F(InstallTest, ACallerWithRedirectionOffGetsSysWow64AndItsSettingBack)
{
    // NSIS scripts switch it off to place 64-bit files; a 64-bit product's server of
    // the same name is in the real System32.
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) GTEST_SKIP() << "no WOW64 for this program";
    std::string target = InSystem(".dll"), source = Source("fixture_server_5_2_0_0.dll", ".dll");
    for (int uninstall = 0; uninstall < 2; ++uninstall) {
        PVOID caller = nullptr;
        EXPECT_TRUE(Wow64DisableWow64FsRedirection(&caller));
        EXPECT_TRUE(uninstall || CopyFixture("fixture_other_bitness.dll", target));
        EXPECT_EQ(uninstall ? UninstallEx(source, 1, 0, 1) : InstallEx(source, 1, 0, 1), 1) << message;
        EXPECT_EQ(restartNeeded, 0);
        // Still off: the 64-bit product's file, as it was.
        EXPECT_EQ(VersionOf(target), "3.0.0.0");
        if (uninstall) DeleteFileA(target.c_str());
        Wow64RevertWow64FsRedirection(caller);
        EXPECT_EQ(VersionOf(target), uninstall ? "" : "5.2.0.0");
        EXPECT_EQ(ReadSharedValue(target).exists, !uninstall);
    }
}
