// What the module costs beyond the work it cannot avoid. Each figure is the median
// time of one operation through the module divided by the median time of the bare
// Win32 calls that do the same unavoidable work, both measured in this run, turn
// about, so that a slower or faster stretch of the machine weighs on both sides.
//
//   benchmark [--quick]
//
// Run it from the build tree's bin folder, with the module, libmx.dll, libmex.dll and
// the two benchmark servers beside it. The exit code is 0 when every ratio is within
// its bound, 1 when one is over, 2 when the benchmark could not run.
#include "common/holders.h"
#include "host/host_api.h"
#include "installer/operations.h"
#include "installer/shared_count.h"
#include "support/host_call.h"
#include "support/test_support.h"

#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kSmallServer[] = "bench_server_1mb.dll";
constexpr char kLargeServer[] = "bench_server_50mb.dll";
constexpr int kOtherCounts = 10000;
// Each copies 50 MB: a few are enough to set the re-install against.
constexpr int kFirstInstalls = 5;

struct Iterations {
    int freshInstall;
    int reinstall;
    int countRounds;  // each round: one block with the other values, one without
    int countBlock;
    int hostCall;
    int overlapRounds;
    int overlapCycles;  // per worker and file
    int inUseUpdate;
};
// Odd counts, so that each median is one real sample.
constexpr Iterations kFull = {201, 501, 21, 51, 1001, 9, 50, 51};
constexpr Iterations kQuick = {11, 21, 2, 11, 21, 3, 10, 5};

double NowInMilliseconds()
{
    static const double ticksPerMillisecond = [] {
        LARGE_INTEGER frequency = {};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMillisecond;
}

template <typename Work>
double TimeOnce(Work work)
{
    double start = NowInMilliseconds();
    work();
    return NowInMilliseconds() - start;
}

// The sample below which `share` of the samples lie: 0.5 is the median.
double Quantile(std::vector<double> samples, double share)
{
    if (samples.empty()) return 0;
    size_t rank = static_cast<size_t>(share * (samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + rank, samples.end());
    return samples[rank];
}

double Median(const std::vector<double>& samples) { return Quantile(samples, 0.5); }

// The two sides of one comparison.
struct Comparison {
    std::vector<double> measured;
    std::vector<double> baseline;
};

double Ratio(const Comparison& comparison)
{
    double baseline = Median(comparison.baseline);
    return baseline > 0 ? Median(comparison.measured) / baseline : 0;
}

// Samples both sides turn about; the side that goes first changes every iteration.
// `reset` runs after each side, outside the timed region.
template <typename Measured, typename Baseline, typename Reset>
Comparison CompareInTurn(int iterations, Measured measured, Baseline baseline, Reset reset)
{
    Comparison comparison;
    for (int i = 0; i < iterations; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((i + turn) % 2 == 0)
                comparison.measured.push_back(TimeOnce(measured));
            else
                comparison.baseline.push_back(TimeOnce(baseline));
            reset();
        }
    }
    return comparison;
}

void PrintSide(const char* side, const std::vector<double>& samples)
{
    printf("    %-50s %8.3f ms   (quartiles %.3f to %.3f)\n", side, Median(samples), Quantile(samples, 0.25),
           Quantile(samples, 0.75));
}

// Prints one comparison and its verdict; returns 1 when the ratio is over its bound.
int Report(const char* what, const char* measuredSide, const char* baselineSide,
           const Comparison& comparison, double bound)
{
    double ratio = Ratio(comparison);
    printf("%s\n", what);
    PrintSide(measuredSide, comparison.measured);
    PrintSide(baselineSide, comparison.baseline);
    printf("    ratio %.3f, bound %.2f: %s   (%zu samples a side)\n", ratio, bound,
           ratio <= bound ? "PASS" : "OVER", comparison.measured.size());
    fflush(stdout);
    return ratio <= bound ? 0 : 1;
}

// Every installer must read a file's version resource this way.
bool ReadVersionResource(const char* path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return false;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoA(path, handle, size, block.data())) return false;
    VS_FIXEDFILEINFO* record = nullptr;
    UINT length = 0;
    return VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&record), &length) != 0;
}

HKEY OpenSharedDlls()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, qeltest::kSharedDllsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// The count's read and write, and nothing else.
bool RaiseCountBare(const char* path)
{
    HKEY key = OpenSharedDlls();
    if (!key) return false;
    DWORD count = 0;
    DWORD length = sizeof(count);
    if (RegQueryValueExA(key, path, nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &length) !=
        ERROR_SUCCESS)
        count = 0;
    ++count;
    LONG written = RegSetValueExA(key, path, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                                  sizeof(count));
    RegCloseKey(key);
    return written == ERROR_SUCCESS;
}

