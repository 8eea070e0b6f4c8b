#include "support/child_process.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace qeltest {

namespace {

// How long an ended program, and what it started, may take to be gone.
constexpr DWORD kEndingMilliseconds = 60000;

// A job that ends whatever is in it when its last handle closes.
HANDLE MakeKillOnCloseJob(DWORD* error)
{
    HandleHolder job(CreateJobObjectA(nullptr, nullptr));
    if (!job) {
        *error = GetLastError();
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        *error = GetLastError();
        return nullptr;
    }
    return job.release();
}

// Waits until nothing is left in the job: what the child started may outlive it.
bool WaitForEmptyJob(const Child& child)
{
    const DWORD start = GetTickCount();
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (!QueryInformationJobObject(child.job.get(), JobObjectBasicAccountingInformation, &accounting,
                                       sizeof(accounting), nullptr)) {
            DWORD error = GetLastError();
            ADD_FAILURE() << "cannot ask the job of " << child.commandLine << " what is left in it (error "
                          << error << ")";
            return false;
        }
        if (accounting.ActiveProcesses == 0) return true;
        if (GetTickCount() - start > kEndingMilliseconds) {
            ADD_FAILURE() << accounting.ActiveProcesses << " program(s) started by " << child.commandLine
                          << " did not end within " << kEndingMilliseconds / 1000 << " s of being ended";
            return false;
        }
        Sleep(10);
    }
}

// The longest a test program waits without saying so.
constexpr DWORD kSayingMilliseconds = 15000;

}  // namespace

DWORD WaitSaying(DWORD count, const HANDLE* handles, DWORD milliseconds, const std::string& what)
{
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        DWORD left = spent >= milliseconds ? 0 : milliseconds - spent;
        DWORD waited = WaitForMultipleObjects(count, handles, FALSE, left < kSayingMilliseconds ? left : kSayingMilliseconds);
        if (waited != WAIT_TIMEOUT || left <= kSayingMilliseconds) return waited;
        fprintf(stderr, "[ waiting  ] still waiting for %s, %lu s so far\n", what.c_str(),
                static_cast<unsigned long>((GetTickCount() - start) / 1000));
    }
}

Child::~Child()
{
    EndChild(this);
}

bool StartChild(const std::string& commandLine, Child* child, const std::string& folder, STARTUPINFOA* startup)
{
    child->commandLine = commandLine;
    DWORD error = 0;
    child->job.reset(MakeKillOnCloseJob(&error));
    if (!child->job) {
        ADD_FAILURE() << "cannot make a job for " << commandLine << " (error " << error << ")";
        return false;
    }
    STARTUPINFOA plain = {};
    plain.cb = sizeof(plain);
    PROCESS_INFORMATION started = {};
    std::string line = commandLine;
    // Suspended until it is in the job, so that nothing it starts can escape it.
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, startup != nullptr, CREATE_SUSPENDED, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), startup ? startup : &plain, &started)) {
        error = GetLastError();
        ADD_FAILURE() << "cannot start " << commandLine << " (error " << error << ")";
        return false;
    }
    child->process.reset(started.hProcess);
    HandleHolder thread(started.hThread);
    child->id = started.dwProcessId;
    if (!AssignProcessToJobObject(child->job.get(), child->process.get())) {
        error = GetLastError();
        ADD_FAILURE() << "cannot put " << commandLine << " in a job (error " << error << ")";
        if (!TerminateProcess(child->process.get(), kNoExitCode)) {
            error = GetLastError();
            ADD_FAILURE() << "cannot end the suspended " << commandLine << " (error " << error << ")";
        }
        WaitForSingleObject(child->process.get(), kEndingMilliseconds);
        return false;
    }
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        error = GetLastError();
        ADD_FAILURE() << "cannot let " << commandLine << " run (error " << error << ")";
        EndChild(child);
        return false;
    }
    return true;
}

DWORD WaitForChild(Child* child, DWORD milliseconds)
{
    if (!child->process) return kNoExitCode;
    HANDLE process = child->process.get();
    DWORD waited = WaitSaying(1, &process, milliseconds, child->commandLine + " to end");
    if (waited != WAIT_OBJECT_0) {
        DWORD error = GetLastError();
        if (waited == WAIT_TIMEOUT)
            ADD_FAILURE() << child->commandLine << " did not end within " << milliseconds
                          << " ms, so the test ends it";
        else
            ADD_FAILURE() << "waiting for " << child->commandLine << " failed (WaitForSingleObject returned "
                          << waited << ", error " << error << "), so the test ends it";
        EndChild(child);
        return kNoExitCode;
    }
    DWORD exitCode = kNoExitCode;
    if (!GetExitCodeProcess(child->process.get(), &exitCode)) {
        DWORD error = GetLastError();
        ADD_FAILURE() << "cannot read the exit code of " << child->commandLine << " (error " << error << ")";
        return kNoExitCode;
    }
    return exitCode;
}

