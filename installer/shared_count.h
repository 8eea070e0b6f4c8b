#ifndef QELSETUP_INSTALLER_SHARED_COUNT_H
#define QELSETUP_INSTALLER_SHARED_COUNT_H

#include <windows.h>

// The machine-wide use counts of shared files, one REG_DWORD per path under
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs.

// Raises the count of `path`. A path without a count starts at 1, or at 2 when a
// versioned copy was already in place (someone before us installed it without
// counting). Returns 1, or writes a message and returns 0.
int IncrementSharedCount(const char* path, int priorCopyFound, char* message);

// DecrementSharedCount's failure; every other answer is a count.
constexpr long long kCountFailed = -1;

// Lowers the count of `path`, removing the value when it reaches 0. Returns
// kCountFailed (message written), 0 when the value is gone or never existed,
// otherwise the count that remains (up to 0xFFFFFFFF).
long long DecrementSharedCount(const char* path, char* message);

// Reads the count of `path` without changing it, opening the key as lowering it
// would, so that a caller who may not lower it learns so before anything changes.
// Returns 1 with *exists (and *count) set, or writes the lowering's message and
// returns 0.
int ReadSharedCount(const char* path, int* exists, DWORD* count, char* message);

// Reads the count of `path` for a caller that does not count: the key is only read,
// and a machine without it counts nothing. Returns 1 with *exists (and *count) set, or
// writes a message and returns 0 when the key is there but cannot be read.
int ReadOthersCount(const char* path, int* exists, DWORD* count, char* message);

// Puts a count back as ReadSharedCount found it, after a later step failed. A value
// that did not exist was not created by lowering it, so there is nothing to do.
void RestoreSharedCount(const char* path, int exists, DWORD count);

#endif
