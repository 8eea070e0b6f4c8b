// One product's setup as a process of its own, for the tests of setups that overlap
// or die: it calls the module's exported operations on one file, again and again.
//
//   operation_worker raise|lower|cycle|copy FILE TIMES [START_EVENT]
//
// raise: installs in place, counting only (0, 0, 1); lower: the matching uninstalls;
// cycle: installs and then uninstalls with every flag, in the system directory;
// copy: installs into the system directory, copying only (1, 0, 0).
// With START_EVENT it first waits for that named event, so that several workers
// start together. Exit code: the number of failed calls (the first message goes to
// stderr), or 100 when the worker could not run.
#include "support/test_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace qeltest;

int main(int argc, char** argv)
{
    if (argc < 4) return 100;
    const char* mode = argv[1];
    const char* file = argv[2];
    int times = atoi(argv[3]);
    ModuleApi api = LoadModuleApi();
    if (!api.install || !api.uninstall) return 100;
    if (argc > 4) {
        HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
        if (start == nullptr || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0) return 100;
        CloseHandle(start);
    }

    int failures = 0;
    auto check = [&](int result, const char* message) {
        if (result == 1) return;
        if (failures++ == 0) fprintf(stderr, "%s %s failed: %s\n", mode, file, message);
    };
    for (int i = 0; i < times; ++i) {
        char message[kMessageBufferForTests] = "";
        if (strcmp(mode, "raise") == 0) {
            check(api.install(file, 0, 0, 1, message), message);
        } else if (strcmp(mode, "lower") == 0) {
            check(api.uninstall(file, 0, 0, 1, message), message);
        } else if (strcmp(mode, "cycle") == 0) {
            check(api.install(file, 1, 1, 1, message), message);
            message[0] = '\0';
            check(api.uninstall(file, 1, 1, 1, message), message);
        } else if (strcmp(mode, "copy") == 0) {
            check(api.install(file, 1, 0, 0, message), message);
        } else {
            return 100;
        }
    }
    FreeLibrary(api.module);
    return failures > 99 ? 99 : failures;
}
