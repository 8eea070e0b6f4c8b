#include "support/setup_processes.h"

#include "common/holders.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace qeltest {

void SetupProcessTest::SetUp()
{
    OperationTest::SetUp();
    startEventName = UniqueName("qelsetup-test-start");
    startEvent = CreateEventA(nullptr, TRUE, FALSE, startEventName.c_str());
    ASSERT_NE(startEvent, nullptr);
    knownStrays = StraysHere();
}

void SetupProcessTest::TearDown()
{
    CloseHandle(startEvent);
    OperationTest::TearDown();
}

bool SetupProcessTest::StartWorker(const std::string& mode, const std::string& file, int times, Child* worker,
                                   std::string program)
{
    if (program.empty()) program = BinFile("operation_worker.exe");
    return StartChild("\"" + program + "\" " + mode + " \"" + file + "\" " + std::to_string(times) + " " +
                          startEventName,
                      worker);
}

DWORD SetupProcessTest::RunTogether(const std::vector<std::pair<std::string, int>>& workers, const std::string& file)
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

ULONGLONG SizeOf(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

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

std::vector<std::string> SetupProcessTest::StraysHere()
{
    std::vector<std::string> names;
    for (const auto& file : FilesStartingWith("~ql"))
        if (file.first.size() > 4 && _stricmp(file.first.c_str() + file.first.size() - 4, ".tmp") == 0)
            names.push_back(SystemDir() + "\\" + file.first);
    return names;
}

std::vector<std::string> SetupProcessTest::TrackStrays()
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

std::string SetupProcessTest::Mark(const std::string& control, const std::string& marker)
{
    if (marker.empty()) return "";
    std::string path = control + marker;
    Track(path);
    WriteTextFile(path, "the setup's server is to end it or fail");
    return path;
}

}  // namespace qeltest