// The read and removal of a count of 1.
bool RemoveCountBare(const char* path)
{
    HKEY key = OpenSharedDlls();
    if (!key) return false;
    DWORD count = 0;
    DWORD length = sizeof(count);
    LONG removed = RegQueryValueExA(key, path, nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &length);
    if (removed == ERROR_SUCCESS) removed = RegDeleteValueA(key, path);
    RegCloseKey(key);
    return removed == ERROR_SUCCESS;
}

typedef HRESULT(STDAPICALLTYPE* ServerEntryPoint)();

// What regsvr32 does, minus its messages.
bool RegisterBare(const char* path)
{
    if (FAILED(OleInitialize(nullptr))) return false;
    bool registered = false;
    HMODULE module = LoadLibraryA(path);
    if (module) {
        auto entry = reinterpret_cast<ServerEntryPoint>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllRegisterServer")));
        registered = entry && SUCCEEDED(entry());
        FreeLibrary(module);
    }
    OleUninitialize();
    return registered;
}

// The new copy's data on disk before a rename names it.
bool FlushBare(const char* path)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    return file && FlushFileBuffers(file.get());
}

void Fail(const char* what, const char* message)
{
    fprintf(stderr, "benchmark: %s failed: %s\n", what, message);
    fflush(stderr);
    ExitProcess(2);
}

struct ServerFile {
    std::string source;  // a copy under a name of this run, in a folder of its own
    std::string target;  // where system-directory mode puts it
};

ServerFile PrepareServer(const std::string& folder, const char* built, const char* prefix)
{
    ServerFile file;
    std::string name = qeltest::UniqueName(prefix) + ".dll";
    file.source = folder + "\\" + name;
    file.target = qeltest::SystemDir() + "\\" + name;
    if (!qeltest::CopyFixture(built, file.source)) Fail("copying", qeltest::BinFile(built).c_str());
    return file;
}

unsigned long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void Install(const qeltest::ModuleApi& api, const ServerFile& file)
{
    char message[QEL_MESSAGE_BUFFER_SIZE] = {};
    if (api.install(file.source.c_str(), 1, 1, 1, message) != 1) Fail("install", message);
}

void Uninstall(const qeltest::ModuleApi& api, const ServerFile& file)
{
    char message[QEL_MESSAGE_BUFFER_SIZE] = {};
    if (api.uninstall(file.source.c_str(), 1, 1, 1, message) != 1) Fail("uninstall", message);
}

// Uninstalls a file whatever count the benchmark left it with.
void RemoveServer(const qeltest::ModuleApi& api, const ServerFile& file)
{
    qeltest::DeleteSharedValue(file.target);
    Uninstall(api, file);
}

Comparison CompareFreshInstall(const qeltest::ModuleApi& api, const ServerFile& file, int iterations)
{
    const char* source = file.source.c_str();
    const char* target = file.target.c_str();
    const std::string temporary = file.target + ".tmp";
    auto module = [&] { Install(api, file); };
    auto bare = [&] {
        bool done = ReadVersionResource(source);
        // The cheapest way to learn there is no version to read: a version query of
        // a missing file costs three times as much under Wine.
        done = done && GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES;
        // A copy that is never seen half written: beside the target, then renamed.
        done = done && CopyFileA(source, temporary.c_str(), FALSE) && FlushBare(temporary.c_str());
        done = done && MoveFileExA(temporary.c_str(), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        done = done && RaiseCountBare(target);
        done = done && RegisterBare(target);
        if (!done) Fail("the bare install", target);
    };
    // Both sides leave the same state behind: the copy, a count of 1, the CLSID key.
    auto reset = [&] { Uninstall(api, file); };
    return CompareInTurn(iterations, module, bare, reset);
}

// Also times a few first installs of the same file, copy and registration
// included, into `firstInstalls`.
Comparison CompareReinstall(const qeltest::ModuleApi& api, const ServerFile& file, int iterations,
                            std::vector<double>* firstInstalls)
{
    const char* source = file.source.c_str();
    const char* target = file.target.c_str();
    for (int i = 0; i < kFirstInstalls; ++i) {
        firstInstalls->push_back(TimeOnce([&] { Install(api, file); }));
        Uninstall(api, file);
    }
    Install(api, file);
    auto module = [&] { Install(api, file); };
    auto bare = [&] {
        bool done = ReadVersionResource(source) && ReadVersionResource(target) && RegisterBare(target) &&
                    RaiseCountBare(target);
        if (!done) Fail("the bare re-install", target);
    };
    Comparison comparison = CompareInTurn(iterations, module, bare, [] {});
    RemoveServer(api, file);
    return comparison;
}

bool SetOtherCounts(bool present)
{
    HKEY key = OpenSharedDlls();
    if (!key) return false;
    bool done = true;
    std::string system = qeltest::SystemDir();
    for (int i = 0; i < kOtherCounts && done; ++i) {
        char name[MAX_PATH] = {};
        snprintf(name, sizeof(name), "%s\\qelbench_other_%05d.dll", system.c_str(), i);
        DWORD count = 1 + i % 3;
        if (present)
            done = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                                  sizeof(count)) == ERROR_SUCCESS;
        else
            RegDeleteValueA(key, name);
    }
    RegCloseKey(key);
    return done;
}

