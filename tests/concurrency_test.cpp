// Setups that overlap or die: several processes on one file at once, a copy killed
// halfway, and the machine-wide lock itself. Each worker is a real process
// (operation_worker.exe) calling the built module, as product setups do.
#include "common/holders.h"
#include "installer/operation_lock.h"
#include "installer/operations.h"
#include "support/operation_fixture.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace qeltest;

namespace {

class ConcurrencyTest : public OperationTest {
protected:
    void SetUp() override
    {
        OperationTest::SetUp();
        startEventName = UniqueName("qelsetup-test-start");
        startEvent = CreateEventA(nullptr, TRUE, FALSE, startEventName.c_str());
        ASSERT_NE(startEvent, nullptr);
        knownStrays = StraysHere();
    }
    void TearDown() override
    {
        CloseHandle(startEvent);
        OperationTest::TearDown();
    }

    bool StartWorker(const std::string& mode, const std::string& file, int times, Child* worker,
                     std::string program = "")
    {
        if (program.empty()) program = BinFile("operation_worker.exe");
        return StartChild("\"" + program + "\" " + mode + " \"" + file + "\" " + std::to_string(times) + " " +
                              startEventName,
                          worker);
    }

    // Starts every worker, lets them go at the same moment and returns the sum of
    // their failed calls.
    DWORD RunTogether(const std::vector<std::pair<std::string, int>>& workers, const std::string& file)
    {
        std::vector<std::unique_ptr<Child>> started;
        DWORD failures = 0;
        for (const auto& worker : workers) {
            started.emplace_back(new Child);
            if (!StartWorker(worker.first, file, worker.second, started.back().get())) failures += 100;
        }
        SetEvent(startEvent);
        for (auto& worker : started) {
            DWORD code = WaitForChild(worker.get(), 300000);
            failures += code == kNoExitCode ? 100 : code;
        }
        ResetEvent(startEvent);
        return failures;
    }

    // Starts `program` (an operation_worker) copying `source` over an older copy, and
    // kills it as soon as a file of this test's name in the system directory holds
    // part of the new file: the copy is under way.
    void KillWhileCopying(const std::string& program, const std::string& source, const std::string& mode = "copy");

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
    // Nothing the restart would delete is under a name of its own or the only copy of
    // what is in place.
    void ExpectNothingPendingWrongly(const std::vector<std::string>& before, const std::string& control);
    // The copies left under names of their own since the last call, removed at the end.
    std::vector<std::string> TrackStrays();
    static std::vector<std::string> StraysHere();
    // Writes `marker` (".die", ".fail") beside the control for the killed run.
    std::string Mark(const std::string& control, const std::string& marker);

    std::string startEventName;
    HANDLE startEvent = nullptr;
    std::vector<std::string> controls;     // those the killed steps left, checked after the restart
    std::vector<std::string> knownStrays;  // ~ql*.tmp names seen so far
};

constexpr char kOldDep[] = "the .dep of 1.0";
constexpr char kNewDep[] = "the .dep of 3.0";

using ChangeNotification = std::unique_ptr<HANDLE, Release<HANDLE, FindCloseChangeNotification>>;

ULONGLONG SizeOf(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Appends `bytes` of data, so that copying the file takes a while.
void Grow(const std::string& path, size_t bytes)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    ASSERT_TRUE(file);
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7);
    for (size_t written = 0; written < bytes; written += chunk.size()) {
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &done, nullptr));
    }
}

// Which file a path names, whatever it holds. Not GetFileInformationByHandle: Wine
// asks its mount manager for the volume's serial number there, and the answer comes
// back to this thread as a signal. Under qemu-user, a thread of a 32-bit program that
// takes a signal goes on as the last thread the program started, if that is another
// one (GoogleTest starts one for its per-thread state, the lock tests two), and the
// test hangs or gets the other thread's answers. The file's index alone needs no such
// answer.
ULONGLONG FileIndexOf(const std::string& path)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, 0, nullptr)));
    IO_STATUS_BLOCK status = {};
    FILE_INTERNAL_INFORMATION information = {};
    if (!file || NtQueryInformationFile(file.get(), &status, &information, sizeof(information),
                                        FileInternalInformation) != 0)
        return 0;
    return static_cast<ULONGLONG>(information.IndexNumber.QuadPart);
}

