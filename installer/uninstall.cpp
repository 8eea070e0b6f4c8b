#include "installer/operations.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/begin_operation.h"
#include "installer/image_machine.h"
#include "installer/self_registration.h"
#include "installer/shared_count.h"
#include "installer/system_files.h"
#include "installer/target_paths.h"

#include <windows.h>

int uninstallQELSystemFilesEx(const char* file, int useSystemDir, int doRegistration,
                            int doSharedCount, char* message, int* restartNeeded)
{
    if (restartNeeded != nullptr) *restartNeeded = 0;
    Operation operation = {};
    if (!BeginOperation(file, useSystemDir, &message, &operation)) return 0;
    const TargetPaths& paths = operation.paths;

    // A server of the other bitness cannot be loaded to unregister it: that must be
    // known before its count is lowered.
    if (doRegistration == 1 && !CheckImageMachine(paths.targetPath, message)) return 0;

    if (doSharedCount == 1) {
        long long remaining = DecrementSharedCount(paths.targetPath, message);
        // The companion follows its control whatever became of the control's count.
        if (paths.isOcx) {
            char scratch[kMessageSize] = {};
            DecrementSharedCount(paths.companionPath, scratch);
        }
        if (remaining == kCountFailed) return 0;
        // Other products still use the file.
        if (remaining != 0) return 1;
    }

    if (doRegistration == 1 && !UnregisterServerFile(paths.targetPath, message)) return 0;

    // Outside the system directory the file is the product's own to keep or remove.
    if (useSystemDir == 0) return 1;

    if (!DeleteSystemFile(paths.targetPath))
        return WriteMessage(message, "Error deleting file %s\n", paths.targetPath);
    if (paths.isOcx) {
        DeleteSystemFile(paths.companionPath);
        ClearMessage(message);
    }
    return 1;
}

int uninstallQELSystemFiles(const char* file, int useSystemDir, int doRegistration, int doSharedCount, char* message)
{
    return uninstallQELSystemFilesEx(file, useSystemDir, doRegistration, doSharedCount, message, nullptr);
}
