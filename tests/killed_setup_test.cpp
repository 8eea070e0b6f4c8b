// Setups killed halfway, at each step of an install and an uninstall: the next setup
// on the machine, for any file, puts back what the dead one changed, as if it had
// failed, and its rerun then counts its product once.
#include "installer/call_record.h"
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

    // What a name holds after the next setup: what was there before the dead call
    // (nothing, for a first install), the dead call's new file, or nothing.
    enum class Holds { kOld, kNew, kNothing };
    // Which setup dies: another product's update of a control with its .dep over the
    // 1.0 that a first product installed (on NT, with 1.0 loaded by another program,
    // on 9x, or on NT 4.0), the first product's install, or its uninstall (with 1.0
    // loaded by another program, or not).
    enum class Setup {
        kUpdate, kUpdateInUse, kUpdateOn9x, kUpdateOnNt4, kFirstInstall, kLastUninstall, kLastUninstallInUse
    };
    struct KillPoint {
        const char* name;
        Setup setup;
        std::string die;     // the worker's --die option, if it is the worker that ends itself
        std::string marker;  // ".die": its server ends it while registering; ".fail": the registration fails
        Holds control = Holds::kOld;
        Holds companion = Holds::kOld;
        std::string undoDies = "";  // the next setup's --die option: it dies too, while putting back
    };
    void KillAt(const KillPoint& point);
    void ExpectHolds(const std::string& path, Holds holds, const std::string& old, const std::string& fresh);
    // The product's copy of a control with a .dep of the given text beside it.
    std::string ControlWithDep(const char* fixture, const char* dep, const std::string& folder)
    {
        std::string source = Source(fixture, ".ocx", true, folder);
        WriteTextFile(source.substr(0, source.size() - 4) + ".dep", dep);
        return source;
    }
    // Nothing the restart would delete is under a name of its own or the only copy of
    // what is in place. A mark may name a kept copy that has since taken its name back:
    // the restart then finds nothing there.
    void ExpectNothingPendingWrongly(const std::vector<std::string>& before, const std::string& control);

    std::vector<std::pair<std::string, bool>> controls;  // and whether they were uninstalled
};

bool CallRecordThere()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\qelsetup\\Call in progress", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\" "; }

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
    if (holds == Holds::kNothing || (holds == Holds::kOld && old.empty()))
        EXPECT_FALSE(FileExists(path)) << path;
    else
        EXPECT_TRUE(ReadTextFile(path) == (holds == Holds::kOld ? old : fresh))
            << path << " should hold the " << (holds == Holds::kOld ? "old" : "new") << " copy";
}

void KilledSetupTest::ExpectNothingPendingWrongly(const std::vector<std::string>& before, const std::string& control)
{
    std::string controlName = control.substr(control.find_last_of('\\') + 1);
    for (const std::string& pending : PendingDeletions()) {
        if (std::find(before.begin(), before.end(), pending) != before.end()) continue;
        std::string name = pending.substr(pending.find_last_of('\\') + 1);
        EXPECT_EQ(_strnicmp(name.c_str(), "~ql", 3), 0) << pending;
        std::string here = SystemDir() + "\\" + name;
        EXPECT_FALSE(FileExists(control) && SameContent(here, control)) << pending << " holds what is in place";
        EXPECT_NE(_stricmp(name.c_str(), controlName.c_str()), 0) << pending;
    }
}

