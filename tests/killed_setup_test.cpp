// Setups killed halfway, at each step of an install and an uninstall: under the
// file's name the old file or the new one (or, for a file in use, for a moment none),
// nothing that a restart would delete wrongly, and a rerun that heals.
#include "support/setup_processes.h"

#include <algorithm>
#include <memory>

using namespace qeltest;

namespace {

class KilledSetupTest : public SetupProcessTest {
protected:
    // Starts `program` (an operation_worker) copying `source` over an older copy, and
    // kills it as soon as a file of this test's name in the system directory holds
    // part of the new file: the copy is under way.
    void KillWhileCopying(const std::string& program, const std::string& source, const std::string& mode = "copy");
    // 2.1.0.4 in place, and a 2.1.0.5 grown to 300 MB, whose copy takes long enough
    // to be killed halfway.
    void OldCopyAndAGrownUpdate(std::string* source, std::string* target)
    {
        *source = Source("fixture_server_2_1_0_5.dll", ".dll");
        Grow(*source, 300u << 20);
        *target = InSystem(".dll");
        Track(*target + ".~ql");
        ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", *target));
    }

    // One step at which a setup is killed, and what each name must hold afterwards.
    enum class Holds { kOld, kNew, kNothing };
    struct KilledStep {
        const char* name;
        std::string die;     // the worker's --die option, if it is the worker that ends itself
        std::string marker;  // ".die": its server ends it while registering; ".fail": the registration fails
        Holds control;
        Holds companion;
        bool counted = false;  // it had counted: the rerun counts its product a second time
        bool inUse = false;    // another program has the control in place loaded
    };
    // A first product installs 1.0 of a control with its .dep; a second one's update to
    // 3.0 (or, for an uninstall, the first one's uninstall) is killed at `step`.
    void KillInstallAt(const KilledStep& step);
    void KillUninstallAt(const KilledStep& step);
    void ExpectHolds(const std::string& path, Holds holds, const std::string& old, const std::string& fresh);
    // The product's copy of a control with a .dep of the given text beside it.
    std::string ControlWithDep(const char* fixture, const char* dep, const std::string& folder)
    {
        std::string source = Source(fixture, ".ocx", true, folder);
        WriteTextFile(source.substr(0, source.size() - 4) + ".dep", dep);
        return source;
    }
    // Puts the step's condition in place (another program holding the control loaded,
    // a marker for its server), then runs the setup that it kills, and takes the marker
    // away. `pending`: what the restart was to delete before.
    void RunKilledAt(const KilledStep& step, const std::string& control, const std::string& mode,
                     const std::string& file, std::unique_ptr<HeldElsewhere>* holder,
                     std::vector<std::string>* pending)
    {
        if (step.inUse) {
            holder->reset(new HeldElsewhere("module", control));
            ASSERT_TRUE((*holder)->active);
        }
        *pending = PendingDeletions();
        std::string marker = Mark(control, step.marker);
        EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\" " + step.die + " " + mode + " \"" +
                             file + "\" 1"),
                  77u);
        if (!marker.empty()) DeleteFileA(marker.c_str());
    }
    // Nothing the restart would delete is under a name of its own or the only copy of
    // what is in place.
    void ExpectNothingPendingWrongly(const std::vector<std::string>& before, const std::string& control);

    std::vector<std::string> controls;  // those the killed steps left, checked after the restart
};

void KilledSetupTest::KillWhileCopying(const std::string& program, const std::string& source,
                                       const std::string& mode)
{
    const ULONGLONG newSize = SizeOf(source);
    std::vector<ULONGLONG> oldSizes;
    for (const auto& file : FilesStartingWith(base)) oldSizes.push_back(file.second);
    Child running;
    ASSERT_TRUE(StartWorker(mode, source, 1, &running, program));
    SetEvent(startEvent);
    // Polled, not watched with a change notification: Wine completes one through a
    // signal to this thread, which qemu-user can hand to another thread.
    bool underWay = false;
    while (!underWay && WaitForSingleObject(running.process.get(), 10) == WAIT_TIMEOUT) {
        for (const auto& file : FilesStartingWith(base))
            if (file.second > 0 && file.second < newSize &&
                std::find(oldSizes.begin(), oldSizes.end(), file.second) == oldSizes.end())
                underWay = true;
    }
    ResetEvent(startEvent);
    ASSERT_TRUE(underWay) << "the copy ended before it was seen";
    ASSERT_TRUE(EndChild(&running, 77));
}

