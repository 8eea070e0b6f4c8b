#ifndef QELSETUP_TESTS_SETUP_PROCESSES_H
#define QELSETUP_TESTS_SETUP_PROCESSES_H

// Product setups as processes of their own (operation_worker.exe calling the built
// module), for the tests of setups that overlap, wait for each other or die.
#include "support/operation_fixture.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace qeltest {

// The .dep files of the two versions a setup updates between.
constexpr char kOldDep[] = "the .dep of 1.0";
constexpr char kNewDep[] = "the .dep of 3.0";

class SetupProcessTest : public OperationTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts `program` (operation_worker.exe unless named) on `file`; it waits for
    // startEvent before its first call.
    bool StartWorker(const std::string& mode, const std::string& file, int times, Child* worker,
                     std::string program = "");
    // Starts every worker, lets them go at the same moment and returns the sum of
    // their failed calls.
    DWORD RunTogether(const std::vector<std::pair<std::string, int>>& workers, const std::string& file);
    // The copies left under names of their own since the last call, removed at the end.
    std::vector<std::string> TrackStrays();
    static std::vector<std::string> StraysHere();
    // Writes `marker` (".die", ".fail", ".pause") beside the control for the next run.
    std::string Mark(const std::string& control, const std::string& marker);

    std::string startEventName;
    HANDLE startEvent = nullptr;
    std::vector<std::string> knownStrays;  // ~ql*.tmp names seen so far
};

ULONGLONG SizeOf(const std::string& path);
// Appends `bytes` of data, so that copying the file takes a while.
void Grow(const std::string& path, size_t bytes);
// Which file a path names, whatever it holds.
ULONGLONG FileIndexOf(const std::string& path);
bool SameContent(const std::string& a, const std::string& b);
// The files of the system directory whose names start with `prefix`, with their sizes.
std::vector<std::pair<std::string, ULONGLONG>> FilesStartingWith(const std::string& prefix);

}  // namespace qeltest

#endif
