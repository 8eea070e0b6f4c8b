// Setups that overlap: several processes on one file at once, and the machine-wide
// lock itself. Each worker is a real process
// (operation_worker.exe) calling the built module, as product setups do.
#include "common/holders.h"
#include "installer/operation_lock.h"
#include "installer/operations.h"
#include "support/setup_processes.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace qeltest;

namespace {

class ConcurrencyTest : public SetupProcessTest {};

}  // namespace

TEST_F(ConcurrencyTest, OverlappingSetupsKeepEveryCountExact)
{
    std::string file = Source("fixture_server_1_0_0_0.dll", ".dll");
    // Four products raise at once; then two raise while two lower (never below zero,
    // so the result is exact); then all lower, down to the last user.
    EXPECT_EQ(RunTogether({{"raise", 250}, {"raise", 250}, {"raise", 250}, {"raise", 250}}, file), 0u);
    EXPECT_EQ(ReadSharedValue(file).count, 1000u);
    EXPECT_EQ(RunTogether({{"raise", 200}, {"lower", 200}, {"raise", 200}, {"lower", 200}}, file), 0u);
    EXPECT_EQ(ReadSharedValue(file).count, 1000u);
    EXPECT_EQ(RunTogether({{"lower", 249}, {"lower", 249}, {"lower", 249}, {"lower", 249}}, file), 0u);
    EXPECT_EQ(ReadSharedValue(file).count, 4u);
    EXPECT_EQ(RunTogether({{"lower", 1}, {"lower", 1}, {"lower", 1}, {"lower", 1}}, file), 0u);
    EXPECT_FALSE(ReadSharedValue(file).exists);
}

TEST_F(ConcurrencyTest, InstallUninstallCyclesNeverTakeAControlFromItsHolder)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string target = InSystem(".ocx");
    std::string companion = InSystem(".dep");
    ASSERT_EQ(Install(source), 1) << message;  // the product that keeps it
    EXPECT_EQ(RunTogether({{"cycle", 60}, {"cycle", 60}, {"cycle", 60}, {"cycle", 60}}, source), 0u);
    ExpectControlInPlace(target, companion, 1);
}

TEST_F(ConcurrencyTest, LockHeldElsewhereTimesOutAndAnAbandonedOneIsTaken)
{
    HeldElsewhere holder("lock");
    ASSERT_TRUE(holder.active);
    char refusal[kMessageBufferForTests] = "";
    EXPECT_FALSE(AcquireOperationLock("C:\\kit\\Chart.ocx", 2000, refusal));
    EXPECT_STREQ(refusal, "Could not change C:\\kit\\Chart.ocx.\nAnother setup has been changing shared "
                          "system files for 2 seconds. Nothing was changed.\n");

    // A setup that dies holding the lock leaves it abandoned, not held forever.
    EndChild(&holder.holder);
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    EXPECT_EQ(Install(source, 0, 0, 1), 1) << message;
    EXPECT_EQ(ReadSharedValue(source).count, 1u);
}

TEST_F(ConcurrencyTest, LockNameTakenByAnotherProgramStopsBothOperations)
{
    std::string installed = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string installedTarget = InSystem(".ocx");
    ASSERT_EQ(Install(installed), 1) << message;
    base = UniqueName("qelop");  // a server of its own, with a CLSID of its own
    std::string fresh = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string freshTarget = InSystem(".dll");

    // An object of another kind under the name, and a mutex whose DACL shuts us out.
    for (const auto& squat : {std::make_pair("event", 6), std::make_pair("closed-mutex", 5)}) {
        SCOPED_TRACE(squat.first);
        HeldElsewhere squatter(squat.first);
        ASSERT_TRUE(squatter.active);
        auto refusal = [&](const std::string& file) {
            return "Could not change " + file + ".\nAnother program holds the name of the setup lock (error " +
                   std::to_string(squat.second) + "). Nothing was changed.\n";
        };

        EXPECT_EQ(Install(fresh), 0);
        EXPECT_EQ(message, refusal(fresh));
        EXPECT_FALSE(FileExists(freshTarget));
        EXPECT_FALSE(ReadSharedValue(freshTarget).exists);
        EXPECT_FALSE(IsClsidRegistered(fresh));
        EXPECT_FALSE(IsClsidRegistered(freshTarget));

        EXPECT_EQ(Uninstall(installed), 0);
        EXPECT_EQ(message, refusal(installed));
        EXPECT_TRUE(FileExists(installedTarget));
        EXPECT_EQ(ReadSharedValue(installedTarget).count, 1u);
        EXPECT_TRUE(IsClsidRegistered(installedTarget));
    }
}

