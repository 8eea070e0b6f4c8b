// A COM server of a chosen size for the benchmark: it registers itself the way a
// real control does (one CLSID key naming its own path) and carries a block of
// read-only data so its file is as large as a control with big resources.
#include "own_class.h"

#include <objbase.h>
#include <windows.h>

#ifndef QEL_BENCH_PADDING_BYTES
#error "QEL_BENCH_PADDING_BYTES sets the size of the file's data block"
#endif

#define QEL_BENCH_TEXT(x) #x
#define QEL_BENCH_NUMBER(x) QEL_BENCH_TEXT(x)

// Non-zero bytes, so the block is stored in the file rather than left to the loader
// to zero; the assembler writes them, which no compiler would do for 50 MB in time.
// COFF's assembler has no section stack: it goes back to .text, where the compiler
// believes it still is.
asm(".section .rdata,\"dr\"\n"
    ".p2align 12\n"
    ".fill " QEL_BENCH_NUMBER(QEL_BENCH_PADDING_BYTES) ", 1, 0xa5\n"
    ".text\n");

extern "C" HRESULT __stdcall DllRegisterServer() { return RegisterOwnClass(); }

extern "C" HRESULT __stdcall DllUnregisterServer() { return UnregisterOwnClass(); }
