// What the module costs beyond the work it cannot avoid. Each figure is the median
// time of one operation through the module divided by the median time of the bare
// Win32 calls that do the same unavoidable work, both measured in this run, turn
// about, so that a slower or faster stretch of the machine weighs on both sides.
//
//   benchmark [--quick] [--only N,N...]
//
// --only runs the figures listed and no other: paired runs of one figure against
// two builds of the module take minutes instead of the whole run's half hour.
// Run it from the build tree's bin folder, with the module, libmx.dll, libmex.dll and
// the two benchmark servers beside it. The exit code is 0 when every ratio is within
// its bound, 1 when one is over, 2 when the benchmark could not run.
#include "bench/scenarios.h"
#include "bench/timing.h"
#include "support/test_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qelbench;

namespace {

constexpr char kSmallServer[] = "bench_server_1mb.dll";
constexpr char kLargeServer[] = "bench_server_50mb.dll";
constexpr int kFiftyServers = 50;
constexpr int kFigures = 8;

// Odd counts, so that each median is one real sample.
constexpr Iterations kFull = {201, 501, 21, 51, 1001, 9, 50, 51, 101, 21};
constexpr Iterations kQuick = {11, 21, 2, 11, 21, 3, 10, 5, 11, 3};

unsigned long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// "1,7,8": the figures to run, marked in `wanted` (kFigures + 1 entries). Returns
// false when the list names none, or anything but figures.
bool NameFigures(const char* list, bool* wanted)
{
    bool any = false;
    for (const char* at = list; *at != '\0';) {
        char* end = nullptr;
        long figure = strtol(at, &end, 10);
        if (end == at || figure < 1 || figure > kFigures || (*end != ',' && *end != '\0')) return false;
        wanted[figure] = any = true;
        at = *end == ',' ? end + 1 : end;
    }
    return any;
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
    bool quick = false;
    bool wanted[kFigures + 1] = {};
    bool anyNamed = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            anyNamed = NameFigures(argv[++i], wanted);
            if (!anyNamed) Fail("reading the figures of --only", argv[i]);
        } else {
            Fail("reading the command line: usage benchmark [--quick] [--only N,N...]", argv[i]);
        }
    }
    if (!anyNamed)
        for (bool& figure : wanted) figure = true;
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

    Comparison fresh = {};
    if (wanted[1]) {
        fresh = CompareFreshInstall(api, small, iterations.freshInstall);
        over += Report("1. fresh install of the 1 MB server: system directory, count, registration",
                   "installQELSystemFiles(file, 1, 1, 1)",
                   "versions, sfc, copy, count, OLE + load + DllRegisterServer", fresh, 1.10);
        printf("\n");
    }

    if (wanted[2]) {
        std::vector<double> firstInstalls;
        Comparison reinstall = CompareReinstall(api, large, iterations.reinstall, &firstInstalls);
        over += Report("2. re-install of the unchanged 50 MB server: nothing copied, registered again",
                   "installQELSystemFiles(file, 1, 1, 1)", "versions of both files, sfc, registration, count",
                   reinstall, 1.25);
        if (wanted[1])
            printf("    re-install / fresh install of the 1 MB server (1. above): %.3f\n",
                   Median(reinstall.measured) / Median(fresh.measured));
        printf("    re-install / first install of the same 50 MB server (%.3f ms, median of %d): %.3f\n\n",
               Median(firstInstalls), kFirstInstalls, Median(reinstall.measured) / Median(firstInstalls));
    }

    if (wanted[3]) {
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
    }

    if (wanted[4]) {
        Comparison host = CompareHostCall(api, small, iterations.hostCall);
        over += Report("4. a re-install of the 1 MB server through the host, two outputs",
                       "hostCallMexFunction(mexFunction, ...)", "installQELSystemFiles(file, 1, 1, 1)", host,
                       1.05);
        printf("\n");
    }

    if (wanted[5]) {
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
    }

    if (wanted[6]) {
        Comparison inUse = CompareInUseUpdate(api, small, iterations.inUseUpdate);
        over += Report("6. update of the 1 MB server over an older copy another process has loaded, copying only",
                       "installQELSystemFiles(file, 1, 0, 0)",
                       "versions, sfc, copy + flush, mark, rename aside, move in", inUse, 1.25);
        printf("\n");
    }

    if (wanted[7]) {
        Comparison kept = CompareKeptUpdate(api, small, iterations.keptUpdate);
        over += Report("7. update of the 1 MB server over an older copy, registering, the old copy kept until success",
                       "installQELSystemFiles(file, 1, 1, 0)", "versions, sfc, copy + flush, rename over, registration",
                       kept, 1.15);
        printf("\n");
    }

    if (wanted[8]) {
        std::vector<ServerFile> fifty;
        for (int i = 0; i < kFiftyServers; ++i) fifty.push_back(PrepareServer(folder, kSmallServer, "qelbench_fifty"));
        Comparison fiftyInHost = CompareFiftyInHost(fifty, api, iterations.fiftyRounds);
        over += Report("8. fifty 1 MB servers installed, then uninstalled, every flag, in a host that holds OLE",
                       "50 x installQELSystemFiles + 50 x uninstallQELSystemFiles (1, 1, 1)",
                       "versions, sfc (kept loaded), copy, count, registration; count, sfc, unregistration, delete",
                       fiftyInHost, 1.20);
        printf("\n");
        for (const ServerFile& file : fifty) DeleteFileA(file.source.c_str());
    }

    int run = 0;
    for (int figure = 1; figure <= kFigures; ++figure) run += wanted[figure] ? 1 : 0;
    printf("run time %.1f s; %d of %d ratios over their bound\n", (NowInMilliseconds() - started) / 1000.0,
           over, run);
    fflush(stdout);

    DeleteFileA(small.source.c_str());
    DeleteFileA(large.source.c_str());
    RemoveDirectoryA(folder.c_str());
    FreeLibrary(api.module);
    return over == 0 ? 0 : 1;
}