TEST_F(ConcurrencyTest, AnUnelevatedAdministratorIsRefusedBeforeTheLockAnotherSetupHolds)
{
    // The lock admits only enabled members of its groups: asked for it, such a caller
    // would be told that some other program holds its name.
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    HeldElsewhere setup("lock");
    ASSERT_TRUE(setup.active);
    {
        DenyOnlyGroupsImpersonation unelevated({DOMAIN_ALIAS_RID_ADMINS, DOMAIN_ALIAS_RID_POWER_USERS});
        ASSERT_TRUE(unelevated.active);
        EXPECT_EQ(Install(source), 0);
        EXPECT_EQ(message, kPermissionDenied);
        EXPECT_EQ(Uninstall(source), 0);
        EXPECT_EQ(message, kPermissionDenied);
    }
    EXPECT_FALSE(FileExists(InSystem(".ocx")));
    EXPECT_FALSE(ReadSharedValue(InSystem(".ocx")).exists);
    // Once the other setup is done, the same program started elevated goes on.
    setup.End();
    EXPECT_EQ(Install(source), 1) << message;
}

TEST_F(ConcurrencyTest, OnlyAdministratorsPowerUsersAndSystemMayWaitForTheLock)
{
    char buffer[kMessageBufferForTests] = "";
    MutexHolder lock = AcquireOperationLock("C:\\kit\\Chart.ocx", 1000, buffer);
    ASSERT_TRUE(lock) << buffer;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(lock.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 3u);
    const char* expected[] = {"S-1-5-32-544", "S-1-5-32-547", "S-1-5-18"};
    for (DWORD i = 0; i < dacl->AceCount && i < 3; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(SYNCHRONIZE | MUTEX_MODIFY_STATE));
        char* text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidA(reinterpret_cast<PSID>(&ace->SidStart), &text));
        EXPECT_STREQ(text, expected[i]);
        LocalFree(text);
    }
    LocalFree(descriptor);
}

TEST_F(ConcurrencyTest, On9xTheLockFallsBackToThePlainNameAndFilesAreRenamedWithoutMoveFileEx)
{
    std::string file = Source("fixture_server_1_0_0_0.dll", ".dll");
    HeldElsewhere squatter("event");
    ASSERT_TRUE(squatter.active);
    std::string arguments = " raise \"" + file + "\" 1";
    // The squatted Global\ name stops an NT-family setup; a 9x one never asks for it.
    EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\"" + arguments), 1u);
    EXPECT_FALSE(ReadSharedValue(file).exists);
    ProgramAsVersion worker("operation_worker.exe", "win98");
    EXPECT_EQ(RunProgram("\"" + worker.path + "\"" + arguments), 0u);
    EXPECT_EQ(ReadSharedValue(file).count, 1u);

    // Nor may it call MoveFileExA, which the 9x family lacks: Wine runs it whatever
    // version it reports, so the worker refuses it as 9x would. The copy in place is
    // renamed aside, the new one renamed into its name, and the old one goes.
    const std::string as9x = "\"" + worker.path + "\" --refuse MoveFileExA 1 ";
    std::string target = InSystem(".dll");
    WriteTextFile(target, "an unversioned copy, to be replaced");
    EXPECT_EQ(RunProgram(as9x + "copy \"" + file + "\" 1"), 0u);
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_FALSE(FileExists(target + ".~ql"));
    EXPECT_TRUE(TrackStrays().empty());
    // An NT-family setup, once the name is free, replaces it with a new file.
    squatter.End();
    WriteTextFile(target, "an unversioned copy, to be replaced");
    const ULONGLONG again = FileIndexOf(target);
    EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\" copy \"" + file + "\" 1"), 0u);
    EXPECT_NE(FileIndexOf(target), again);

    // A failed registration gives the copy in place back the same way.
    base = UniqueName("qel9x");
    std::string control = InSystem(".ocx"), companion = InSystem(".dep");
    std::string first = Source("fixture_flaky_1_0_0_0.dll", ".ocx", true, "first");
    WriteTextFile(first.substr(0, first.size() - 4) + ".dep", kOldDep);
    ASSERT_EQ(Install(first), 1) << message;
    std::string second = Source("fixture_flaky_3_0_0_0.dll", ".ocx", true, "second");
    Mark(control, ".fail");
    EXPECT_EQ(RunProgram(as9x + "install \"" + second + "\" 1"), 1u);
    EXPECT_EQ(ReadTextFile(control), ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll")));
    EXPECT_EQ(ReadTextFile(companion), kOldDep);
    EXPECT_COUNT(control, 1);
    EXPECT_COUNT(companion, 1);
    EXPECT_EQ(ReadFixtureRecord(control).event, "register");
    EXPECT_EQ(ReadFixtureRecord(control).calls, 3u);
    EXPECT_TRUE(TrackStrays().empty());
}

