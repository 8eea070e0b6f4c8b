#include "bench/scenarios.h"

#include "bench/bare_calls.h"
#include "common/holders.h"
#include "installer/operations.h"
#include "installer/shared_count.h"
#include "support/host_call.h"

#include <cstdio>
#include <memory>

namespace qelbench {

void Fail(const char* what, const char* message)
{
    fprintf(stderr, "benchmark: %s failed: %s\n", what, message);
    fflush(stderr);
    ExitProcess(2);
}

ServerFile PrepareServer(const std::string& folder, const char* built, const char* prefix)
{
    ServerFile file;
    std::string name = qeltest::UniqueName(prefix) + ".dll";
    file.source = folder + "\\" + name;
    file.target = qeltest::SystemDir() + "\\" + name;
    if (!qeltest::CopyFixture(built, file.source)) Fail("copying", qeltest::BinFile(built).c_str());
    return file;
}

namespace {

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

} // namespace

Comparison CompareFreshInstall(const qeltest::ModuleApi& api, const ServerFile& file, int iterations)
{
    const char* source = file.source.c_str();
    const char* target = file.target.c_str();
    const std::string temporary = file.target + ".tmp";
    auto module = [&] { Install(api, file); };
    auto bare = [&] {
        bool done = ReadVersionResource(source) && AskSfcBare(target);
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
        bool done = ReadVersionResource(source) && AskSfcBare(target) && ReadVersionResource(target) &&
                    RegisterBare(target) && RaiseCountBare(target);
        if (!done) Fail("the bare re-install", target);
    };
    Comparison comparison = CompareInTurn(iterations, module, bare, [] {});
    RemoveServer(api, file);
    return comparison;
}

namespace {

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

} // namespace

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

namespace {

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

} // namespace

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
        bool done = ReadVersionResource(source) && AskSfcBare(target) && ReadVersionResource(target) &&
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

Comparison CompareKeptUpdate(const qeltest::ModuleApi& api, const ServerFile& file, int iterations)
{
    const char* source = file.source.c_str();
    const char* target = file.target.c_str();
    const std::string temporary = file.target + ".tmp";
    auto reset = [&] {
        if (!qeltest::CopyFixture("fixture_server_2_1_0_4.dll", target)) Fail("the update's reset", target);
    };
    auto module = [&] {
        char message[QEL_MESSAGE_BUFFER_SIZE] = {};
        if (api.install(source, 1, 1, 0, message) != 1) Fail("the update", message);
    };
    auto bare = [&] {
        bool done = ReadVersionResource(source) && AskSfcBare(target) && ReadVersionResource(target) &&
                    CopyFileA(source, temporary.c_str(), FALSE) && FlushBare(temporary.c_str()) &&
                    MoveFileExA(temporary.c_str(), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) &&
                    RegisterBare(target);
        if (!done) Fail("the bare update", target);
    };
    reset();
    Comparison comparison = CompareInTurn(iterations, module, bare, reset);
    RemoveServer(api, file);
    return comparison;
}

Comparison CompareFiftyInHost(const std::vector<ServerFile>& files, const qeltest::ModuleApi& api, int rounds)
{
    auto module = [&] {
        for (const ServerFile& file : files) Install(api, file);
        for (const ServerFile& file : files) Uninstall(api, file);
    };
    auto bare = [&] {
        std::string sfcPath = qeltest::SystemDir() + "\\sfc.dll";
        HMODULE sfc = LoadLibraryA(sfcPath.c_str());
        for (const ServerFile& file : files) {
            const char* target = file.target.c_str();
            const std::string temporary = file.target + ".tmp";
            bool done = ReadVersionResource(file.source.c_str()) && AskSfcBare(target) &&
                        GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES &&
                        CopyFileA(file.source.c_str(), temporary.c_str(), FALSE) && FlushBare(temporary.c_str()) &&
                        MoveFileExA(temporary.c_str(), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) &&
                        RaiseCountBare(target) && RegisterBare(target);
            if (!done) Fail("the bare install of fifty", target);
        }
        for (const ServerFile& file : files) {
            const char* target = file.target.c_str();
            bool done = RemoveCountBare(target) && AskSfcBare(target) && UnregisterBare(target) && DeleteFileA(target);
            if (!done) Fail("the bare uninstall of fifty", target);
        }
        if (sfc) FreeLibrary(sfc);
    };
    // The host's own OLE, for the whole run.
    if (FAILED(OleInitialize(nullptr))) Fail("the host's OleInitialize", "");
    Comparison comparison = CompareInTurn(rounds, module, bare, [] {});
    OleUninitialize();
    return comparison;
}

namespace {

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

} // namespace

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

}  // namespace qelbench
