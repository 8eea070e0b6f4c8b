// The module's mexFunction when built against a host SDK. The module then imports the
// host's libraries in the ordinary way, so only a host can load it and there is
// nothing to find before the gateway runs.
#include "gateway/gateway.h"

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    RunHostCommand(nlhs, plhs, nrhs, prhs);
}