// An installer that does not take the setup lock (one of another make) counts the file
// while an update's server registers and while a last uninstall's server unregisters:
// the update raises that count, and the uninstall lowers it, not the one it read first.
TEST_F(ConcurrencyTest, ACountThatAnotherInstallerChangedMeanwhileIsRaisedOrLoweredAsItStands)
{
    std::string target = InSystem(".dll"), paused = target + ".paused";
    Track(paused);
    ASSERT_EQ(Install(Source("fixture_flaky_1_0_0_0.dll", ".dll", false, "first")), 1) << message;
    std::string update = Source("fixture_flaky_3_0_0_0.dll", ".dll", false, "update");
    for (const char* call : {"install", "uninstall"}) {
        SCOPED_TRACE(call);
        // The uninstall is then the last one as it reads the count.
        const DWORD ours = 1, others = 5;
        WriteSharedValue(target, REG_DWORD, &ours, sizeof(ours));
        std::string pause = Mark(target, ".pause");
        Child worker;
        ASSERT_TRUE(StartWorker(call, update, 1, &worker));
        SetEvent(startEvent);
        for (int waited = 0; waited < 6000 && !FileExists(paused); ++waited) Sleep(10);
        ResetEvent(startEvent);
        ASSERT_TRUE(FileExists(paused)) << "the server was never asked";
        WriteSharedValue(target, REG_DWORD, &others, sizeof(others));
        DeleteFileA(pause.c_str());
        EXPECT_EQ(WaitForChild(&worker, 60000), 0u);
        DeleteFileA(paused.c_str());
        EXPECT_COUNT(target, call[0] == 'i' ? 6 : 4);
    }
}

// A setup's registration fails while another program (a scanner, a backup) holds the
// copy that was in place open without sharing: that copy cannot take its name back, and
// the new control stays. So does the new .dep: a rerun finds the control in place and
// copies neither again. On 9x the new control comes back from aside with MoveFileA.
TEST_F(ConcurrencyTest, AControlThatCannotTakeItsNameBackKeepsItsNewDep)
{
    ProgramAsVersion win98("operation_worker.exe", "win98");
    const std::string old = BinFile("fixture_flaky_1_0_0_0.dll"), fresh = BinFile("fixture_flaky_3_0_0_0.dll");
    for (const auto& setup : {std::make_pair(BinFile("operation_worker.exe"), std::string("install")),
                              std::make_pair(win98.path, std::string("--refuse MoveFileExA 1 install"))}) {
        SCOPED_TRACE(setup.second);
        base = UniqueName("qelheld");
        std::string control = InSystem(".ocx"), companion = InSystem(".dep");
        Track(control + ".~ql");
        Track(companion + ".~ql");
        Track(control + ".paused");
        std::string first = Source("fixture_flaky_1_0_0_0.dll", ".ocx", false, "first");
        WriteTextFile(first.substr(0, first.size() - 4) + ".dep", kOldDep);
        ASSERT_EQ(Install(first), 1) << message;
        std::string second = Source("fixture_flaky_3_0_0_0.dll", ".ocx", false, "second");
        WriteTextFile(second.substr(0, second.size() - 4) + ".dep", kNewDep);

        // Held open while the update's server registers, which then fails.
        std::string pause = Mark(control, ".pause"), fail = Mark(control, ".fail");
        Child updating;
        ASSERT_TRUE(StartWorker(setup.second, second, 1, &updating, setup.first));
        SetEvent(startEvent);
        for (int waited = 0; waited < 6000 && !FileExists(control + ".paused"); ++waited) Sleep(10);
        ResetEvent(startEvent);
        ASSERT_TRUE(FileExists(control + ".paused")) << "the update's server never began to register";
        std::string kept, keptDep;
        for (const std::string& stray : TrackStrays()) {
            if (SameContent(stray, old)) kept = stray;
            if (ReadTextFile(stray) == kOldDep) keptDep = stray;
        }
        ASSERT_FALSE(kept.empty() || keptDep.empty()) << "no kept copy of the control or of its .dep";
        FileHeldOpen scanner(kept);
        ASSERT_NE(scanner.handle, INVALID_HANDLE_VALUE);
        DeleteFileA(pause.c_str());
        EXPECT_EQ(WaitForChild(&updating, 60000), 1u);
        DeleteFileA(fail.c_str());
        EXPECT_TRUE(SameContent(control, fresh));
        EXPECT_EQ(ReadTextFile(companion), kNewDep);
        EXPECT_FALSE(FileExists(keptDep)) << "the old .dep goes as if the update had succeeded";
        EXPECT_COUNT(control, 1);
        EXPECT_COUNT(companion, 1);
        CloseHandle(scanner.handle);
        scanner.handle = INVALID_HANDLE_VALUE;
        EXPECT_TRUE(SameContent(kept, old));

        EXPECT_EQ(RunProgram("\"" + setup.first + "\" " + setup.second + " \"" + second + "\" 1"), 0u);
        EXPECT_TRUE(SameContent(control, fresh));
        EXPECT_EQ(ReadTextFile(companion), kNewDep);
        std::string server;
        EXPECT_TRUE(IsClsidRegistered(control, &server));
        EXPECT_EQ(server, control);
        EXPECT_COUNT(control, 2);
        EXPECT_COUNT(companion, 2);
        TrackStrays();
    }
}

