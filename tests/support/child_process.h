#ifndef QELSETUP_TESTS_CHILD_PROCESS_H
#define QELSETUP_TESTS_CHILD_PROCESS_H

// The programs that tests start. None outlives its test: each runs in a job of its
// own that ends it, and everything it starts in turn, when the job's last handle
// closes. That is when its record goes, on every path out of the test, or when the
// test program itself ends, however it ends (Wine honours
// JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, under qemu-user too). A wait or an ending that
// fails is reported as a test failure with its error.
#include "common/holders.h"

#include <windows.h>

#include <string>

namespace qeltest {

// The exit code that RunProgram and WaitForChild return when there is none, and the
// one a program ended by its test gets.
constexpr DWORD kNoExitCode = 0xFFFFFFFF;

// A started program. It is ended, and waited for, when the record goes.
struct Child {
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
    std::string commandLine;
    HandleHolder job;
    HandleHolder process;
    DWORD id = 0;
};

// Starts `commandLine` as `child`, in `folder` when one is given, and with the
// handles of `startup` (which it inherits) when that is given. Reports a failure
// naming the command line and the error, and returns false, when it cannot.
bool StartChild(const std::string& commandLine, Child* child, const std::string& folder = "",
                STARTUPINFOA* startup = nullptr);
// Waits up to `milliseconds` for the child to end and returns its exit code. A child
// that has not ended by then, or a wait that fails, is reported and ended, and the
// result is kNoExitCode.
DWORD WaitForChild(Child* child, DWORD milliseconds);
// Ends the child and whatever it started with `exitCode`, and waits until they have
// ended. Reports a failure with its error, and returns false, when it cannot.
bool EndChild(Child* child, DWORD exitCode = kNoExitCode);

// Runs a command line and returns its exit code once it ends, or kNoExitCode when it
// could not start or did not end within two minutes (both reported).
DWORD RunProgram(const std::string& commandLine);
// The same, with what the program writes to its standard output and error appended
// to `output`, read from a pipe as it comes.
DWORD RunProgramReading(const std::string& commandLine, std::string* output);

// WaitForMultipleObjects (any one of them) for up to `milliseconds`, which says on
// the standard error, every 15 s it goes on, that it is still waiting for `what`: a
// test that ctest ends for taking too long has then said what it was waiting for.
DWORD WaitSaying(DWORD count, const HANDLE* handles, DWORD milliseconds, const std::string& what);

// While alive, holder_process.exe holds something (see tests/holder_process.cpp):
// HeldElsewhere("event"), HeldElsewhere("closed-mutex"), HeldElsewhere("module", path).
struct HeldElsewhere {
    explicit HeldElsewhere(const std::string& kind, const std::string& path = "");
    ~HeldElsewhere();
    void End();  // lets the holder go, and waits until it has
    HandleHolder done;
    Child holder;
    bool active = false;
};

}  // namespace qeltest

#endif
