// The embedded host's error function. A raised error jumps back to the
// hostCallMexFunction frame that made the call, on the same thread, past every
// frame of the module; the module promises that none of them needs cleaning up.
#include "standin_host/host_api.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace {

struct CallFrame {
    jmp_buf resume;
    char* error;
    size_t errorSize;
};

thread_local CallFrame* currentCall = nullptr;

} // namespace

extern "C" {

void mexErrMsgTxt(const char* text)
{
    CallFrame* call = currentCall;
    if (call == nullptr) {
        fprintf(stderr, "host error outside a host call: %s\n", text);
        abort();
    }
    snprintf(call->error, call->errorSize, "%s", text);
    longjmp(call->resume, 1);
}

int hostCallMexFunction(MexEntryPoint entry, int nlhs, mxArray* plhs[], int nrhs,
                        const mxArray* prhs[], char* error, size_t errorSize)
{
    CallFrame call;
    call.error = error;
    call.errorSize = errorSize;
    if (errorSize > 0) error[0] = '\0';
    CallFrame* outer = currentCall;
    currentCall = &call;
    if (setjmp(call.resume) != 0) {
        currentCall = outer;
        return 1;
    }
    entry(nlhs, plhs, nrhs, prhs);
    currentCall = outer;
    return 0;
}
}
