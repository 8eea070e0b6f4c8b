// The host's functions, bound when the host calls. Built against our own mex.h, the
// module imports nothing from libmx.dll or libmex.dll, so any program can load it for
// its plain exports (an installer's plugin loader finds only system DLLs). The gateway
// still calls mxIsChar, mexErrMsgTxt ... as mex.h declares them; this unit defines
// those names and forwards each call to the function of the same name in the copy of
// the library that the host has already loaded.
//
// Each call looks its target up again instead of keeping a table: the module keeps no
// state, and two look-ups in the host's module list are nothing beside what an
// operation does with files, the registry and COM.
#include "gateway/gateway.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

const char kLibmx[] = "libmx.dll";
const char kLibmex[] = "libmex.dll";

struct HostFunctionName {
    const char* library;
    const char* name;
};

// Every host function the gateway may call. mexErrMsgTxt comes last: the check below
// reports a missing one through it when it can.
const HostFunctionName kHostFunctions[] = {
    {kLibmx, "mxIsChar"},       {kLibmx, "mxIsDouble"},           {kLibmx, "mxIsEmpty"},
    {kLibmx, "mxGetN"},         {kLibmx, "mxGetScalar"},          {kLibmx, "mxGetString"},
    {kLibmx, "mxCalloc"},       {kLibmx, "mxFree"},               {kLibmx, "mxCreateDoubleScalar"},
    {kLibmx, "mxCreateString"}, {kLibmex, "mexErrMsgTxt"},
};

constexpr int kReportSize = 256;

// Any function's address; cast to its real type only where it is called.
using HostProc = void (*)();

// GetModuleHandleA takes no reference, so there is nothing to release; and it never
// loads anything: a process that is not a host simply has no such module.
HostProc FindHostFunction(const char* library, const char* name)
{
    HMODULE module = GetModuleHandleA(library);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<HostProc>(GetProcAddress(module, name));
}

void FormatUnbound(char* report, const char* library, const char* name)
{
    snprintf(report, kReportSize,
             "qelsetup: the host function %s was not found in a loaded %s; mexFunction "
             "must be called by a host that has loaded libmx.dll and libmex.dll.",
             name, library);
}

// Only reachable when the host unloaded its own library in the middle of a call: there
// is no way back to the host, so say why before stopping.
[[noreturn]] void StopUnbound(const char* library, const char* name)
{
    char report[kReportSize];
    FormatUnbound(report, library, name);
    OutputDebugStringA(report);
    abort();
}

template <typename Function>
Function BindHostFunction(const char* library, const char* name)
{
    HostProc found = FindHostFunction(library, name);
    if (found == nullptr) StopUnbound(library, name);
    return reinterpret_cast<Function>(found);
}

// Checks that the host is really there before the gateway touches any array. When a
// function is missing, says so through the host's error function if that one can be
// found (it does not return); otherwise (the caller is not a host at all) says why to
// a debugger and returns false.
bool HostFunctionsFound()
{
    for (const HostFunctionName& function : kHostFunctions) {
        if (FindHostFunction(function.library, function.name) != nullptr) continue;
        char report[kReportSize];
        FormatUnbound(report, function.library, function.name);
        if (FindHostFunction(kLibmex, "mexErrMsgTxt") != nullptr) mexErrMsgTxt(report);
        OutputDebugStringA(report);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

bool mxIsChar(const mxArray* array)
{
    return BindHostFunction<decltype(&mxIsChar)>(kLibmx, "mxIsChar")(array);
}

bool mxIsDouble(const mxArray* array)
{
    return BindHostFunction<decltype(&mxIsDouble)>(kLibmx, "mxIsDouble")(array);
}

bool mxIsEmpty(const mxArray* array)
{
    return BindHostFunction<decltype(&mxIsEmpty)>(kLibmx, "mxIsEmpty")(array);
}

size_t mxGetN(const mxArray* array)
{
    return BindHostFunction<decltype(&mxGetN)>(kLibmx, "mxGetN")(array);
}

double mxGetScalar(const mxArray* array)
{
    return BindHostFunction<decltype(&mxGetScalar)>(kLibmx, "mxGetScalar")(array);
}

int mxGetString(const mxArray* array, char* buffer, mwSize length)
{
    return BindHostFunction<decltype(&mxGetString)>(kLibmx, "mxGetString")(array, buffer, length);
}

void* mxCalloc(size_t count, size_t size)
{
    return BindHostFunction<decltype(&mxCalloc)>(kLibmx, "mxCalloc")(count, size);
}

void mxFree(void* pointer)
{
    BindHostFunction<decltype(&mxFree)>(kLibmx, "mxFree")(pointer);
}

mxArray* mxCreateDoubleScalar(double value)
{
    return BindHostFunction<decltype(&mxCreateDoubleScalar)>(kLibmx, "mxCreateDoubleScalar")(value);
}

mxArray* mxCreateString(const char* text)
{
    return BindHostFunction<decltype(&mxCreateString)>(kLibmx, "mxCreateString")(text);
}

void mexErrMsgTxt(const char* text)
{
    BindHostFunction<decltype(&mexErrMsgTxt)>(kLibmex, "mexErrMsgTxt")(text);
    // A host's error function does not come back; if one does, the gateway must not
    // go on past its raise.
    abort();
}

// The module's entry. A process that is not a host gets no outputs, and no call to a
// function it lacks.
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    if (!HostFunctionsFound()) return;
    RunHostCommand(nlhs, plhs, nrhs, prhs);
}

} // extern "C"
