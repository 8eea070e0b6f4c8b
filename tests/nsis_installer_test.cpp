// A real installer as the module's client: an NSIS installer built from
// installer/qelsetup_client.nsi ships only qelsetup.mexw32 in its plugins folder and
// calls RunningAsAdministrator, installQELSystemFilesEx and uninstallQELSystemFilesEx
// through the System plugin, and sets its reboot flag when a restart is needed. NSIS loads plugins with the DLL search limited to
// System32, so this passes only while the module needs nothing but system DLLs.
#include "support/operation_fixture.h"

#include <windows.h>

using namespace qeltest;

namespace {

class NsisInstallerTest : public OperationTest {
protected:
    // Runs the installer for one step and returns what it wrote, "" when it could
    // not be run or did not finish cleanly.
    std::string RunInstaller(const std::string& step, const std::string& file)
    {
        std::string result = dir + "\\" + base + "-result.txt";
        DeleteFileA(result.c_str());
        std::string command = "\"" + BinFile("qelsetup_client_installer.exe") + "\" /STEP=" + step +
                              " /FILE=" + file + " /RESULT=" + result;
        Child installer;
        if (!StartChild(command, &installer, dir)) return "";
        EXPECT_EQ(WaitForChild(&installer, 120000), 0u);
        std::string text = FileExists(result) ? ReadTextFile(result) : "";
        DeleteFileA(result.c_str());
        return text;
    }

    void ExpectInstalledAt(const char* file, int line, const std::string& target, DWORD count)
    {
        testing::ScopedTrace trace(file, line, target);
        EXPECT_EQ(VersionOf(target), "1.0.0.0");
        SharedValue value = ReadSharedValue(target);
        EXPECT_TRUE(value.exists);
        EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(value.count, count);
        std::string server;
        EXPECT_TRUE(IsClsidRegistered(target, &server));
        EXPECT_EQ(server, target);
    }
};

#define EXPECT_INSTALLED(target, count) ExpectInstalledAt(__FILE__, __LINE__, (target), (count))

const char kAdministrator[] = "RunningAsAdministrator 0\n";

}  // namespace

TEST_F(NsisInstallerTest, TwoProductsInstallAndUninstallASharedServerThroughTheirInstaller)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");

    EXPECT_EQ(RunInstaller("install", source), std::string(kAdministrator) + "installQELSystemFilesEx 1 0 \n");
    EXPECT_INSTALLED(target, 1);

    // A second product's installer: the copy in place is not older, the count rises.
    EXPECT_EQ(RunInstaller("install", source), std::string(kAdministrator) + "installQELSystemFilesEx 1 0 \n");
    EXPECT_INSTALLED(target, 2);

    // The first product goes: the other still uses the file.
    EXPECT_EQ(RunInstaller("uninstall", source), std::string(kAdministrator) + "uninstallQELSystemFilesEx 1 0 \n");
    EXPECT_INSTALLED(target, 1);

    // The last one goes: count, registration and file with it.
    EXPECT_EQ(RunInstaller("uninstall", source), std::string(kAdministrator) + "uninstallQELSystemFilesEx 1 0 \n");
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
    EXPECT_FALSE(FileExists(target));
}

TEST_F(NsisInstallerTest, AFailedOperationHandsItsMessageToTheInstaller)
{
    std::string missing = dir + "\\" + base + ".dll";
    EXPECT_EQ(RunInstaller("install", missing),
              std::string(kAdministrator) + "installQELSystemFilesEx 0 0 The file " + missing + " does not exist.\n\n");
    EXPECT_FALSE(FileExists(SystemDir() + "\\" + base + ".dll"));
}

TEST_F(NsisInstallerTest, AnUpdateOfACopyInUseSetsTheInstallersRebootFlag)
{
    std::string target = InSystem(".dll");
    std::string first = Source("fixture_server_2_1_0_4.dll", ".dll", false, "a");
    ASSERT_EQ(Install(first), 1) << message;
    {
        HeldElsewhere holder("module", target);
        ASSERT_TRUE(holder.active);
        EXPECT_EQ(RunInstaller("install", Source("fixture_server_2_1_0_5.dll", ".dll", false, "b")),
                  std::string(kAdministrator) + "installQELSystemFilesEx 1 1 \nreboot flag set\n");
        EXPECT_EQ(VersionOf(target), "2.1.0.5");
        EXPECT_COUNT(target, 2);
    }
    // The old copy waits for the restart (beside the plugin folders NSIS could not
    // remove while it ran).
    std::vector<std::string> aside;
    for (const std::string& pending : PendingDeletions())
        if (pending.find("\\~ql") != std::string::npos) aside.push_back(pending);
    ASSERT_EQ(aside.size(), 1u);
    std::string asideHere = SystemDir() + aside[0].substr(aside[0].find_last_of('\\'));
    EXPECT_EQ(VersionOf(asideHere), "2.1.0.4");
    ASSERT_TRUE(Restart());
    EXPECT_FALSE(FileExists(asideHere));
    EXPECT_EQ(VersionOf(target), "2.1.0.5");
}