bool EndChild(Child* child, DWORD exitCode)
{
    if (!child->job) return true;
    if (!TerminateJobObject(child->job.get(), exitCode)) {
        DWORD error = GetLastError();
        ADD_FAILURE() << "ending " << child->commandLine << " failed (error " << error << ")";
        return false;
    }
    if (child->process) {
        HANDLE process = child->process.get();
        DWORD waited = WaitSaying(1, &process, kEndingMilliseconds, child->commandLine + " to end once ended");
        if (waited != WAIT_OBJECT_0) {
            DWORD error = GetLastError();
            ADD_FAILURE() << child->commandLine << " was ended but did not end within " << kEndingMilliseconds / 1000
                          << " s (WaitForSingleObject returned " << waited << ", error " << error << ")";
            return false;
        }
    }
    return WaitForEmptyJob(*child);
}

DWORD RunProgram(const std::string& commandLine)
{
    Child child;
    if (!StartChild(commandLine, &child)) return kNoExitCode;
    // Two minutes: a 32-bit program started under qemu-user takes seconds, more on
    // a busy machine.
    return WaitForChild(&child, 120000);
}

DWORD RunProgramReading(const std::string& commandLine, std::string* output)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        DWORD error = GetLastError();
        ADD_FAILURE() << "cannot make a pipe for " << commandLine << " (error " << error << ")";
        return kNoExitCode;
    }
    HandleHolder reading(readEnd), writing(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    Child child;
    bool started = StartChild(commandLine, &child, "", &startup);
    writing.reset();
    if (!started) return kNoExitCode;
    // The pipe is only looked into, never waited on, and the wait is for the program:
    // a read that blocks would say nothing if it never came back.
    const DWORD start = GetTickCount();
    for (bool ended = false;;) {
        DWORD ready = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &ready, nullptr)) break;  // closed and drained
        if (ready > 0) {
            char chunk[512];
            DWORD got = 0;
            if (!ReadFile(readEnd, chunk, ready < sizeof(chunk) ? ready : sizeof(chunk), &got, nullptr)) break;
            output->append(chunk, got);
            continue;
        }
        if (ended) break;  // whatever it started may hold the pipe: its output is all there
        if (GetTickCount() - start > 120000) {
            ADD_FAILURE() << commandLine << " did not end within 2 minutes, so the test ends it; its output so far: "
                          << *output;
            EndChild(&child);
            return kNoExitCode;
        }
        ended = WaitForSingleObject(child.process.get(), 50) == WAIT_OBJECT_0;
    }
    return WaitForChild(&child, 60000);
}

HeldElsewhere::HeldElsewhere(const std::string& kind, const std::string& path)
{
    std::string readyName = UniqueName("qelsetup-test-holding");
    std::string doneName = UniqueName("qelsetup-test-held");
    HandleHolder ready(CreateEventA(nullptr, TRUE, FALSE, readyName.c_str()));
    done.reset(CreateEventA(nullptr, TRUE, FALSE, doneName.c_str()));
    if (!ready || !done) {
        DWORD error = GetLastError();
        ADD_FAILURE() << "cannot make the events for holder_process.exe (error " << error << ")";
        return;
    }
    std::string line = "\"" + BinFile("holder_process.exe") + "\" " + kind + " ";
    if (!path.empty()) line += "\"" + path + "\" ";
    line += readyName + " " + doneName;
    if (!StartChild(line, &holder)) return;
    HANDLE waits[2] = {ready.get(), holder.process.get()};
    DWORD waited = WaitSaying(2, waits, 120000, line + " to take hold");
    DWORD error = GetLastError();
    if (waited == WAIT_OBJECT_0) {
        active = true;
    } else if (waited == WAIT_OBJECT_0 + 1) {
        DWORD exitCode = kNoExitCode;
        GetExitCodeProcess(holder.process.get(), &exitCode);
        ADD_FAILURE() << line << " ended without taking hold (exit code " << exitCode << ")";
    } else if (waited == WAIT_TIMEOUT) {
        ADD_FAILURE() << line << " did not take hold within 2 minutes";
    } else {
        ADD_FAILURE() << "waiting for " << line << " to take hold failed (WaitForMultipleObjects returned "
                      << waited << ", error " << error << ")";
    }
}

void HeldElsewhere::End()
{
    if (!done) return;
    SetEvent(done.get());
    done.reset();
    DWORD exitCode = WaitForChild(&holder, 60000);
    if (active && exitCode != 0 && exitCode != kNoExitCode)
        ADD_FAILURE() << holder.commandLine << " ended with exit code " << exitCode;
}

HeldElsewhere::~HeldElsewhere()
{
    End();
}

}  // namespace qeltest
