#ifndef QELSETUP_INSTALLER_OPERATION_LOCK_H
#define QELSETUP_INSTALLER_OPERATION_LOCK_H

#include <windows.h>

// Waits up to `waitMilliseconds` for the machine-wide lock that every install and
// uninstall holds (QEL_OPERATION_LOCK_NAME in operations.h). Returns the held mutex,
// to be released with a MutexHolder, or nullptr after writing a message that names
// `file`.
HANDLE AcquireOperationLock(const char* file, DWORD waitMilliseconds, char* message);

struct TargetPaths;

// What both operations do before they touch the machine: the permission gate, the
// target and companion paths, then the lock. Returns the held lock (paths formed),
// or nullptr with the failing step's message written.
HANDLE BeginOperation(const char* file, int useSystemDir, TargetPaths* paths, char* message);

#endif