DWORD CountSharedValues()
{
    HKEY key = OpenSharedDlls();
    if (!key) return 0;
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(key);
    return values;
}

// A count raised from nothing and lowered to nothing, once through the module's
// functions and once through the same registry calls made bare, each with the key
// full and with it empty.
struct CountFigures {
    Comparison module;  // measured: with the other values; baseline: without
    Comparison bare;
    DWORD valuesBefore = 0;
};

// The key cannot be full and empty at once, so full and empty take turns by blocks;
// the block that goes first changes every round. Within a block the module and the
// bare calls take turns by iteration.
CountFigures CompareCountsInFullKey(const Iterations& iterations)
{
    std::string path = qeltest::SystemDir() + "\\" + qeltest::UniqueName("qelbench_count") + ".dll";
    auto module = [&] {
        char message[QEL_MESSAGE_BUFFER_SIZE] = {};
        if (IncrementSharedCount(path.c_str(), 0, message) != 1) Fail("IncrementSharedCount", message);
        if (DecrementSharedCount(path.c_str(), message) != 0) Fail("DecrementSharedCount", message);
    };
    auto bare = [&] {
        if (!RaiseCountBare(path.c_str()) || !RemoveCountBare(path.c_str())) Fail("the bare count", path.c_str());
    };

    CountFigures figures;
    figures.valuesBefore = CountSharedValues();
    for (int round = 0; round < iterations.countRounds; ++round) {
        for (int half = 0; half < 2; ++half) {
            bool full = (round + half) % 2 == 0;
            if (full && !SetOtherCounts(true)) Fail("filling SharedDLLs", "RegSetValueExA");
            Comparison block = CompareInTurn(iterations.countBlock, module, bare, [] {});
            std::vector<double>& moduleSide = full ? figures.module.measured : figures.module.baseline;
            std::vector<double>& bareSide = full ? figures.bare.measured : figures.bare.baseline;
            moduleSide.insert(moduleSide.end(), block.measured.begin(), block.measured.end());
            bareSide.insert(bareSide.end(), block.baseline.begin(), block.baseline.end());
            if (full) SetOtherCounts(false);
        }
    }
    return figures;
}

Comparison CompareHostCall(const qeltest::ModuleApi& api, const ServerFile& file, int iterations)
{
    auto entry = reinterpret_cast<MexEntryPoint>(api.mexFunction);
    qeltest::HostArrays inputs = qeltest::CommandInputs("install", file.source);

    Install(api, file);
    // The results are destroyed inside the timed region: a host pays for them too.
    auto host = [&] {
        qeltest::HostCallResult result = qeltest::CallHostCommand(entry, 2, inputs);
        if (result.raised || result.status != 1) Fail("the host call", result.error.c_str());
    };
    auto direct = [&] { Install(api, file); };
    Comparison comparison = CompareInTurn(iterations, host, direct, [] {});
    RemoveServer(api, file);
    return comparison;
}

// Deletes the copies set aside in the system directory that nothing holds any more.
void RemoveSetAsideCopies()
{
    WIN32_FIND_DATAA data = {};
    std::string system = qeltest::SystemDir();
    HANDLE search = FindFirstFileA((system + "\\~ql*.tmp").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileA((system + "\\" + data.cFileName).c_str());
    } while (FindNextFileA(search, &data));
    FindClose(search);
}

