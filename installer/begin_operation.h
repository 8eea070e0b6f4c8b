#ifndef QELSETUP_INSTALLER_BEGIN_OPERATION_H
#define QELSETUP_INSTALLER_BEGIN_OPERATION_H

#include "common/holders.h"
#include "common/message.h"
#include "installer/call_record.h"
#include "installer/file_system_view.h"
#include "installer/target_paths.h"

// Gives the caller its file-system view back when the operation ends, on every path.
using CallerViewHolder = std::unique_ptr<CallerView, Release<CallerView*, GiveBackView>>;

// What an install or uninstall holds from its start until it returns.
struct Operation {
    char* message;               // where every step writes: the caller's buffer, or `unheard`
    char unheard[kMessageSize];  // the messages of a caller who passed no buffer
    CallerView callerView;
    CallerViewHolder viewGivenBack;  // points at callerView while the module's own view holds
    TargetPaths paths;
    MutexHolder lock;
    CallRecordKey record;  // goes before the lock is released
    // In system-directory mode, 0 when nothing was under the name as the lock was taken:
    // there is then no copy in place to read, nor one to be loaded. 1 otherwise.
    int targetFound;
    int companionFound;
};

// What both operations do before they touch the machine: the module's own view of the
// system directory, the permission gate, the target and companion paths, the
// machine-wide lock, putting back what a call that died halfway had changed, and in
// system-directory mode the refusal of a name that is
// another name of a file in place. The operation's message is
// the caller's buffer, or its own when the caller gave NULL. Returns 1 with all of it
// in `operation`, or 0 with the failing step's message written there.
int BeginOperation(const char* file, int useSystemDir, char* callerMessage, Operation* operation);

#endif