bool SameContent(const std::string& a, const std::string& b)
{
    if (SizeOf(a) != SizeOf(b)) return false;
    HandleHolder first(NullIfInvalid(CreateFileA(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
    HandleHolder second(NullIfInvalid(CreateFileA(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
    if (!first || !second) return false;
    std::vector<char> one(1 << 20), two(1 << 20);
    for (;;) {
        DWORD got1 = 0, got2 = 0;
        if (!ReadFile(first.get(), one.data(), static_cast<DWORD>(one.size()), &got1, nullptr) ||
            !ReadFile(second.get(), two.data(), static_cast<DWORD>(two.size()), &got2, nullptr))
            return false;
        if (got1 != got2 || memcmp(one.data(), two.data(), got1) != 0) return false;
        if (got1 == 0) return true;
    }
}

// The files of the system directory whose names start with `prefix`, with their sizes.
std::vector<std::pair<std::string, ULONGLONG>> FilesStartingWith(const std::string& prefix)
{
    std::vector<std::pair<std::string, ULONGLONG>> found;
    WIN32_FIND_DATAA data = {};
    HANDLE search = FindFirstFileA((SystemDir() + "\\" + prefix + "*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        found.emplace_back(data.cFileName, (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return found;
}

std::vector<std::string> ConcurrencyTest::StraysHere()
{
    std::vector<std::string> names;
    for (const auto& file : FilesStartingWith("~ql"))
        if (file.first.size() > 4 && _stricmp(file.first.c_str() + file.first.size() - 4, ".tmp") == 0)
            names.push_back(SystemDir() + "\\" + file.first);
    return names;
}

std::vector<std::string> ConcurrencyTest::TrackStrays()
{
    std::vector<std::string> found;
    for (const std::string& name : StraysHere()) {
        if (std::find(knownStrays.begin(), knownStrays.end(), name) != knownStrays.end()) continue;
        knownStrays.push_back(name);
        Track(name);
        found.push_back(name);
    }
    return found;
}

void ConcurrencyTest::KillWhileCopying(const std::string& program, const std::string& source,
                                       const std::string& mode)
{
    const ULONGLONG newSize = SizeOf(source);
    std::vector<ULONGLONG> oldSizes;
    for (const auto& file : FilesStartingWith(base)) oldSizes.push_back(file.second);
    ChangeNotification watching(NullIfInvalid(FindFirstChangeNotificationA(
        SystemDir().c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_FILE_NAME)));
    ASSERT_TRUE(watching);
    Child running;
    ASSERT_TRUE(StartWorker(mode, source, 1, &running, program));
    HANDLE change = watching.get(), worker = running.process.get();
    SetEvent(startEvent);
    bool underWay = false;
    while (!underWay && WaitForSingleObject(worker, 0) == WAIT_TIMEOUT) {
        for (const auto& file : FilesStartingWith(base))
            if (file.second > 0 && file.second < newSize &&
                std::find(oldSizes.begin(), oldSizes.end(), file.second) == oldSizes.end())
                underWay = true;
        if (!underWay) {
            HANDLE events[2] = {change, worker};
            WaitForMultipleObjects(2, events, FALSE, 50);
            FindNextChangeNotification(change);
        }
    }
    ResetEvent(startEvent);
    ASSERT_TRUE(underWay) << "the copy ended before it was seen";
    ASSERT_TRUE(EndChild(&running, 77));
}

void ConcurrencyTest::ExpectHolds(const std::string& path, Holds holds, const std::string& old,
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

void ConcurrencyTest::ExpectNothingPendingWrongly(const std::vector<std::string>& before, const std::string& control)
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

std::string ConcurrencyTest::Mark(const std::string& control, const std::string& marker)
{
    if (marker.empty()) return "";
    std::string path = control + marker;
    Track(path);
    WriteTextFile(path, "the setup's server is to end it or fail");
    return path;
}

void ConcurrencyTest::KillInstallAt(const KilledStep& step)
{
    SCOPED_TRACE(std::string("install killed ") + step.name);
    base = UniqueName("qelkill");
    std::string control = InSystem(".ocx"), companion = InSystem(".dep");
    Track(control + ".~ql");
    Track(companion + ".~ql");
    controls.push_back(control);
    const std::string old = ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll"));
    const std::string fresh = ReadTextFile(BinFile("fixture_flaky_3_0_0_0.dll"));
    std::string first = Source("fixture_flaky_1_0_0_0.dll", ".ocx", true, "first");
    WriteTextFile(first.substr(0, first.size() - 4) + ".dep", kOldDep);
    ASSERT_EQ(Install(first), 1) << message;
    std::string second = Source("fixture_flaky_3_0_0_0.dll", ".ocx", true, "second");
    WriteTextFile(second.substr(0, second.size() - 4) + ".dep", kNewDep);
    std::unique_ptr<HeldElsewhere> holder;
    if (step.inUse) {
        holder.reset(new HeldElsewhere("module", control));
        ASSERT_TRUE(holder->active);
    }
    const std::vector<std::string> pending = PendingDeletions();

    std::string marker = Mark(control, step.marker);
    EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\" " + step.die + " install \"" + second + "\" 1"),
              77u);
    if (!marker.empty()) DeleteFileA(marker.c_str());
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

void ConcurrencyTest::KillUninstallAt(const KilledStep& step)
{
    SCOPED_TRACE(std::string("uninstall killed ") + step.name);
    base = UniqueName("qelkill");
    std::string control = InSystem(".ocx"), companion = InSystem(".dep");
    controls.push_back(control);
    const std::string old = ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll"));
    std::string source = Source("fixture_flaky_1_0_0_0.dll", ".ocx", true);
    WriteTextFile(source.substr(0, source.size() - 4) + ".dep", kOldDep);
    ASSERT_EQ(Install(source), 1) << message;
    std::unique_ptr<HeldElsewhere> holder;
    if (step.inUse) {
        holder.reset(new HeldElsewhere("module", control));
        ASSERT_TRUE(holder->active);
    }
    const std::vector<std::string> pending = PendingDeletions();

    std::string marker = Mark(control, step.marker);
    EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\" " + step.die + " uninstall \"" + source +
                         "\" 1"),
              77u);
    if (!marker.empty()) DeleteFileA(marker.c_str());
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
    EXPECT_FALSE(FileExists(control));
    EXPECT_FALSE(FileExists(companion));
    EXPECT_FALSE(ReadSharedValue(control).exists);
    EXPECT_FALSE(ReadSharedValue(companion).exists);
    EXPECT_FALSE(IsClsidRegistered(control));
    ExpectNothingPendingWrongly(pending, control);
    if (holder) holder->End();
    TrackStrays();
}

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
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(FileExists(companion));
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_EQ(ReadSharedValue(companion).count, 1u);
    EXPECT_TRUE(IsClsidRegistered(target));
}

TEST_F(ConcurrencyTest, KilledCopyLeavesTheOldFileOrTheNewOneAndTheNextInstallWorks)
{
    std::string old = BinFile("fixture_server_2_1_0_4.dll");
    std::string source = Source("fixture_server_2_1_0_5.dll", ".dll");
    Grow(source, 300u << 20);
    std::string target = InSystem(".dll");
    Track(target + ".~ql");
    ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));

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
        {"while the kept copies go", "--die after DeleteFileA 3", "", Holds::kNew, Holds::kNew, true},
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

TEST_F(ConcurrencyTest, KilledUninstallLeavesTheFileOrNothingAndARerunEndsIt)
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
TEST_F(ConcurrencyTest, ASetupKilledWhileRegisteringHandsTheLockToTheNextOne)
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

TEST_F(ConcurrencyTest, KilledCopyOn9xAndNt4LeavesTheOldFileOrTheNewOne)
{
    std::string old = BinFile("fixture_server_2_1_0_4.dll");
    std::string source = Source("fixture_server_2_1_0_5.dll", ".dll");
    Grow(source, 300u << 20);
    std::string target = InSystem(".dll");
    Track(target + ".~ql");
    ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));

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

TEST_F(ConcurrencyTest, LockHeldElsewhereTimesOutAndAnAbandonedOneIsTaken)
{
    char buffer[kMessageBufferForTests] = "";
    HANDLE held = nullptr;
    HandleHolder releaseEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HandleHolder takenEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(releaseEvent && takenEvent);
    HANDLE release = releaseEvent.get(), taken = takenEvent.get();
    std::thread holder([&] {
        MutexHolder lock = AcquireOperationLock("holder", 1000, buffer);
        held = lock.get();
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
    });
    WaitForSingleObject(taken, INFINITE);
    if (held == nullptr) {
        // Let the holder end before failing: a joinable thread must not be destroyed.
        SetEvent(release);
        holder.join();
        FAIL() << "the holder could not take the lock: " << buffer;
    }

    char message[kMessageBufferForTests] = "";
    EXPECT_FALSE(AcquireOperationLock("C:\\kit\\Chart.ocx", 2000, message));
    EXPECT_STREQ(message, "Could not change C:\\kit\\Chart.ocx.\nAnother setup has been changing shared "
                          "system files for 2 seconds. Nothing was changed.\n");
    SetEvent(release);
    holder.join();

    // A setup that dies holding the lock leaves it abandoned, not held forever.
    std::thread dying([&] {
        HANDLE lock = AcquireOperationLock("dying", 1000, buffer).release();
        ASSERT_NE(lock, nullptr);
        CloseHandle(lock);  // exits still owning it
    });
    dying.join();
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