// An update of the 1 MB server over an older copy that another process has loaded,
// copying only, against the bare calls of the same work: both versions, the copy
// beside the target and its flush, a name of its own for the old copy marked for
// deletion at restart, the old copy renamed to it, the new one moved in.
Comparison CompareInUseUpdate(const qeltest::ModuleApi& api, const ServerFile& file, int iterations)
{
    const char* source = file.source.c_str();
    const char* target = file.target.c_str();
    const std::string temporary = file.target + ".tmp";
    const std::string system = qeltest::SystemDir();
    std::unique_ptr<qeltest::HeldElsewhere> holder;
    // Outside the timed region: the old copy back in place, loaded by a new holder.
    auto reset = [&] {
        holder.reset();
        RemoveSetAsideCopies();
        if (!qeltest::CopyFixture("fixture_server_2_1_0_4.dll", target)) Fail("the in-use reset", target);
        holder.reset(new qeltest::HeldElsewhere("module", target));
        if (!holder->active) Fail("the in-use reset", "holder_process.exe");
    };
    auto module = [&] {
        char message[QEL_MESSAGE_BUFFER_SIZE] = {};
        if (api.install(source, 1, 0, 0, message) != 1) Fail("the in-use install", message);
    };
    auto bare = [&] {
        char aside[MAX_PATH] = {};
        bool done = ReadVersionResource(source) && ReadVersionResource(target) &&
                    CopyFileA(source, temporary.c_str(), FALSE) && FlushBare(temporary.c_str()) &&
                    GetTempFileNameA(system.c_str(), "~ql", 0, aside) != 0 &&
                    MoveFileExA(aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
                    MoveFileExA(target, aside, MOVEFILE_REPLACE_EXISTING) &&
                    MoveFileExA(temporary.c_str(), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!done) Fail("the bare in-use update", target);
    };
    reset();
    Comparison comparison = CompareInTurn(iterations, module, bare, reset);
    holder.reset();
    RemoveSetAsideCopies();
    DeleteFileA(target);
    return comparison;
}

// Starts one operation_worker per list of files, each to cycle its files `times`
// times, waits until every one is ready, then lets them go together. Returns the
// milliseconds from the start until the last one ended.
double TimeWorkers(const std::vector<std::string>& fileLists, int times)
{
    std::string start = qeltest::UniqueName("qelbench_start"), ready = qeltest::UniqueName("qelbench_ready");
    HandleHolder startEvent(CreateEventA(nullptr, TRUE, FALSE, start.c_str()));
    HandleHolder readySemaphore(CreateSemaphoreA(nullptr, 0, 64, ready.c_str()));
    if (!startEvent || !readySemaphore) Fail("starting workers", "CreateEventA");
    // Each in a job that ends it if the benchmark stops halfway.
    std::vector<std::unique_ptr<qeltest::Child>> workers;
    for (const std::string& files : fileLists) {
        std::string commandLine = "\"" + qeltest::BinFile("operation_worker.exe") + "\" cycle \"" + files +
                                  "\" " + std::to_string(times) + " " + start + " " + ready;
        workers.emplace_back(new qeltest::Child);
        if (!qeltest::StartChild(commandLine, workers.back().get())) Fail("starting a worker", commandLine.c_str());
    }
    for (size_t i = 0; i < workers.size(); ++i)
        if (WaitForSingleObject(readySemaphore.get(), 60000) != WAIT_OBJECT_0) Fail("a worker", "never ready");
    double started = NowInMilliseconds();
    SetEvent(startEvent.get());
    for (auto& worker : workers) {
        if (qeltest::WaitForChild(worker.get(), INFINITE) != 0) Fail("a worker", "some of its calls failed");
    }
    return NowInMilliseconds() - started;
}

// Four setups at once, each installing and uninstalling a file of its own, against one
// process making the same calls on the four files in turn: what the machine-wide
// lock costs when setups overlap.
Comparison CompareOverlappingSetups(const std::vector<ServerFile>& files, int rounds, int times)
{
    std::vector<std::string> apart;
    std::string together;
    for (const ServerFile& file : files) {
        apart.push_back(file.source);
        together += (together.empty() ? "" : "|") + file.source;
    }
    Comparison comparison;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((round + turn) % 2 == 0)
                comparison.measured.push_back(TimeWorkers(apart, times));
            else
                comparison.baseline.push_back(TimeWorkers({together}, times));
        }
    }
    return comparison;
}

const char* WineVersion()
{
    typedef const char*(CDECL * VersionFunction)();
    auto version = reinterpret_cast<VersionFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")));
    return version ? version() : "none (Windows)";
}

} // namespace