void KilledSetupTest::ExpectHolds(const std::string& path, Holds holds, const std::string& old,
                                  const std::string& fresh)
{
    switch (holds) {
    case Holds::kOld:
        EXPECT_EQ(ReadTextFile(path), old) << path << " should hold the old copy";
        break;
    case Holds::kNew:
        EXPECT_EQ(ReadTextFile(path), fresh) << path << " should hold the new copy";
        break;
    case Holds::kNothing:
        EXPECT_FALSE(FileExists(path)) << path;
        break;
    }
}

void KilledSetupTest::ExpectNothingPendingWrongly(const std::vector<std::string>& before, const std::string& control)
{
    std::string controlName = control.substr(control.find_last_of('\\') + 1);
    for (const std::string& pending : PendingDeletions()) {
        if (std::find(before.begin(), before.end(), pending) != before.end()) continue;
        std::string name = pending.substr(pending.find_last_of('\\') + 1);
        EXPECT_EQ(_strnicmp(name.c_str(), "~ql", 3), 0) << pending;
        std::string here = SystemDir() + "\\" + name;
        EXPECT_TRUE(FileExists(here)) << pending;
        EXPECT_FALSE(FileExists(control) && SameContent(here, control)) << pending << " holds what is in place";
        EXPECT_NE(_stricmp(name.c_str(), controlName.c_str()), 0) << pending;
    }
}

void KilledSetupTest::KillInstallAt(const KilledStep& step)
{
    SCOPED_TRACE(std::string("install killed ") + step.name);
    base = UniqueName("qelkill");
    std::string control = InSystem(".ocx"), companion = InSystem(".dep");
    Track(control + ".~ql");
    Track(companion + ".~ql");
    controls.push_back(control);
    const std::string old = ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll"));
    const std::string fresh = ReadTextFile(BinFile("fixture_flaky_3_0_0_0.dll"));
    std::string first = ControlWithDep("fixture_flaky_1_0_0_0.dll", kOldDep, "first");
    ASSERT_EQ(Install(first), 1) << message;
    std::string second = ControlWithDep("fixture_flaky_3_0_0_0.dll", kNewDep, "second");
    std::unique_ptr<HeldElsewhere> holder;
    std::vector<std::string> pending;
    ASSERT_NO_FATAL_FAILURE(RunKilledAt(step, control, "install", second, &holder, &pending));
    ExpectHolds(control, step.control, old, fresh);
    ExpectHolds(companion, step.companion, kOldDep, kNewDep);
    ExpectNothingPendingWrongly(pending, control);

    // The rerun puts 3.0 in place, registered, and counts the product: once, unless
    // the killed setup had counted it already.
    EXPECT_EQ(Install(second), 1) << message;
    EXPECT_EQ(ReadTextFile(control), fresh);
    EXPECT_EQ(ReadTextFile(companion), kNewDep);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(control, &server));
    EXPECT_EQ(server, control);
    EXPECT_EQ(ReadFixtureRecord(control).event, "register");
    EXPECT_COUNT(control, step.counted ? 3 : 2);
    EXPECT_COUNT(companion, step.counted ? 3 : 2);
    ExpectNothingPendingWrongly(pending, control);
    if (holder) holder->End();
    TrackStrays();
}

void KilledSetupTest::KillUninstallAt(const KilledStep& step)
{
    SCOPED_TRACE(std::string("uninstall killed ") + step.name);
    base = UniqueName("qelkill");
    std::string control = InSystem(".ocx"), companion = InSystem(".dep");
    controls.push_back(control);
    const std::string old = ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll"));
    std::string source = ControlWithDep("fixture_flaky_1_0_0_0.dll", kOldDep, "");
    ASSERT_EQ(Install(source), 1) << message;
    std::unique_ptr<HeldElsewhere> holder;
    std::vector<std::string> pending;
    ASSERT_NO_FATAL_FAILURE(RunKilledAt(step, control, "uninstall", source, &holder, &pending));
    ExpectHolds(control, step.control, old, old);
    ExpectHolds(companion, step.companion, kOldDep, kOldDep);
    ExpectNothingPendingWrongly(pending, control);

    if (step.control == Holds::kNothing) {
        // A server that is gone cannot unregister itself; installing and uninstalling
        // once more takes the rest away.
        EXPECT_EQ(Uninstall(source), 0);
        EXPECT_EQ(message, "Could not unregister the file " + control + ".\nError loading file.");
        EXPECT_EQ(Install(source), 1) << message;
    }
    EXPECT_EQ(Uninstall(source), 1) << message;
    ExpectControlGone(control, companion);
    ExpectNothingPendingWrongly(pending, control);
    if (holder) holder->End();
    TrackStrays();
}

}  // namespace

