// The host command [status, message, restartNeeded] = qelsetup(command, file,
// useSystemDir, doRegistration, doSharedCount). This unit knows the host's array
// interface and nothing of Win32.
//
// mexErrMsgTxt does not return: the host unwinds past this frame. So every raise goes
// through Raise, which first gives back the buffers taken from the host, and nothing
// here owns anything that would need a destructor.
#include "gateway/gateway.h"

#include "installer/operations.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The host command's own buffer. Every operation's message fits in the
// QEL_MESSAGE_BUFFER_SIZE bytes it promises its callers; this one has room to spare.
constexpr int kGatewayMessageSize = 2 * QEL_MESSAGE_BUFFER_SIZE;

const char kBadCommand[] = "Incorrect input.\nFirst input must be either 'install' or 'uninstall'.";
const char kBadFile[] = "Incorrect input.\nSecond input must be a file name.";
const char* const kBadFlag[3] = {
    "Incorrect input.\nThird input must be either 1 or 0.",
    "Incorrect input.\nFourth input must be either 1 or 0.",
    "Incorrect input.\nFifth input must be either 1 or 0.",
};

// Inputs 3 to 5: a double whose (first) value is exactly 0 or 1; NaN is neither.
// An empty array has no first value: hosts either read it as 0 or raise an error of
// their own, and 0 for the count flag would remove a file others still use.
// Returns the flag, or -1 when the input is not acceptable.
int ReadFlag(const mxArray* input)
{
    if (!mxIsDouble(input) || mxIsEmpty(input)) return -1;
    double value = mxGetScalar(input);
    if (value == 0.0) return 0;
    if (value == 1.0) return 1;
    return -1;
}

// A buffer of (columns + 1) zeroed bytes from the host's allocator, holding the
// input's text; a text of several rows is cut to its column count, and so is one whose
// characters take more than a byte each in the system code page. *cut says whether
// mxGetString had to cut it.
char* ReadText(const mxArray* input, int* cut)
{
    mwSize length = mxGetN(input) + 1;
    char* text = static_cast<char*>(mxCalloc(length, 1));
    *cut = mxGetString(input, text, length) != 0;
    return text;
}

// The one way out with an error: the buffers read so far (null when not yet read)
// go back to the host, then the host raises `error`.
[[noreturn]] void Raise(char* command, char* file, const char* error)
{
    mxFree(command);
    mxFree(file);
    mexErrMsgTxt(error);
    // A host SDK's mex.h need not say that mexErrMsgTxt never returns.
    abort();
}

} // namespace

void RunHostCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    char message[kGatewayMessageSize];
    memset(message, 0, sizeof(message));
    int status = 0;
    int restartNeeded = 0;

    char* command = nullptr;
    char* file = nullptr;

    if (nrhs != 5) Raise(command, file, "Incorrect number of input arguments.");
    if (nlhs > 3) Raise(command, file, "Incorrect number of output arguments.");

    if (!mxIsChar(prhs[0])) Raise(command, file, kBadCommand);
    int cut = 0;
    command = ReadText(prhs[0], &cut);

    if (!mxIsChar(prhs[1])) Raise(command, file, kBadFile);
    file = ReadText(prhs[1], &cut);
    // Shortened, the name would be another file's, and so would its count.
    if (cut) Raise(command, file, kBadFile);

    int flags[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        flags[i] = ReadFlag(prhs[2 + i]);
        if (flags[i] == -1) Raise(command, file, kBadFlag[i]);
    }

    if (_stricmp(command, "install") == 0) {
        status = installQELSystemFilesEx(file, flags[0], flags[1], flags[2], message, &restartNeeded);
    } else if (_stricmp(command, "uninstall") == 0) {
        status = uninstallQELSystemFilesEx(file, flags[0], flags[1], flags[2], message, &restartNeeded);
    } else {
        Raise(command, file, kBadCommand);
    }

    plhs[0] = mxCreateDoubleScalar(status);
    // A caller who asks for the message checks the status itself: no host error then.
    if (nlhs >= 2) {
        plhs[1] = mxCreateString(message);
    } else if (status == 0) {
        Raise(command, file, message);
    }
    if (nlhs == 3) plhs[2] = mxCreateDoubleScalar(restartNeeded);
    mxFree(command);
    mxFree(file);
}
