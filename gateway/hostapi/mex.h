#ifndef QELSETUP_HOSTAPI_MEX_H
#define QELSETUP_HOSTAPI_MEX_H

/*
 * The host's extension interface, as far as qelsetup uses it: the array functions
 * the host exports from libmx.dll and the error function from libmex.dll. A real
 * host SDK's mex.h takes this file's place (configure with QELSETUP_MEX_SDK).
 */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;

bool mxIsChar(const mxArray* array);
bool mxIsDouble(const mxArray* array);
bool mxIsEmpty(const mxArray* array);
size_t mxGetN(const mxArray* array);
double mxGetScalar(const mxArray* array);
int mxGetString(const mxArray* array, char* buffer, mwSize length);
void* mxCalloc(size_t count, size_t size);
void mxFree(void* pointer);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateString(const char* text);

/* Raises a host error with the given text. It does not return. */
void mexErrMsgTxt(const char* text) __attribute__((noreturn));

/* The entry point the host calls. */
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#ifdef __cplusplus
}
#endif

#endif