void KilledSetupTest::KillAt(const KillPoint& point)
{
    SCOPED_TRACE(point.name);
    base = UniqueName("qelkill");
    const std::string control = InSystem(".ocx"), companion = InSystem(".dep");
    Track(control + ".~ql");
    Track(companion + ".~ql");
    const bool uninstalls = point.setup == Setup::kLastUninstall || point.setup == Setup::kLastUninstallInUse;
    const bool first = point.setup == Setup::kFirstInstall;
    // An uninstall that had taken the control away could not fail any more.
    const bool finished = uninstalls && point.control == Holds::kNothing;
    controls.emplace_back(control, uninstalls);
    const std::string one = ControlWithDep("fixture_flaky_1_0_0_0.dll", kOldDep, "first");
    const std::string three = ControlWithDep("fixture_flaky_3_0_0_0.dll", kNewDep, "second");
    const std::string old = first ? "" : ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll"));
    const std::string fresh = ReadTextFile(BinFile("fixture_flaky_3_0_0_0.dll"));
    const std::string oldDep = first ? "" : kOldDep;
    if (!first) {
        ASSERT_EQ(Install(one), 1) << message;
    }
    std::unique_ptr<HeldElsewhere> holder;
    if (point.setup == Setup::kUpdateInUse || point.setup == Setup::kLastUninstallInUse) {
        holder.reset(new HeldElsewhere("module", control));
        ASSERT_TRUE(holder->active);
    }
    std::unique_ptr<ProgramAsVersion> win98;
    std::string setup = Quoted(BinFile("operation_worker.exe")), rerun = setup;
    if (point.setup == Setup::kUpdateOn9x) {
        win98.reset(new ProgramAsVersion("operation_worker.exe", "win98"));
        setup = Quoted(win98->path);
        rerun = setup + "--refuse MoveFileExA 1 ";
    }
    if (point.setup == Setup::kUpdateOnNt4) {
        win98.reset(new ProgramAsVersion("operation_worker.exe", "nt40"));
        setup = rerun = Quoted(win98->path);
    }
    const std::string call = (uninstalls ? "uninstall \"" + one : "install \"" + three) + "\" 1";
    const std::vector<std::string> pending = PendingDeletions();
    std::string marker = Mark(control, point.marker);
    EXPECT_EQ(RunProgram(setup + point.die + " " + call), 77u);
    if (!marker.empty()) DeleteFileA(marker.c_str());

    // Another product's setup, for a file of its own, puts back what the dead one had
    // changed, or does what a setup that died while doing so left undone.
    std::string other = Source("fixture_server_1_0_0_0.dll", ".dll", false, "other");
    if (!point.undoDies.empty()) {
        EXPECT_EQ(RunProgram(Quoted(BinFile("operation_worker.exe")) + point.undoDies + " raise \"" + other + "\" 1"),
                  77u);
    }
    EXPECT_EQ(Install(other, 0, 0, 1), 1) << message;
    EXPECT_FALSE(CallRecordThere());
    ExpectHolds(control, point.control, old, fresh);
    ExpectHolds(companion, point.companion, oldDep, kNewDep);
    if (first || finished) {
        EXPECT_FALSE(ReadSharedValue(control).exists);
        EXPECT_FALSE(ReadSharedValue(companion).exists);
    } else {
        EXPECT_COUNT(control, 1);
        EXPECT_COUNT(companion, 1);
    }
    std::string server;
    EXPECT_EQ(IsClsidRegistered(control, &server), FileExists(control));
    if (FileExists(control)) {
        EXPECT_EQ(server, control);
        EXPECT_EQ(ReadFixtureRecord(control).event, "register");
    }
    EXPECT_FALSE(FileExists(control + ".~ql") || FileExists(companion + ".~ql"));
    // Only what a program still has loaded waits beside the name, for the restart.
    const std::vector<std::string> marked = PendingDeletions();
    for (const std::string& stray : TrackStrays()) {
        std::string name = stray.substr(stray.find_last_of('\\'));
        EXPECT_TRUE(std::any_of(marked.begin(), marked.end(), [&](const std::string& pendingName) {
            return _stricmp(pendingName.substr(pendingName.find_last_of('\\')).c_str(), name.c_str()) == 0;
        })) << stray << " stays for good";
    }
    ExpectNothingPendingWrongly(pending, control);

    // The rerun counts the product once: on NT in this process, which is quicker where
    // 32-bit programs are emulated. That of a finished uninstall finds nothing left to
    // unregister, as any second uninstall does.
    if (win98)
        EXPECT_EQ(RunProgram(rerun + call), 0u);
    else
        EXPECT_EQ(uninstalls ? Uninstall(one) : Install(three), finished ? 0 : 1) << message;
    if (uninstalls) {
        ExpectControlGone(control, companion);
    } else {
        EXPECT_TRUE(ReadTextFile(control) == fresh);
        EXPECT_EQ(ReadTextFile(companion), kNewDep);
        EXPECT_TRUE(IsClsidRegistered(control, &server));
        EXPECT_EQ(server, control);
        EXPECT_COUNT(control, first ? 1 : 2);
        EXPECT_COUNT(companion, first ? 1 : 2);
    }
    ExpectNothingPendingWrongly(pending, control);
    if (holder) holder->End();
    TrackStrays();
}

}  // namespace

