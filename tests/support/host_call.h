#ifndef QELSETUP_TESTS_HOST_CALL_H
#define QELSETUP_TESTS_HOST_CALL_H

// Calling the module's host command through the embedded host, as the tests and the
// tools do: arrays held by HostArrayHolder, results collected and destroyed in one place.
#include "standin_host/host_api.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace qeltest {

using HostArrays = std::vector<HostArrayHolder>;

// What one call of the entry point gave back.
struct HostCallResult {
    bool raised = false;
    std::string error;  // the raised host error's text
    bool hasStatus = false;
    double status = -1;
    bool hasMessage = false;
    std::string message;
    bool hasRestartNeeded = false;
    double restartNeeded = -1;
};

// Calls the entry point with `inputs` (they stay the caller's, so a loop may reuse
// them) asking for `outputs` outputs, and destroys every array it returned.
HostCallResult CallHostCommand(MexEntryPoint entry, int outputs, const HostArrays& inputs);

// Takes over arrays made by hand.
HostArrays HoldArrays(std::initializer_list<mxArray*> arrays);
// The command's usual five inputs: command, file and the three flags.
HostArrays CommandInputs(const std::string& command, const std::string& file, double useSystemDir = 1,
                         double doRegistration = 1, double doSharedCount = 1);

}  // namespace qeltest

#endif
