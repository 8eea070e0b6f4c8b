// The host's functions, bound when the host calls. Built against our own mex.h, the
// module imports nothing from libmx.dll or libmex.dll, so any program can load it for
// its plain exports (an installer's plugin loader finds only system DLLs). The gateway
// still calls mxIsChar, mexErrMsgTxt ... as mex.h declares them; this unit defines
// those names and forwards each call to the function of the same name in the copy of
// the library that the host has already loaded.
//
// Each call looks its target up again instead of keeping its address: the module
// keeps no state, and two look-ups in the host's module list are nothing beside what
// an operation does with files, the registry and COM.
#include "gateway/gateway.h"
#include "gateway/hostapi/host_functions.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

// One entry per host function, in the list's order. A forwarder names its function
// here, so a function missing from the list stops the build; and the gateway's call
// to a function the list names without a forwarder finds no definition when linked.
enum class HostFunction {
#define QEL_HOST_FUNCTION_ENTRY(library, name) name,
    QEL_HOST_FUNCTIONS(QEL_HOST_FUNCTION_ENTRY)
#undef QEL_HOST_FUNCTION_ENTRY
};

struct HostFunctionName {
    const char* library;
    const char* name;
};

const HostFunctionName kHostFunctions[] = {
#define QEL_HOST_FUNCTION_NAME(library, name) {#library ".dll", #name},
    QEL_HOST_FUNCTIONS(QEL_HOST_FUNCTION_NAME)
#undef QEL_HOST_FUNCTION_NAME
};

const HostFunctionName& NameOf(HostFunction function)
{
    return kHostFunctions[static_cast<int>(function)];
}

constexpr int kReportSize = 256;

// Any function's address; cast to its real type only where it is called.
using HostProc = void (*)();

// GetModuleHandleA takes no reference, so there is nothing to release; and it never
// loads anything: a process that is not a host simply has no such module.
HostProc FindHostFunction(const HostFunctionName& function)
{
    HMODULE module = GetModuleHandleA(function.library);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<HostProc>(GetProcAddress(module, function.name));
}

void FormatUnbound(char* report, const HostFunctionName& function)
{
    snprintf(report, kReportSize,
             "qelsetup: the host function %s was not found in a loaded %s; mexFunction "
             "must be called by a host that has loaded libmx.dll and libmex.dll.",
             function.name, function.library);
}

// Only reachable when the host unloaded its own library in the middle of a call: there
// is no way back to the host, so say why before stopping.
[[noreturn]] void StopUnbound(const HostFunctionName& function)
{
    char report[kReportSize];
    FormatUnbound(report, function);
    OutputDebugStringA(report);
    abort();
}

template <typename Function>
Function BindHostFunction(HostFunction function)
{
    HostProc found = FindHostFunction(NameOf(function));
    if (found == nullptr) StopUnbound(NameOf(function));
    return reinterpret_cast<Function>(found);
}

// The host's function of this name, with the type mex.h gives it.
#define QEL_BOUND(name) BindHostFunction<decltype(&name)>(HostFunction::name)

// Checks that the host is really there before the gateway touches any array. When a
// function is missing, says so through the host's error function if that one can be
// found (it does not return); otherwise (the caller is not a host at all) says why to
// a debugger and returns false.
bool HostFunctionsFound()
{
    for (const HostFunctionName& function : kHostFunctions) {
        if (FindHostFunction(function) != nullptr) continue;
        char report[kReportSize];
        FormatUnbound(report, function);
        if (FindHostFunction(NameOf(HostFunction::mexErrMsgTxt)) != nullptr) mexErrMsgTxt(report);
        OutputDebugStringA(report);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

bool mxIsChar(const mxArray* array)
{
    return QEL_BOUND(mxIsChar)(array);
}

bool mxIsDouble(const mxArray* array)
{
    return QEL_BOUND(mxIsDouble)(array);
}

bool mxIsEmpty(const mxArray* array)
{
    return QEL_BOUND(mxIsEmpty)(array);
}

size_t mxGetN(const mxArray* array)
{
    return QEL_BOUND(mxGetN)(array);
}

double mxGetScalar(const mxArray* array)
{
    return QEL_BOUND(mxGetScalar)(array);
}

int mxGetString(const mxArray* array, char* buffer, mwSize length)
{
    return QEL_BOUND(mxGetString)(array, buffer, length);
}

void* mxCalloc(size_t count, size_t size)
{
    return QEL_BOUND(mxCalloc)(count, size);
}

void mxFree(void* pointer)
{
    QEL_BOUND(mxFree)(pointer);
}

mxArray* mxCreateDoubleScalar(double value)
{
    return QEL_BOUND(mxCreateDoubleScalar)(value);
}

mxArray* mxCreateString(const char* text)
{
    return QEL_BOUND(mxCreateString)(text);
}

void mexErrMsgTxt(const char* text)
{
    QEL_BOUND(mexErrMsgTxt)(text);
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