TEST_F(KilledSetupTest, AKilledInstallIsPutBackByTheNextSetupAndItsRerunCountsOnce)
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

    // Then at each later step of an install of a control and its .dep: the worker
    // ends itself right there (see operation_worker.cpp), or its server ends it
    // halfway through registering, having written its entries.
    const Setup update = Setup::kUpdate, inUse = Setup::kUpdateInUse, on9x = Setup::kUpdateOn9x;
    const Setup nt4 = Setup::kUpdateOnNt4, first = Setup::kFirstInstall;
    const Holds was = Holds::kOld, came = Holds::kNew;
    const std::vector<KillPoint> points = {
        {"after the record was written", update, "--die after RegSetValueExA 1", ""},
        {"while the .dep is copied", update, "--die after CopyFileA 1", ""},
        {"after the .dep in place was kept", update, "--die after CreateHardLinkA 1", ""},
        {"after the .dep took its name", update, "--die after MoveFileExA 1", ""},
        {"after the control took its name", update, "--die after MoveFileExA 2", ""},
        {"while registering", update, "", ".die"},
        {"after the control's count", update, "--die after RegSetValueExA 2", ""},
        {"after both counts", update, "--die after RegSetValueExA 3", ""},
        // Its kept copies go once it has succeeded, the .dep's first.
        {"after the .dep's kept copy went", update, "--die after DeleteFileA 1", "", was, came},
        {"after both kept copies went", update, "--die after DeleteFileA 2", "", came, came},
        // The registration fails, and the copies that were in place take their names back.
        {"after the control was given back", update, "--die after MoveFileExA 3", ".fail"},
        {"while the old control registers again", update, "--die after LoadLibraryExA 2", ".fail"},
        // The next setup dies too while it puts the control back, registers it, counts.
        {"and the next one after the control", update, "", ".die", was, was, "--die after MoveFileExA 1"},
        {"and the next one while registering", update, "", ".die", was, was, "--die after LoadLibraryExA 1"},
        // Its first write takes the registration out of the record, before the server is asked.
        {"and the next one after a count", update, "", ".die", was, was, "--die after RegSetValueExA 2"},
        // Another program has the old control loaded: it is renamed aside instead, and
        // the name is empty between the two renames.
        {"after the control in use was set aside", inUse, "--die after MoveFileA 1", ""},
        {"while registering over a control in use", inUse, "", ".die"},
        {"after the control in use was marked", inUse, "--die after MoveFileExA 3", "", was, came},
        // 9x renames every copy aside.
        {"on 9x, between the .dep's renames", on9x, "--die after MoveFileA 1", ""},
        {"on 9x, between the control's renames", on9x, "--die after MoveFileA 3", ""},
        {"on 9x, while registering", on9x, "", ".die"},
        {"on 9x, between the control's renames back", on9x, "--die after MoveFileA 5", ".fail"},
        {"on 9x, between the .dep's renames back", on9x, "--die after MoveFileA 7", ".fail"},
        // NT 4.0 keeps a whole copy of each, made under a name taken first.
        {"on NT 4.0, after the .dep's whole copy", nt4, "--die after CopyFileA 2", ""},
        {"on NT 4.0, before the control's whole copy", nt4, "--die before CopyFileA 4", ""},
        {"on NT 4.0, after the control took its name", nt4, "--die after MoveFileExA 2", ""},
        {"on NT 4.0, after the control was given back", nt4, "--die after MoveFileExA 3", ".fail"},
        // Nothing was in place: what the dead setup put there goes.
        {"first install, after the .dep took its name", first, "--die after MoveFileExA 1", ""},
        {"first install, while registering", first, "", ".die"},
        {"first install, after the counts", first, "--die after RegSetValueExA 3", ""},
    };
    for (const KillPoint& point : points) KillAt(point);
    ASSERT_TRUE(Restart());
    for (const auto& control : controls) {
        EXPECT_TRUE(ReadTextFile(control.first) == ReadTextFile(BinFile("fixture_flaky_3_0_0_0.dll"))) << control.first;
        EXPECT_EQ(ReadTextFile(control.first.substr(0, control.first.size() - 4) + ".dep"), kNewDep) << control.first;
    }
}