TEST_F(KilledSetupTest, KilledCopyLeavesTheOldFileOrTheNewOneAndTheNextInstallWorks)
{
    std::string old = BinFile("fixture_server_2_1_0_4.dll"), source, target;
    ASSERT_NO_FATAL_FAILURE(OldCopyAndAGrownUpdate(&source, &target));

    KillWhileCopying(BinFile("operation_worker.exe"), source);
    EXPECT_TRUE(SameContent(target, old) || SameContent(target, source))
        << "torn: " << SizeOf(target) << " of " << SizeOf(source) << " bytes";

    // The killed setup's lock and its leftover stop nobody.
    ASSERT_EQ(Install(source, 1, 0, 0), 1) << message;
    EXPECT_TRUE(SameContent(target, source));
    auto left = FilesStartingWith(base);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].first, base + ".dll");
    TrackStrays();

    // Then at each later step of an update of a control and its .dep, which another
    // product installed: the worker ends itself right there (see operation_worker.cpp),
    // or its server ends it halfway through registering.
    const std::vector<KilledStep> steps = {
        {"after the copies in place were kept", "--die before MoveFileExA 1", "", Holds::kOld, Holds::kOld},
        {"after the .dep took its name", "--die after MoveFileExA 1", "", Holds::kOld, Holds::kNew},
        {"after the control took its name", "--die after MoveFileExA 2", "", Holds::kNew, Holds::kNew},
        {"while registering", "", ".die", Holds::kNew, Holds::kNew},
        {"after the counts", "--die after RegSetValueExA 2", "", Holds::kNew, Holds::kNew, true},
        {"while the kept copies go", "--die after DeleteFileA 1", "", Holds::kNew, Holds::kNew, true},
        // The registration fails, and the copies that were in place take their names back.
        {"after the control was given back", "--die after MoveFileExA 3", ".fail", Holds::kOld, Holds::kNew},
        {"while the old control registers again", "--die after LoadLibraryExA 2", ".fail", Holds::kOld,
         Holds::kOld},
        // Another program has the old control loaded: it is renamed aside instead, and
        // the name is empty between the two renames.
        {"after the control in use was set aside", "--die after MoveFileExA 2", "", Holds::kNothing, Holds::kNew,
         false, true},
        {"while registering over a control in use", "", ".die", Holds::kNew, Holds::kNew, false, true},
        {"after the control in use was marked", "--die after MoveFileExA 4", "", Holds::kNew, Holds::kNew, true,
         true},
    };
    for (const KilledStep& step : steps) KillInstallAt(step);
    ASSERT_TRUE(Restart());
    for (const std::string& control : controls) {
        EXPECT_EQ(ReadTextFile(control), ReadTextFile(BinFile("fixture_flaky_3_0_0_0.dll"))) << control;
        EXPECT_EQ(ReadTextFile(control.substr(0, control.size() - 4) + ".dep"), kNewDep) << control;
    }
}

TEST_F(KilledSetupTest, KilledUninstallLeavesTheFileOrNothingAndARerunEndsIt)
{
    const std::vector<KilledStep> steps = {
        {"while unregistering", "", ".die", Holds::kOld, Holds::kOld},
        {"after the control's count went", "--die after RegDeleteValueA 1", "", Holds::kOld, Holds::kOld},
        {"after both counts went", "--die after RegDeleteValueA 2", "", Holds::kOld, Holds::kOld},
        {"after the control went", "--die after DeleteFileA 1", "", Holds::kNothing, Holds::kOld},
        {"after the control in use was set aside", "--die after MoveFileExA 1", "", Holds::kNothing, Holds::kOld,
         false, true},
    };
    for (const KilledStep& step : steps) KillUninstallAt(step);
    ASSERT_TRUE(Restart());
    for (const std::string& control : controls) EXPECT_FALSE(FileExists(control)) << control;
}

