// A program for child_process_test, which checks that the programs a test starts
// never outlive it:
//
//   process_tree_probe wait SECONDS    waits that long, then exits 0
//   process_tree_probe spawn FILE      starts "wait 600" as its own child (so in its
//                                      job), writes that child's id to FILE and waits
//   process_tree_probe crash FILE      starts "wait 600" as a test does, writes its id
//                                      to FILE, and dies of an unhandled exception
//
// Exit code 0, or 100 when it could not do its part.
#include "support/child_process.h"
#include "support/test_support.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace qeltest;

namespace {

// Ends the process on an unhandled exception without starting a debugger, as a
// crash does where none is set up.
LONG WINAPI EndWithoutDebugger(EXCEPTION_POINTERS*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

std::string WaitingChildLine()
{
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    return "\"" + std::string(self) + "\" wait 600";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return 100;
    const char* mode = argv[1];
    if (strcmp(mode, "wait") == 0) {
        Sleep(static_cast<DWORD>(atoi(argv[2])) * 1000);
        return 0;
    }
    const std::string idFile = argv[2];
    if (strcmp(mode, "spawn") == 0) {
        std::string line = WaitingChildLine();
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started = {};
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
            return 100;
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        WriteTextFile(idFile, std::to_string(started.dwProcessId));
        Sleep(600000);
        return 0;
    }
    if (strcmp(mode, "crash") == 0) {
        Child waiting;
        if (!StartChild(WaitingChildLine(), &waiting)) return 100;
        WriteTextFile(idFile, std::to_string(waiting.id));
        SetUnhandledExceptionFilter(EndWithoutDebugger);
        // Raised rather than caused: the same exit code on every machine. Nothing
        // after it runs, no destructor included.
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    return 100;
}