TEST_F(KilledSetupTest, AKilledLastUninstallIsPutBackAndItsRerunEndsIt)
{
    const Setup last = Setup::kLastUninstall, inUse = Setup::kLastUninstallInUse;
    const Holds gone = Holds::kNothing;
    const std::vector<KillPoint> points = {
        {"while unregistering", last, "", ".die"},
        {"after the control's count went", last, "--die after RegDeleteValueA 1", ""},
        {"after both counts went", last, "--die after RegDeleteValueA 2", ""},
        // Once the control is gone, the next setup finishes the uninstall.
        {"after the control went", last, "--die after DeleteFileA 1", "", gone, gone},
        {"after the .dep went", last, "--die after DeleteFileA 2", "", gone, gone},
        // Another program has the control loaded: it is renamed away, to go at the restart.
        {"before the control in use was renamed away", inUse, "--die before MoveFileA 1", ""},
        {"after the control in use was renamed away", inUse, "--die after MoveFileA 1", "", gone, gone},
    };
    for (const KillPoint& point : points) KillAt(point);
    ASSERT_TRUE(Restart());
    for (const auto& control : controls) EXPECT_FALSE(FileExists(control.first)) << control.first;
}

// A setup killed from outside while its server registers, with another product's
// setup waiting for the lock: that one first puts back what the killed one changed,
// and the killed one's rerun then counts its own product.
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

    // 1.0 holds the name again; the other product found the same version and counted.
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_COUNT(target, 2);
    EXPECT_TRUE(TrackStrays().empty());

    EXPECT_EQ(Install(update), 1) << message;
    EXPECT_COUNT(target, 3);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(target, &server));
    EXPECT_EQ(server, target);
    EXPECT_EQ(PendingDeletions(), pending);
}

