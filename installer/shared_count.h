#ifndef QELSETUP_INSTALLER_SHARED_COUNT_H
#define QELSETUP_INSTALLER_SHARED_COUNT_H

#include <windows.h>

// The machine-wide use counts of shared files, one REG_DWORD per path under
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs.

// Raises the count of `path`. A path without a count starts at 1, or at 2 when a
// versioned copy was already in place (someone before us installed it without
// counting). Returns 1, or writes a message and returns 0.
int IncrementSharedCount(const char* path, int priorCopyFound, char* message);

// The same in steps, for a call that records a count before it changes it: the key
// opened for reading and writing (nullptr when it cannot be), the count read there
// (1 with *count set when the value exists), and IncrementSharedCount in that key,
// which reads the count again and writes its messages.
HKEY OpenSharedCounts();
int ReadCountIn(HKEY key, const char* path, DWORD* count);
int RaiseCountIn(HKEY key, const char* path, int priorCopyFound, char* message);

// DecrementSharedCount's failure; every other answer is a count.
constexpr long long kCountFailed = -1;

// Lowers the count of `path`, removing the value when it reaches 0. Returns
// kCountFailed (message written), 0 when the value is gone or never existed,
// otherwise the count that remains (up to 0xFFFFFFFF).
long long DecrementSharedCount(const char* path, char* message);

// Reads the count of `path` without changing it, in `key` from OpenSharedCounts, which
// is opened as lowering it would be, so that a caller who may not lower it learns so
// before anything changes. Returns 1 with *exists (and *count) set, or, when `key` is
// nullptr, writes the lowering's message and returns 0.
int ReadSharedCount(HKEY key, const char* path, int* exists, DWORD* count, char* message);

// DecrementSharedCount in `key` (from OpenSharedCounts): the same results and messages.
long long LowerCountIn(HKEY key, const char* path, char* message);

// Reads the count of `path` for a caller that does not count: the key is only read,
// and a machine without it counts nothing. Returns 1 with *exists (and *count) set, or
// writes a message and returns 0 when the key is there but cannot be read.
int ReadOthersCount(const char* path, int* exists, DWORD* count, char* message);

// Puts a count back as ReadSharedCount found it, after a later step failed or a call
// died: the value written, or removed when it did not exist. Returns 1, or 0 with
// GetLastError's error when the key or the value cannot be written.
int RestoreSharedCount(const char* path, int exists, DWORD count);

#endif
