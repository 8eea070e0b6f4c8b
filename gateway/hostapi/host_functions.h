#ifndef QELSETUP_HOSTAPI_HOST_FUNCTIONS_H
#define QELSETUP_HOSTAPI_HOST_FUNCTIONS_H

/*
 * Every host function the module calls, with the library that exports it: the one
 * list of their names. QEL_HOST_FUNCTIONS(X) expands X(library, name) for each. The
 * binding makes its table and its forwarders' look-ups from it, and the tests check
 * the stand-in host's libraries against it.
 *
 * mexErrMsgTxt comes last: the binding's check reports a missing function through it
 * when it can.
 */
#define QEL_HOST_FUNCTIONS(X)      \
    X(libmx, mxIsChar)             \
    X(libmx, mxIsDouble)           \
    X(libmx, mxIsEmpty)            \
    X(libmx, mxGetN)               \
    X(libmx, mxGetScalar)          \
    X(libmx, mxGetString)          \
    X(libmx, mxCalloc)             \
    X(libmx, mxFree)               \
    X(libmx, mxCreateDoubleScalar) \
    X(libmx, mxCreateString)       \
    X(libmex, mexErrMsgTxt)

#endif
