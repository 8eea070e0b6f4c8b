// Updates while another program has the file loaded, as a product's own running
// application often does: the loaded copy is set aside under a name of its own and
// deleted by the next restart (here: wineboot -r in the test prefix), never the file
// under its own name.
#include "support/operation_fixture.h"

#include <algorithm>
#include <memory>

using namespace qeltest;

namespace {

class InUseTest : public OperationTest {
protected:
    void SetUp() override
    {
        OperationTest::SetUp();
        before = PendingDeletions();
    }

    // The set-aside copies this test has caused: their names as the restart will
    // delete them, and as this program sees them.
    std::vector<std::string> SetAside()
    {
        std::vector<std::string> found;
        for (const std::string& pending : PendingDeletions())
            if (std::find(before.begin(), before.end(), pending) == before.end()) found.push_back(pending);
        return found;
    }

    // "\??\C:\windows\syswow64\~qlAB12CD.tmp" as this program spells it.
    static std::string AsSeenHere(const std::string& pending)
    {
        std::string name = pending.substr(pending.find_last_of('\\') + 1);
        return SystemDir() + "\\" + name;
    }

    // Where Windows keeps this program's system directory; the restart must be told it.
    static std::string RealSystemDir()
    {
        char dir[MAX_PATH] = {};
        BOOL wow64 = FALSE;
        if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64 && GetSystemWow64DirectoryA(dir, MAX_PATH))
            return dir;
        return SystemDir();
    }

    // Starts another process that holds the copy in place loaded, until the test ends
    // or EndHolders, then installs `kit` from a folder of its own.
    void InstallWhileLoaded(const char* kit, const std::string& folder)
    {
        holders.emplace_back(new HeldElsewhere("module", target));
        ASSERT_TRUE(holders.back()->active);
        EXPECT_EQ(Install(Source(kit, ".dll", false, folder)), 1) << message;
        EXPECT_EQ(message, "");
    }
    void EndHolders()
    {
        for (auto& holder : holders) holder->End();
    }

    void ExpectSetAsideCopyAt(const char* file, int line, const std::string& pending, const std::string& version)
    {
        testing::ScopedTrace trace(file, line, pending);
        EXPECT_EQ(pending.substr(0, 4), "\\??\\");
        std::string folder = pending.substr(4, pending.find_last_of('\\') - 4);
        EXPECT_EQ(_stricmp(folder.c_str(), RealSystemDir().c_str()), 0);
        std::string name = pending.substr(pending.find_last_of('\\') + 1);
        EXPECT_EQ(name.substr(0, 3), "~ql");
        EXPECT_EQ(VersionOf(AsSeenHere(pending)), version);
        Track(AsSeenHere(pending));
    }

    std::vector<std::string> before;
    std::string target;
    std::vector<std::unique_ptr<HeldElsewhere>> holders;
};

#define EXPECT_SET_ASIDE_COPY(pending, version) ExpectSetAsideCopyAt(__FILE__, __LINE__, (pending), (version))

}  // namespace

TEST_F(InUseTest, AnUpdateSetsTheLoadedCopyAsideAndTheRestartRemovesIt)
{
    target = InSystem(".dll");
    ASSERT_EQ(Install(Source("fixture_server_2_1_0_4.dll", ".dll", false, "a")), 1) << message;
    InstallWhileLoaded("fixture_server_2_1_0_5.dll", "b");
    EXPECT_EQ(VersionOf(target), "2.1.0.5");
    EXPECT_EQ(ReadSharedValue(target).count, 2u);
    FixtureRecord record = ReadFixtureRecord(target);
    EXPECT_EQ(record.calls, 2u);
    EXPECT_EQ(record.loadedFrom, target);
    std::vector<std::string> aside = SetAside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_SET_ASIDE_COPY(aside[0], "2.1.0.4");

    EndHolders();
    ASSERT_TRUE(Restart());
    EXPECT_FALSE(FileExists(AsSeenHere(aside[0])));
    EXPECT_TRUE(SetAside().empty());
    EXPECT_EQ(VersionOf(target), "2.1.0.5");
    EXPECT_EQ(ReadSharedValue(target).count, 2u);
}

TEST_F(InUseTest, TwoSetAsidesBeforeOneRestartKeepNamesOfTheirOwn)
{
    target = InSystem(".dll");
    ASSERT_EQ(Install(Source("fixture_server_2_1_0_4.dll", ".dll", false, "a")), 1) << message;
    InstallWhileLoaded("fixture_server_2_1_0_5.dll", "b");
    InstallWhileLoaded("fixture_server_4_0_0_0.dll", "c");
    EXPECT_EQ(VersionOf(target), "4.0.0.0");
    EXPECT_EQ(ReadSharedValue(target).count, 3u);

    std::vector<std::string> aside = SetAside();
    ASSERT_EQ(aside.size(), 2u);
    EXPECT_NE(aside[0], aside[1]);
    EXPECT_SET_ASIDE_COPY(aside[0], "2.1.0.4");
    EXPECT_SET_ASIDE_COPY(aside[1], "2.1.0.5");

    EndHolders();
    ASSERT_TRUE(Restart());
    EXPECT_FALSE(FileExists(AsSeenHere(aside[0])));
    EXPECT_FALSE(FileExists(AsSeenHere(aside[1])));
    EXPECT_EQ(VersionOf(target), "4.0.0.0");
}