int main(int argc, char** argv)
{
    bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    const Iterations& iterations = quick ? kQuick : kFull;

    qeltest::ModuleApi api = qeltest::LoadModuleApi();
    if (!api.module || !api.install || !api.uninstall || !api.mexFunction)
        Fail("loading", qeltest::ModulePath().c_str());

    std::string folder = qeltest::MakeTempDir();
    ServerFile small = PrepareServer(folder, kSmallServer, "qelbench_small");
    ServerFile large = PrepareServer(folder, kLargeServer, "qelbench_large");

    printf("qelsetup benchmark: %d-bit, Wine %s, %s\n", static_cast<int>(sizeof(void*) * 8), WineVersion(),
           quick ? "quick run" : "full run");
    printf("servers of %llu and %llu bytes; medians of the module's side and the bare calls' side,\n"
           "sampled turn about\n\n",
           FileSize(small.source), FileSize(large.source));
    fflush(stdout);

    double started = NowInMilliseconds();
    int over = 0;

    // Settles the file cache, OLE's libraries and the registry's cached keys first.
    CompareFreshInstall(api, small, 3);

    Comparison fresh = CompareFreshInstall(api, small, iterations.freshInstall);
    over += Report("1. fresh install of the 1 MB server: system directory, count, registration",
                   "installQELSystemFiles(file, 1, 1, 1)",
                   "versions, copy, count, OLE + load + DllRegisterServer", fresh, 1.10);
    printf("\n");

    std::vector<double> firstInstalls;
    Comparison reinstall = CompareReinstall(api, large, iterations.reinstall, &firstInstalls);
    over += Report("2. re-install of the unchanged 50 MB server: nothing copied, registered again",
                   "installQELSystemFiles(file, 1, 1, 1)", "versions of both files, registration, count",
                   reinstall, 1.25);
    printf("    re-install / fresh install of the 1 MB server (1. above): %.3f\n",
           Median(reinstall.measured) / Median(fresh.measured));
    printf("    re-install / first install of the same 50 MB server (%.3f ms, median of %d): %.3f\n\n",
           Median(firstInstalls), kFirstInstalls, Median(reinstall.measured) / Median(firstInstalls));

    CountFigures counts = CompareCountsInFullKey(iterations);
    char title[200] = {};
    snprintf(title, sizeof(title),
             "3. raise a count from nothing and lower it away, among %d other values\n"
             "   (the key held %lu value(s) besides)",
             kOtherCounts, static_cast<unsigned long>(counts.valuesBefore));
    over += Report(title, "Increment + DecrementSharedCount, 10,000 others",
                   "Increment + DecrementSharedCount, key empty", counts.module, 2.0);
    printf("    the same registry calls made bare: %.3f ms with the others, %.3f ms without: %.3f\n\n",
           Median(counts.bare.measured), Median(counts.bare.baseline), Ratio(counts.bare));

    Comparison host = CompareHostCall(api, small, iterations.hostCall);
    over += Report("4. a re-install of the 1 MB server through the host, two outputs",
                   "hostCallMexFunction(mexFunction, ...)", "installQELSystemFiles(file, 1, 1, 1)", host,
                   1.05);
    printf("\n");

    std::vector<ServerFile> overlapping;
    for (int i = 0; i < 4; ++i) overlapping.push_back(PrepareServer(folder, kSmallServer, "qelbench_overlap"));
    Comparison overlap = CompareOverlappingSetups(overlapping, iterations.overlapRounds, iterations.overlapCycles);
    char overlapTitle[200] = {};
    snprintf(overlapTitle, sizeof(overlapTitle),
             "5. four setups at once, each installing and uninstalling its own 1 MB server %d times,\n"
             "   against one setup doing the same calls on the four servers in turn",
             iterations.overlapCycles);
    over += Report(overlapTitle, "4 processes at once (wall time)", "1 process, 4 servers in turn", overlap,
                   1.25);
    printf("\n");
    for (const ServerFile& file : overlapping) DeleteFileA(file.source.c_str());

    Comparison inUse = CompareInUseUpdate(api, small, iterations.inUseUpdate);
    over += Report("6. update of the 1 MB server over an older copy another process has loaded, copying only",
                   "installQELSystemFiles(file, 1, 0, 0)",
                   "versions, copy + flush, mark, rename aside, move in", inUse, 1.25);
    printf("\n");

    printf("run time %.1f s; %d of 6 ratios over their bound\n", (NowInMilliseconds() - started) / 1000.0,
           over);
    fflush(stdout);

    DeleteFileA(small.source.c_str());
    DeleteFileA(large.source.c_str());
    RemoveDirectoryA(folder.c_str());
    FreeLibrary(api.module);
    return over == 0 ? 0 : 1;
}
