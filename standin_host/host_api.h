#ifndef QELSETUP_HOST_HOST_API_H
#define QELSETUP_HOST_HOST_API_H

// What the embedded host's libmx.dll and libmex.dll offer beyond the host interface
// itself: building the unusual arrays a caller may pass, reading results back, and
// calling an entry point so that a raised host error unwinds back to the caller.
#include "mex.h"

#include <stddef.h>

#include <memory>

extern "C" {

// A character array of `rows` x `columns` whose characters are given in storage
// order (column by column), as hosts keep them.
mxArray* hostCreateCharMatrix(size_t rows, size_t columns, const char* storage);
// A 1 x `columns` character array whose characters take the bytes of `text`, more
// than one byte each where `text` is longer than `columns`: what a host's text of
// characters beyond the system code page's single bytes becomes.
mxArray* hostCreateCharRow(size_t columns, const char* text);
// A 1 x count double row.
mxArray* hostCreateDoubleRow(size_t count, const double* values);
// A rows x columns double array, values in storage order (none when either is 0).
mxArray* hostCreateDoubleMatrix(size_t rows, size_t columns, const double* values);
mxArray* hostCreateLogicalScalar(bool value);
void hostDestroyArray(mxArray* array);

// Copies a character array's characters, in storage order, into `buffer`.
void hostGetText(const mxArray* array, char* buffer, size_t size);
// Blocks from mxCalloc not yet given back with mxFree.
long hostOutstandingAllocations(void);

typedef void (*MexEntryPoint)(int, mxArray*[], int, const mxArray*[]);

// Calls the entry point. Returns 0 when it returned, 1 when it raised a host error,
// whose text is then copied into `error`.
int hostCallMexFunction(MexEntryPoint entry, int nlhs, mxArray* plhs[], int nrhs,
                        const mxArray* prhs[], char* error, size_t errorSize);
}

// Owns one host array, the caller's inputs or the results an entry point returned, so
// that no return path of a caller can skip hostDestroyArray.
struct HostArrayDestroyer {
    void operator()(mxArray* array) const { hostDestroyArray(array); }
};
using HostArrayHolder = std::unique_ptr<mxArray, HostArrayDestroyer>;

#endif