TEST_F(InUseTest, TheLastUninstallSetsItAsideAndAReinstallBeforeTheRestartStays)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    target = InSystem(".ocx");
    std::string companion = InSystem(".dep");
    ASSERT_EQ(Install(source), 1) << message;
    HeldElsewhere holder("module", target);
    ASSERT_TRUE(holder.active);

    EXPECT_EQ(Uninstall(source), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(companion));
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
    EXPECT_EQ(ReadFixtureRecord(target).event, "unregister");
    std::vector<std::string> aside = SetAside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_SET_ASIDE_COPY(aside[0], "1.0.0.0");

    // Another product installs it again before anyone restarts.
    EXPECT_EQ(Install(Source("fixture_server_1_0_0_0.dll", ".ocx", true, "other")), 1) << message;
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_TRUE(IsClsidRegistered(target));

    holder.End();
    ASSERT_TRUE(Restart());
    EXPECT_FALSE(FileExists(AsSeenHere(aside[0])));
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_TRUE(FileExists(companion));
    EXPECT_TRUE(IsClsidRegistered(target));
}

TEST_F(InUseTest, RestartNeededSaysWhenTheCallLeftACopyForTheRestart)
{
    target = InSystem(".dll");
    std::string first = Source("fixture_server_2_1_0_4.dll", ".dll", false, "a");
    EXPECT_EQ(InstallEx(first), 1) << message;
    EXPECT_EQ(restartNeeded, 0);

    holders.emplace_back(new HeldElsewhere("module", target));
    ASSERT_TRUE(holders.back()->active);
    // A call that fails sets nothing aside, loaded copy or not.
    EXPECT_EQ(InstallEx(dir + "\\" + base + "-missing.dll"), 0);
    EXPECT_EQ(restartNeeded, 0);
    EXPECT_TRUE(SetAside().empty());
    // The same version: nothing to replace.
    EXPECT_EQ(InstallEx(first), 1) << message;
    EXPECT_EQ(restartNeeded, 0);

    EXPECT_EQ(InstallEx(Source("fixture_server_2_1_0_5.dll", ".dll", false, "b")), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_EQ(restartNeeded, 1);
    EXPECT_EQ(SetAside().size(), 1u);

    // Without a place for the answer the call runs all the same.
    holders.emplace_back(new HeldElsewhere("module", target));
    ASSERT_TRUE(holders.back()->active);
    char buffer[kMessageBufferForTests] = "";
    EXPECT_EQ(api.installEx(Source("fixture_server_4_0_0_0.dll", ".dll", false, "c").c_str(), 1, 1, 1, buffer,
                            nullptr),
              1)
        << buffer;
    EXPECT_EQ(VersionOf(target), "4.0.0.0");
    EXPECT_EQ(SetAside().size(), 2u);

    // Products leave; the copy in place is not loaded by anyone but the last.
    EXPECT_COUNT(target, 4);
    for (int product = 0; product < 2; ++product) {
        EXPECT_EQ(UninstallEx(first), 1) << message;
        EXPECT_EQ(restartNeeded, 0);
    }
    holders.emplace_back(new HeldElsewhere("module", target));
    ASSERT_TRUE(holders.back()->active);
    EXPECT_EQ(UninstallEx(first), 1) << message;
    EXPECT_EQ(restartNeeded, 0);
    EXPECT_EQ(UninstallEx(first), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_EQ(restartNeeded, 1);
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ(SetAside().size(), 3u);

    // The last uninstall of a loaded copy, with nowhere to say so.
    EXPECT_EQ(InstallEx(first), 1) << message;
    EXPECT_EQ(restartNeeded, 0);
    holders.emplace_back(new HeldElsewhere("module", target));
    ASSERT_TRUE(holders.back()->active);
    EXPECT_EQ(api.uninstallEx(first.c_str(), 1, 1, 1, buffer, nullptr), 1) << buffer;
    EXPECT_FALSE(FileExists(target));
    std::vector<std::string> aside = SetAside();
    EXPECT_EQ(aside.size(), 4u);
    for (const std::string& pending : aside) Track(AsSeenHere(pending));

    EndHolders();
    ASSERT_TRUE(Restart());
    for (const std::string& pending : aside) EXPECT_FALSE(FileExists(AsSeenHere(pending))) << pending;
}
