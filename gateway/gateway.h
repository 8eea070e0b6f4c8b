#ifndef QELSETUP_GATEWAY_GATEWAY_H
#define QELSETUP_GATEWAY_GATEWAY_H

#include "mex.h"

// The host command qelsetup(command, file, useSystemDir, doRegistration, doSharedCount),
// called with the host's own arguments by the module's mexFunction: the binding's
// (host_binding.cpp) once it has found the host's functions, or sdk_entry.cpp's in a
// build against a host SDK.
void RunHostCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#endif
