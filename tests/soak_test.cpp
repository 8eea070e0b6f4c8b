// Thousands of install and uninstall cycles in one process. Whatever a single cycle
// fails to give back (a handle, a heap block, a loaded server, an OLE
// initialisation, a host buffer) is too small for a unit test to notice; here it
// adds up until it shows.
#include "support/host_call.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kModuleCycles = 2000;
constexpr int kGatewayCycles = 500;
// The first cycles load what stays loaded for good (OLE's own libraries, the
// registry's cached root keys, the C runtime's buffers): measure after them.
constexpr int kWarmUpCycles = 20;
// The heap keeps freed blocks for reuse and may take a new region when the pattern
// of requests shifts; a real leak of even a few bytes a cycle goes far beyond this.
constexpr SIZE_T kPrivateGrowthBound = 256 * 1024;
// Handle values are multiples of four from 4 upwards, the lowest free one taken
// first; this leaves room for a hundred times the few dozen this program holds.
constexpr ULONG_PTR kHandleProbeLimit = 0x4000;

// Wine 8 answers GetProcessHandleCount with 0, so count the values that name an
// open object.
DWORD CountOpenHandles()
{
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < kHandleProbeLimit; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// Wine 8 leaves PROCESS_MEMORY_COUNTERS_EX.PrivateUsage at 0, so add up the
// committed private regions of the address space.
SIZE_T CommittedPrivateBytes()
{
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    SIZE_T total = 0;
    const char* address = static_cast<const char*>(system.lpMinimumApplicationAddress);
    const char* end = static_cast<const char*>(system.lpMaximumApplicationAddress);
    MEMORY_BASIC_INFORMATION region = {};
    while (address < end && VirtualQuery(address, &region, sizeof(region)) == sizeof(region)) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        address = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    }
    return total;
}

struct ProcessFigures {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    LARGE_INTEGER time = {};
};

ProcessFigures MeasureProcess()
{
    ProcessFigures figures;
    figures.handles = CountOpenHandles();
    figures.privateBytes = CommittedPrivateBytes();
    QueryPerformanceCounter(&figures.time);
    return figures;
}

long long SignedDifference(SIZE_T end, SIZE_T start)
{
    return static_cast<long long>(end) - static_cast<long long>(start);
}

void PrintFigures(const char* what, int cycles, const ProcessFigures& start, const ProcessFigures& end)
{
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);
    double seconds = static_cast<double>(end.time.QuadPart - start.time.QuadPart) / frequency.QuadPart;
    int measured = cycles - kWarmUpCycles;
    printf("[   soak   ] %s: %d cycles, %d measured in %.1f s (%.2f ms a cycle)\n", what, cycles,
           measured, seconds, 1000.0 * seconds / measured);
    printf("[   soak   ] open handles       after cycle %d: %lu, at the end: %lu, growth %+lld\n",
           kWarmUpCycles, static_cast<unsigned long>(start.handles),
           static_cast<unsigned long>(end.handles),
           static_cast<long long>(end.handles) - static_cast<long long>(start.handles));
    printf("[   soak   ] committed private  after cycle %d: %llu KiB, at the end: %llu KiB, "
           "growth %+lld bytes (bound %llu)\n",
           kWarmUpCycles, static_cast<unsigned long long>(start.privateBytes / 1024),
           static_cast<unsigned long long>(end.privateBytes / 1024),
           SignedDifference(end.privateBytes, start.privateBytes),
           static_cast<unsigned long long>(kPrivateGrowthBound));
    fflush(stdout);
}

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        api = qeltest::LoadModuleApi();
        ASSERT_NE(api.module, nullptr) << qeltest::ModulePath();
        ASSERT_NE(api.install, nullptr);
        ASSERT_NE(api.uninstall, nullptr);
        ASSERT_NE(api.mexFunction, nullptr);

        folder = qeltest::MakeTempDir();
        std::string name = qeltest::UniqueName("qelsoak");
        control = folder + "\\" + name + ".ocx";
        companion = folder + "\\" + name + ".dep";
        target = qeltest::SystemDir() + "\\" + name + ".ocx";
        targetCompanion = qeltest::SystemDir() + "\\" + name + ".dep";
        ASSERT_TRUE(qeltest::CopyFixture("fixture_server_1_0_0_0.dll", control));
        qeltest::WriteTextFile(companion, "qelsoak.ocx depends on nothing else\r\n");
    }

    void TearDown() override
    {
        // Whatever a failed run left behind: the machine must not carry it into the
        // next test.
        if (api.module) FreeLibrary(api.module);
        qeltest::RemoveClsid(target);
        qeltest::ClearFixtureRecord(target);
        qeltest::DeleteSharedValue(target);
        qeltest::DeleteSharedValue(targetCompanion);
        DeleteFileA(target.c_str());
        DeleteFileA(targetCompanion.c_str());
        DeleteFileA(control.c_str());
        DeleteFileA(companion.c_str());
        RemoveDirectoryA(folder.c_str());
    }

    void ExpectLeftNothingBehind(const ProcessFigures& start, const ProcessFigures& end)
    {
        EXPECT_EQ(end.handles, start.handles) << "open handles grew";
        EXPECT_LT(SignedDifference(end.privateBytes, start.privateBytes),
                  static_cast<long long>(kPrivateGrowthBound))
            << "committed private memory grew";
        EXPECT_FALSE(qeltest::IsModuleLoaded(target));
        EXPECT_FALSE(qeltest::IsOleInitializedHere());
        EXPECT_EQ(hostOutstandingAllocations(), 0);

        EXPECT_FALSE(qeltest::FileExists(target));
        EXPECT_FALSE(qeltest::FileExists(targetCompanion));
        EXPECT_FALSE(qeltest::ReadSharedValue(target).exists);
        EXPECT_FALSE(qeltest::ReadSharedValue(targetCompanion).exists);
        EXPECT_FALSE(qeltest::IsClsidRegistered(target));
    }

    qeltest::ModuleApi api;
    std::string folder;
    std::string control;
    std::string companion;
    std::string target;
    std::string targetCompanion;
};

