#include "installer/operations.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/operation_lock.h"
#include "installer/self_registration.h"
#include "installer/system_files.h"
#include "installer/shared_count.h"
#include "installer/target_paths.h"
#include "installer/version_probe.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

static_assert(QEL_MESSAGE_BUFFER_SIZE == kMessageSize, "callers are promised this buffer size");

namespace {

// The source control's companion: the source ends in ".ocx" just as the target does,
// since the target's name was taken from it.
void CopyCompanionFile(const char* file, const TargetPaths& paths)
{
    char sourceCompanion[kPathBufferSize] = {};
    snprintf(sourceCompanion, kPathBufferSize, "%s", file);
    if (!MakeCompanionName(sourceCompanion)) return;
    char scratch[kMessageSize] = {};
    CopySystemFile(sourceCompanion, paths.companionPath, scratch);
}

} // namespace

int installQELSystemFiles(const char* file, int useSystemDir, int doRegistration,
                          int doSharedCount, char* message)
{
    char unheard[kMessageSize] = {};
    if (message == nullptr) message = unheard;
    TargetPaths paths = {};
    MutexHolder lock(BeginOperation(file, useSystemDir, &paths, message));
    if (!lock) return 0;

    // The file to install must exist and carry a version in every mode.
    FileVersion sourceVersion = {};
    if (GetFileVersionNumbers(file, &sourceVersion, message) != 1) return 0;

    int priorCopyFound = 0;
    int willReplace = 0;
    if (useSystemDir != 0) {
        FileVersion targetVersion = {};
        int found = GetFileVersionNumbers(paths.targetPath, &targetVersion, message);
        if (found == 0) return 0;
        if (found == kVersionAbsent) {
            // Nothing usable in place: not an error, just a file to put there.
            ClearMessage(message);
            willReplace = 1;
        } else {
            priorCopyFound = 1;
            willReplace = IsVersionNewer(sourceVersion, targetVersion);
        }
        if (willReplace) {
            if (!CopySystemFile(file, paths.targetPath, message)) return 0;
            // A control without a .dep file installs normally.
            if (paths.isOcx) CopyCompanionFile(file, paths);
        }
    }

    if (doSharedCount == 1) {
        if (!IncrementSharedCount(paths.targetPath, priorCopyFound, message)) return 0;
        if (paths.isOcx) {
            char scratch[kMessageSize] = {};
            IncrementSharedCount(paths.companionPath, priorCopyFound, scratch);
        }
    }

    // Same or newer version already in place: it was registered when it came.
    if (doRegistration == 1 && (willReplace || useSystemDir == 0))
        return RegisterServerFile(paths.targetPath, message);
    return 1;
}
