#ifndef QELSETUP_INSTALLER_BEGIN_OPERATION_H
#define QELSETUP_INSTALLER_BEGIN_OPERATION_H

#include "common/holders.h"
#include "common/message.h"
#include "installer/target_paths.h"

// What an install or uninstall holds from its start until it returns.
struct Operation {
    char* message;               // where every step writes: the caller's buffer, or `unheard`
    char unheard[kMessageSize];  // the messages of a caller who passed no buffer
    TargetPaths paths;
    MutexHolder lock;
};

// What both operations do before they touch the machine: the permission gate, the
// target and companion paths, then the machine-wide lock. The operation's message is
// the caller's buffer, or its own when the caller gave NULL. Returns 1 with all of it
// in `operation`, or 0 with the failing step's message written there.
int BeginOperation(const char* file, int useSystemDir, char* callerMessage, Operation* operation);

#endif
