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
    }
    void TearDown() override
    {
        CloseHandle(startEvent);
        OperationTest::TearDown();
    }

    bool StartWorker(const std::string& mode, const std::string& file, int times, Child* worker)
    {
        return StartChild("\"" + BinFile("operation_worker.exe") + "\" " + mode + " \"" + file + "\" " +
                              std::to_string(times) + " " + startEventName,
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

    std::string startEventName;
    HANDLE startEvent = nullptr;
};

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
    const ULONGLONG oldSize = SizeOf(target), newSize = SizeOf(source);

    // Kill the setup as soon as a file of this name in the system directory holds
    // part of the new file: the copy is under way.
    ChangeNotification watching(NullIfInvalid(FindFirstChangeNotificationA(
        SystemDir().c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_FILE_NAME)));
    ASSERT_TRUE(watching);
    Child running;
    ASSERT_TRUE(StartWorker("copy", source, 1, &running));
    HANDLE change = watching.get(), worker = running.process.get();
    SetEvent(startEvent);
    bool underWay = false;
    while (!underWay && WaitForSingleObject(worker, 0) == WAIT_TIMEOUT) {
        for (const auto& file : FilesStartingWith(base))
            if (file.second > 0 && file.second < newSize && file.second != oldSize) underWay = true;
        if (!underWay) {
            HANDLE events[2] = {change, worker};
            WaitForMultipleObjects(2, events, FALSE, 50);
            FindNextChangeNotification(change);
        }
    }
    ASSERT_TRUE(underWay) << "the copy ended before it was seen";
    ASSERT_TRUE(EndChild(&running, 77));

    EXPECT_TRUE(SameContent(target, old) || SameContent(target, source))
        << "torn: " << SizeOf(target) << " of " << newSize << " bytes";

    // The killed setup's lock and its leftover stop nobody.
    ASSERT_EQ(Install(source, 1, 0, 0), 1) << message;
    EXPECT_TRUE(SameContent(target, source));
    auto left = FilesStartingWith(base);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].first, base + ".dll");
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

TEST_F(ConcurrencyTest, On9xTheLockFallsBackToThePlainNameAndFilesAreCopiedDirectly)
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

    // Nor does it rename (the 9x family has no MoveFileExA): it copies straight over
    // the file in place, which stays the same file.
    std::string target = InSystem(".dll");
    WriteTextFile(target, "an unversioned copy, to be replaced");
    const ULONGLONG before = FileIndexOf(target);
    EXPECT_EQ(RunProgram("\"" + worker.path + "\" copy \"" + file + "\" 1"), 0u);
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_EQ(FileIndexOf(target), before);
    EXPECT_FALSE(FileExists(target + ".~ql"));
    // An NT-family setup, once the name is free, replaces it with a new file.
    squatter.End();
    WriteTextFile(target, "an unversioned copy, to be replaced");
    const ULONGLONG again = FileIndexOf(target);
    EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\" copy \"" + file + "\" 1"), 0u);
    EXPECT_NE(FileIndexOf(target), again);
}
