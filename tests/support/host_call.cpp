#include "support/host_call.h"

namespace qeltest {

HostCallResult CallHostCommand(MexEntryPoint entry, int outputs, const HostArrays& inputs)
{
    std::vector<const mxArray*> arguments;
    for (const HostArrayHolder& input : inputs) arguments.push_back(input.get());
    // At least three slots, so that a call asking for none can still set its status,
    // and one that fills a slot it was not asked for shows.
    std::vector<mxArray*> results(outputs > 3 ? outputs : 3, nullptr);
    char error[4096] = "";
    HostCallResult result;
    result.raised = hostCallMexFunction(entry, outputs, results.data(), static_cast<int>(arguments.size()),
                                        arguments.data(), error, sizeof(error)) != 0;
    HostArrays returned;
    for (mxArray* array : results) returned.emplace_back(array);
    if (result.raised) result.error = error;
    if (returned[0]) {
        result.hasStatus = true;
        result.status = mxGetScalar(returned[0].get());
    }
    if (returned[1]) {
        result.hasMessage = true;
        std::vector<char> text(mxGetN(returned[1].get()) + 1);
        hostGetText(returned[1].get(), text.data(), text.size());
        result.message.assign(text.data());
    }
    if (returned[2]) {
        result.hasRestartNeeded = true;
        result.restartNeeded = mxGetScalar(returned[2].get());
    }
    return result;
}

HostArrays HoldArrays(std::initializer_list<mxArray*> arrays)
{
    HostArrays held;
    for (mxArray* array : arrays) held.emplace_back(array);
    return held;
}

HostArrays CommandInputs(const std::string& command, const std::string& file, double useSystemDir,
                         double doRegistration, double doSharedCount)
{
    return HoldArrays({mxCreateString(command.c_str()), mxCreateString(file.c_str()),
                       mxCreateDoubleScalar(useSystemDir), mxCreateDoubleScalar(doRegistration),
                       mxCreateDoubleScalar(doSharedCount)});
}

}  // namespace qeltest