// A setup killed from outside while its server registers, with another product's
// setup waiting for the lock: that one goes on with what the killed one left, and
// the killed one's rerun then counts its own product.
TEST_F(KilledSetupTest, ASetupKilledWhileRegisteringHandsTheLockToTheNextOne)
{
    std::string target = InSystem(".dll");
    std::string first = Source("fixture_flaky_1_0_0_0.dll", ".dll", false, "first");
    ASSERT_EQ(Install(first), 1) << message;
    std::string update = Source("fixture_flaky_3_0_0_0.dll", ".dll", false, "update");
    std::string other = Source("fixture_flaky_1_0_0_0.dll", ".dll", false, "other");
    std::string pause = Mark(target, ".pause"), paused = target + ".paused";
    Track(paused);
    const std::vector<std::string> pending = PendingDeletions();

    Child updating;
    ASSERT_TRUE(StartWorker("install", update, 1, &updating));
    SetEvent(startEvent);
    for (int waited = 0; waited < 6000 && !FileExists(paused); ++waited) Sleep(10);
    ASSERT_TRUE(FileExists(paused)) << "the update's server never began to register";
    Child waiting;
    ASSERT_TRUE(StartWorker("install", other, 1, &waiting));
    Sleep(200);  // most likely waiting for the lock by now; it must wait either way
    EXPECT_EQ(WaitForSingleObject(waiting.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(EndChild(&updating, 77));
    DeleteFileA(pause.c_str());
    DWORD failures = WaitForChild(&waiting, 60000);
    ResetEvent(startEvent);

    // 3.0 holds the name; the other product found it newer and only counted.
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(VersionOf(target), "3.0.0.0");
    EXPECT_COUNT(target, 2);
    ExpectNothingPendingWrongly(pending, target);
    auto strays = TrackStrays();
    ASSERT_EQ(strays.size(), 1u);
    EXPECT_EQ(ReadTextFile(strays[0]), ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll")));

    EXPECT_EQ(Install(update), 1) << message;
    EXPECT_COUNT(target, 3);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(target, &server));
    EXPECT_EQ(server, target);
    EXPECT_EQ(PendingDeletions(), pending);
}

TEST_F(KilledSetupTest, KilledCopyOn9xAndNt4LeavesTheOldFileOrTheNewOne)
{
    std::string old = BinFile("fixture_server_2_1_0_4.dll"), source, target;
    ASSERT_NO_FATAL_FAILURE(OldCopyAndAGrownUpdate(&source, &target));

    // A 9x setup, which may not call MoveFileExA (see the 9x test below), killed while
    // it copies, and then between its two renames.
    ProgramAsVersion worker("operation_worker.exe", "win98");
    const std::string as9x = "\"" + worker.path + "\" --refuse MoveFileExA 1 ";
    KillWhileCopying(worker.path, source, "--refuse MoveFileExA 1 copy");
    EXPECT_TRUE(SameContent(target, old)) << "torn: " << SizeOf(target) << " of " << SizeOf(source) << " bytes";
    EXPECT_TRUE(TrackStrays().empty());
    EXPECT_EQ(RunProgram("\"" + worker.path + "\" --die after MoveFileA 1 copy \"" + source + "\" 1"), 77u);
    EXPECT_FALSE(FileExists(target));
    auto strays = TrackStrays();
    ASSERT_EQ(strays.size(), 1u);
    EXPECT_TRUE(SameContent(strays[0], old));
    EXPECT_EQ(RunProgram(as9x + "copy \"" + source + "\" 1"), 0u);
    EXPECT_TRUE(SameContent(target, source));
    EXPECT_TRUE(TrackStrays().empty());

    // NT 4.0 has no links: the copy in place is kept as a whole copy of its own.
    ProgramAsVersion nt4("operation_worker.exe", "nt40");
    base = UniqueName("qelkill");
    std::string second = Source("fixture_server_2_1_0_5.dll", ".dll");
    target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));
    EXPECT_EQ(RunProgram("\"" + nt4.path + "\" --die before MoveFileExA 1 copy \"" + second + "\" 1"), 77u);
    EXPECT_TRUE(SameContent(target, old));
    strays = TrackStrays();
    ASSERT_EQ(strays.size(), 1u);
    EXPECT_TRUE(SameContent(strays[0], old));
    EXPECT_EQ(RunProgram("\"" + nt4.path + "\" copy \"" + second + "\" 1"), 0u);
    EXPECT_TRUE(SameContent(target, second));
}
