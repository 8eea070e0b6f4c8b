#ifndef QELSETUP_BENCH_SCENARIOS_H
#define QELSETUP_BENCH_SCENARIOS_H

// The benchmark's scenarios: each times one operation through the module against the
// bare calls of the same unavoidable work, and leaves the machine as it found it.
#include "bench/timing.h"
#include "support/test_support.h"

#include <windows.h>

#include <string>
#include <vector>

namespace qelbench {

constexpr int kOtherCounts = 10000;
// Each copies 50 MB: a few are enough to set the re-install against.
constexpr int kFirstInstalls = 5;

// How many times each scenario samples its two sides.
struct Iterations {
    int freshInstall;
    int reinstall;
    int countRounds;  // each round: one block with the other values, one without
    int countBlock;
    int hostCall;
    int overlapRounds;
    int overlapCycles;  // per worker and file
    int inUseUpdate;
    int keptUpdate;
    int fiftyRounds;
};

// Reports what failed on stderr and ends the benchmark with exit code 2.
void Fail(const char* what, const char* message);

struct ServerFile {
    std::string source;  // a copy under a name of this run, in a folder of its own
    std::string target;  // where system-directory mode puts it
};

// Copies the built server `built` into `folder` under a name of this run.
ServerFile PrepareServer(const std::string& folder, const char* built, const char* prefix);

Comparison CompareFreshInstall(const qeltest::ModuleApi& api, const ServerFile& file, int iterations);

// Also times a few first installs of the same file, copy and registration
// included, into `firstInstalls`.
Comparison CompareReinstall(const qeltest::ModuleApi& api, const ServerFile& file, int iterations,
                            std::vector<double>* firstInstalls);

// A count raised from nothing and lowered to nothing, once through the module's
// functions and once through the same registry calls made bare, each with the key
// full and with it empty.
struct CountFigures {
    Comparison module;  // measured: with the other values; baseline: without
    Comparison bare;
    DWORD valuesBefore = 0;
};

CountFigures CompareCountsInFullKey(const Iterations& iterations);

Comparison CompareHostCall(const qeltest::ModuleApi& api, const ServerFile& file, int iterations);

// An update of the 1 MB server over an older copy that another process has loaded,
// copying only, against the bare calls of the same work: both versions, the copy
// beside the target and its flush, a name of its own for the old copy marked for
// deletion at restart, the old copy renamed to it, the new one moved in.
Comparison CompareInUseUpdate(const qeltest::ModuleApi& api, const ServerFile& file, int iterations);

// An update of the 1 MB server over an older copy with registration, the old copy kept
// under a second name until the update has succeeded, against the bare calls of a
// safe replace: both versions, the copy beside the target and its flush, the rename
// over the old copy, the registration.
Comparison CompareKeptUpdate(const qeltest::ModuleApi& api, const ServerFile& file, int iterations);

// Fifty servers installed and then uninstalled, every flag, in a host that holds OLE
// for the whole run, against the bare calls of a careful installer doing the same (as
// NSIS's InstallLib and UnInstallLib with NOREBOOT_PROTECTED do): each file's version,
// the sfc.dll question (sfc.dll loaded once a run, as an installer keeps it), the copy
// beside the target, its flush and rename, count and registration; then the count's
// removal, the question, the unregistration and the deletion. One sample is one run.
Comparison CompareFiftyInHost(const std::vector<ServerFile>& files, const qeltest::ModuleApi& api, int rounds);

// Four setups at once, each installing and uninstalling a file of its own, against one
// process making the same calls on the four files in turn: what the machine-wide
// lock costs when setups overlap.
Comparison CompareOverlappingSetups(const std::vector<ServerFile>& files, int rounds, int times);

}  // namespace qelbench

#endif
