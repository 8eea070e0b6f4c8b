#include "installer/begin_operation.h"

#include "installer/call_record.h"
#include "installer/operation_lock.h"
#include "installer/operations.h"
#include "privilege/checks.h"

int BeginOperation(const char* file, int useSystemDir, char* callerMessage, Operation* operation)
{
    operation->message = callerMessage != nullptr ? callerMessage : operation->unheard;
    char* message = operation->message;
    if (!TakeOwnView(&operation->callerView, message)) return 0;
    operation->viewGivenBack.reset(&operation->callerView);
    if (!CheckConfigurePermission(message)) return 0;
    if (!MakeTargetPaths(file, useSystemDir, &operation->paths, message)) return 0;
    // Everything after this reads a count or a file and acts on what it read: another
    // setup in between would lose a raise, or delete a file it has just counted.
    operation->lock = AcquireOperationLock(file, QEL_OPERATION_LOCK_WAIT_MS, message);
    if (!operation->lock) return 0;
    // A setup that died halfway counts as one that failed, whether or not the lock
    // came back abandoned: its holder may have been another bitness's module. What
    // is under the names is looked at once that is put back.
    if (!BeginCallRecord(file, &operation->record, message)) return 0;
    operation->targetFound = operation->companionFound = 1;
    return useSystemDir == 0
        || CheckOneNameOneFile(file, operation->paths, &operation->targetFound, &operation->companionFound, message);
}
