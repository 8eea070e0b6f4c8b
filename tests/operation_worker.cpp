// One product's setup as a process of its own, for the tests of setups that overlap
// or die: it calls the module's exported operations on one file, again and again.
//
//   operation_worker raise|lower|cycle|copy FILES TIMES [START_EVENT [READY_SEMAPHORE]]
//
// FILES is one path, or several joined by '|' (which no Windows path holds); each
// round treats every one of them in turn.
// raise: installs in place, counting only (0, 0, 1); lower: the matching uninstalls;
// cycle: installs and then uninstalls with every flag, in the system directory;
// copy: installs into the system directory, copying only (1, 0, 0).
// With START_EVENT it first waits for that named event, so that several workers
// start together; with READY_SEMAPHORE it says it is ready to go by releasing that
// semaphore once, so that a benchmark times the work and not the start-up. Exit code: the number of failed calls (the first message goes to
// stderr), or 100 when the worker could not run.
#include "support/test_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qeltest;

namespace {

// One round on one file; returns the number of failed calls, or -1 for an unknown mode.
int RunRound(const ModuleApi& api, const char* mode, const char* file)
{
    char message[kMessageBufferForTests] = "";
    int results[2] = {1, 1};
    if (strcmp(mode, "raise") == 0) {
        results[0] = api.install(file, 0, 0, 1, message);
    } else if (strcmp(mode, "lower") == 0) {
        results[0] = api.uninstall(file, 0, 0, 1, message);
    } else if (strcmp(mode, "cycle") == 0) {
        results[0] = api.install(file, 1, 1, 1, message);
        if (results[0] == 1) results[1] = api.uninstall(file, 1, 1, 1, message);
    } else if (strcmp(mode, "copy") == 0) {
        results[0] = api.install(file, 1, 0, 0, message);
    } else {
        return -1;
    }
    int failed = (results[0] != 1) + (results[1] != 1);
    if (failed) fprintf(stderr, "%s %s failed: %s\n", mode, file, message);
    return failed;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) return 100;
    const char* mode = argv[1];
    std::vector<std::string> files;
    for (const char* part = argv[2];; ++part) {
        const char* end = strchr(part, '|');
        files.emplace_back(part, end ? static_cast<size_t>(end - part) : strlen(part));
        if (!end) break;
        part = end;
    }
    int times = atoi(argv[3]);
    ModuleApi api = LoadModuleApi();
    if (!api.install || !api.uninstall) return 100;
    if (argc > 5) {
        HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[5]);
        if (ready == nullptr || !ReleaseSemaphore(ready, 1, nullptr)) return 100;
        CloseHandle(ready);
    }
    if (argc > 4) {
        HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
        if (start == nullptr || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0) return 100;
        CloseHandle(start);
    }

    int failures = 0;
    for (int i = 0; i < times; ++i) {
        for (const std::string& file : files) {
            int failed = RunRound(api, mode, file.c_str());
            if (failed < 0) return 100;
            failures += failed;
        }
    }
    FreeLibrary(api.module);
    return failures > 99 ? 99 : failures;
}
