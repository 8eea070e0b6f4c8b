#ifndef QELSETUP_INSTALLER_OPERATION_LOCK_H
#define QELSETUP_INSTALLER_OPERATION_LOCK_H

#include "common/holders.h"

#include <windows.h>

// Waits up to `waitMilliseconds` for the machine-wide lock that every install and
// uninstall holds (QEL_OPERATION_LOCK_NAME in operations.h). Returns the held mutex,
// or an empty holder after writing a message that names `file`.
MutexHolder AcquireOperationLock(const char* file, DWORD waitMilliseconds, char* message);

#endif
