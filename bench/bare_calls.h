#ifndef QELSETUP_BENCH_BARE_CALLS_H
#define QELSETUP_BENCH_BARE_CALLS_H

// The bare Win32 calls of the work every installer must do, the side each figure of
// the benchmark is set against. Each returns whether its calls succeeded.
#include <windows.h>

namespace qelbench {

// Every installer must read a file's version resource this way.
bool ReadVersionResource(const char* path);

// The SharedDLLs key, open for reading and writing; nullptr when it cannot be opened.
HKEY OpenSharedDlls();

// The count's read and write, and nothing else.
bool RaiseCountBare(const char* path);

// The read and removal of a count of 1.
bool RemoveCountBare(const char* path);

// What regsvr32 does, minus its messages.
bool RegisterBare(const char* path);

// What regsvr32 /u does, minus its messages.
bool UnregisterBare(const char* path);

// A careful setup on Windows 2000 and later leaves the files Windows protects alone,
// so it asks sfc.dll about the target, one question a file. Returns whether it could
// ask; the answer, always no under Wine, is not the point.
bool AskSfcBare(const char* path);

// The new copy's data on disk before a rename names it.
bool FlushBare(const char* path);

}  // namespace qelbench

#endif