// Other setups' copies hold every name that an update guesses for the copy it keeps:
// it takes a name reserved for it instead, a link on Windows 2000 and later, a whole
// copy on NT 4.0. A copy that cannot be made (its source refused, as a scanner that
// took hold of it would) leaves the others' files as they were, and so does the next
// setup after one that died having found its guess taken, or while making its copy.
TEST_F(ConcurrencyTest, KeptCopiesLeaveTheNamesTheyGuessToTheFilesThatHoldThem)
{
    ProgramAsVersion nt4("operation_worker.exe", "nt40"), win98("operation_worker.exe", "win98");
    // Killed before its copy was on its way, the setup had recorded a kept name only.
    // A whole copy (NT 4.0) is guessed under names of its own, and, when those are
    // taken, reserved under names of its own as well.
    const struct {
        std::string program, refuse;
        DWORD exitCode;
        const char* prefix;  // of the names guessed
    } cases[] = {{BinFile("operation_worker.exe"), "", 0, "~ql"},
                 {nt4.path, "", 0, "~qlk"},
                 {nt4.path, "--refuse CopyFileA 2 ", 1, "~qlk"},
                 {BinFile("operation_worker.exe"), "--die after CreateHardLinkA 1 ", 77, "~ql"},
                 {nt4.path, "--die after CopyFileA 2 ", 77, "~qlk"},
                 {BinFile("operation_worker.exe"), "--die before CopyFileA 1 ", 77, "~ql"},
                 {nt4.path, "--die before CopyFileA 1 ", 77, "~qlk"},
                 {win98.path, "--die before CopyFileA 1 ", 77, "~ql"},
                 {win98.path, "--refuse MoveFileExA 1 ", 0, "~ql"},
                 {win98.path, "--die after MoveFileA 1 ", 77, "~ql"}};
    for (const auto& update : cases) {
        SCOPED_TRACE(update.program + " " + update.refuse);
        base = UniqueName("qelguess");
        std::string source = Source("fixture_server_2_1_0_5.dll", ".dll"), target = InSystem(".dll");
        ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));
        Child worker;
        ASSERT_TRUE(StartWorker(update.refuse + "--tick 0x1234 copy", source, 1, &worker, update.program));
        // Every name the worker guesses, as it numbers them from its pinned tick.
        std::vector<std::string> taken;
        for (DWORD attempt = 0; attempt < 3; ++attempt) {
            DWORD number = ((0x1234 ^ (worker.id << 4)) + 0x100003 * attempt) & 0xFFFFFF;
            char name[MAX_PATH] = {};
            snprintf(name, sizeof(name), "%s\\%s%06lX.tmp", SystemDir().c_str(), update.prefix,
                     static_cast<unsigned long>(number == 0 ? 1 : number));
            WriteTextFile(name, "another setup's copy");
            taken.push_back(name);
        }
        SetEvent(startEvent);
        EXPECT_EQ(WaitForChild(&worker, 60000), update.exitCode);
        ResetEvent(startEvent);
        // The next setup puts back what the dead one changed.
        if (update.exitCode == 77) {
            EXPECT_EQ(Install(Source("fixture_server_1_0_0_0.dll", ".dll", false, "other"), 0, 0, 1), 1) << message;
        }
        EXPECT_EQ(VersionOf(target), update.exitCode == 0 ? "2.1.0.5" : "2.1.0.4");
        std::vector<std::string> strays = TrackStrays();
        EXPECT_EQ(strays.size(), taken.size());
        for (const std::string& name : taken) EXPECT_EQ(ReadTextFile(name), "another setup's copy") << name;
    }
}