// A server that ends the process whether it registers or unregisters, in a first
// install or a last uninstall: the next setup, which asks it to put its entries back,
// is ended too, once. The one after it puts the files back without asking it again.
TEST_F(KilledSetupTest, AServerThatEndsEverySetupEndsOnlyOneMore)
{
    const std::string worker = Quoted(BinFile("operation_worker.exe"));
    std::string other = Source("fixture_server_1_0_0_0.dll", ".dll", false, "other");
    for (const char* call : {"install", "uninstall"}) {
        SCOPED_TRACE(call);
        base = UniqueName("qelends");
        const bool uninstalls = call[0] == 'u';
        std::string target = InSystem(".dll"), source = Source("fixture_flaky_1_0_0_0.dll", ".dll");
        if (uninstalls) {
            ASSERT_EQ(Install(source), 1) << message;
        }
        std::string marker = Mark(target, ".die");
        EXPECT_EQ(RunProgram(worker + call + " \"" + source + "\" 1"), 77u);
        EXPECT_EQ(RunProgram(worker + "raise \"" + other + "\" 1"), 77u);
        EXPECT_EQ(RunProgram(worker + "raise \"" + other + "\" 1"), 0u);
        DeleteFileA(marker.c_str());
        EXPECT_FALSE(CallRecordThere());
        EXPECT_EQ(FileExists(target), uninstalls);
        EXPECT_EQ(ReadSharedValue(target).exists, uninstalls);
        EXPECT_TRUE(TrackStrays().empty());
    }
    EXPECT_COUNT(other, 2);
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

// What the dead setup changed cannot be put back while another program holds the new
// file open without sharing: the next setup says so, naming the kept copy, and changes
// nothing; the one after it, once the file is let go, puts everything back.
TEST_F(KilledSetupTest, APutBackThatIsHeldUpFailsTheNextSetupUntilTheFileIsLetGo)
{
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(Source("fixture_flaky_1_0_0_0.dll", ".dll", false, "first")), 1) << message;
    std::string update = Source("fixture_flaky_3_0_0_0.dll", ".dll", false, "update");
    std::string marker = Mark(target, ".die");
    EXPECT_EQ(RunProgram(Quoted(BinFile("operation_worker.exe")) + "install \"" + update + "\" 1"), 77u);
    DeleteFileA(marker.c_str());
    std::vector<std::string> kept = TrackStrays();
    ASSERT_EQ(kept.size(), 1u);

    std::string other = Source("fixture_server_1_0_0_0.dll", ".dll", false, "other");
    {
        FileHeldOpen scanner(target);
        ASSERT_NE(scanner.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Install(other, 0, 0, 1), 0);
        EXPECT_EQ(message.rfind("Could not change " + other + ".\nA setup that ended halfway left " + target +
                                    " changed. It cannot be put back while another program holds it (error ",
                                0),
                  0u) << message;
        EXPECT_NE(message.find("); the copy that was in place is kept as " + kept[0] + ". Nothing else was changed.\n"),
                  std::string::npos) << message;
        EXPECT_TRUE(CallRecordThere());
        EXPECT_FALSE(ReadSharedValue(other).exists);
        EXPECT_EQ(VersionOf(kept[0]), "1.0.0.0");
    }
    EXPECT_EQ(Install(other, 0, 0, 1), 1) << message;
    EXPECT_FALSE(CallRecordThere());
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_FALSE(FileExists(kept[0]));
    EXPECT_COUNT(target, 1);
    EXPECT_EQ(Install(update), 1) << message;
    EXPECT_COUNT(target, 2);
}

// A record that an earlier release left, whose whole copy of the file in place has a
// four-digit name: the next setup deletes that copy as its own, and leaves the file.
TEST_F(KilledSetupTest, AWholeCopyNamedByAnEarlierReleaseGoesWithItsRecord)
{
    std::string target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));
    std::string kept = SystemDir() + "\\~qlkAB12.tmp";
    Track(kept);
    ASSERT_TRUE(CopyFileA(target.c_str(), kept.c_str(), TRUE));
    {
        CallRecordKey key;
        char scratch[kMessageBufferForTests] = {};
        ASSERT_EQ(BeginCallRecord(target.c_str(), &key, scratch), 1) << scratch;
        CallRecord record = {};
        RecordFileChange(&record.file, target.c_str(), kept.c_str(), BinFile("fixture_server_2_1_0_5.dll").c_str());
        ASSERT_EQ(WriteCallRecord(key.get(), record, target.c_str(), scratch), 1) << scratch;
        RegCloseKey(key.release());  // as a setup that died leaves it
    }
    std::string other = Source("fixture_server_1_0_0_0.dll", ".dll", false, "other");
    EXPECT_EQ(Install(other, 0, 0, 1), 1) << message;
    EXPECT_FALSE(CallRecordThere());
    EXPECT_FALSE(FileExists(kept));
    EXPECT_TRUE(SameContent(target, BinFile("fixture_server_2_1_0_4.dll")));
}