// Both figures are home-made; a probe that always answered the same would let every
// leak through, so each must see one handle and one committed block appear.
TEST(SoakProbeTest, SeesOneHandleAndOneBlock)
{
    DWORD handlesBefore = CountOpenHandles();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    DWORD handlesWith = CountOpenHandles();
    CloseHandle(event);
    EXPECT_GT(handlesBefore, 0u);
    EXPECT_EQ(handlesWith, handlesBefore + 1);
    EXPECT_EQ(CountOpenHandles(), handlesBefore);

    constexpr SIZE_T kBlock = 512 * 1024;
    SIZE_T privateBefore = CommittedPrivateBytes();
    void* block = VirtualAlloc(nullptr, kBlock, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(block, nullptr);
    SIZE_T privateWith = CommittedPrivateBytes();
    VirtualFree(block, 0, MEM_RELEASE);
    EXPECT_EQ(privateWith, privateBefore + kBlock);
}

TEST_F(SoakTest, ExportedFunctionsLeaveNothingBehind)
{
    ProcessFigures start;
    for (int cycle = 1; cycle <= kModuleCycles; ++cycle) {
        char message[qeltest::kMessageBufferForTests] = {};
        ASSERT_EQ(api.install(control.c_str(), 1, 1, 1, message), 1) << "cycle " << cycle << ": " << message;
        ASSERT_STREQ(message, "") << "cycle " << cycle;
        ASSERT_FALSE(qeltest::IsModuleLoaded(target)) << "after install, cycle " << cycle;

        ASSERT_EQ(api.uninstall(control.c_str(), 1, 1, 1, message), 1) << "cycle " << cycle << ": " << message;
        ASSERT_STREQ(message, "") << "cycle " << cycle;
        ASSERT_FALSE(qeltest::IsModuleLoaded(target)) << "after uninstall, cycle " << cycle;

        if (cycle == kWarmUpCycles) start = MeasureProcess();
    }
    ProcessFigures end = MeasureProcess();

    PrintFigures("exported functions", kModuleCycles, start, end);
    ExpectLeftNothingBehind(start, end);
}

TEST_F(SoakTest, HostCallsLeaveNothingBehind)
{
    auto entry = reinterpret_cast<MexEntryPoint>(api.mexFunction);
    ProcessFigures start;
    for (int cycle = 1; cycle <= kGatewayCycles; ++cycle) {
        for (const char* command : {"install", "uninstall"}) {
            qeltest::HostCallResult call = qeltest::CallHostCommand(entry, 2, qeltest::CommandInputs(command, control));
            ASSERT_FALSE(call.raised) << command << ", cycle " << cycle << ": " << call.error;
            ASSERT_EQ(call.status, 1) << command << ", cycle " << cycle << ": " << call.message;
            ASSERT_EQ(call.message, "") << command << ", cycle " << cycle;
        }
        ASSERT_EQ(hostOutstandingAllocations(), 0) << "cycle " << cycle;

        if (cycle == kWarmUpCycles) start = MeasureProcess();
    }
    ProcessFigures end = MeasureProcess();

    PrintFigures("host calls", kGatewayCycles, start, end);
    ExpectLeftNothingBehind(start, end);
}

} // namespace
