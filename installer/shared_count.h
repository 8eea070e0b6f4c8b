#ifndef QELSETUP_INSTALLER_SHARED_COUNT_H
#define QELSETUP_INSTALLER_SHARED_COUNT_H

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

#endif
