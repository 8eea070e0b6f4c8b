#include "installer/operations.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/begin_operation.h"
#include "installer/image_machine.h"
#include "installer/protected_files.h"
#include "installer/self_registration.h"
#include "installer/shared_count.h"
#include "installer/system_files.h"
#include "installer/target_paths.h"

#include <windows.h>

namespace {

// The companion follows its control's count; its own failures are ignored.
void LowerCompanionCount(const TargetPaths& paths)
{
    if (!paths.isOcx) return;
    char scratch[kMessageSize] = {};
    DecrementSharedCount(paths.companionPath, scratch);
}

// 1 when no file is under the name; a file that cannot be looked at may be there.
int IsNameEmpty(const char* path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return 0;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 1 : 0;
}

// A later step failed after the server was unregistered: it registers itself again,
// as it was before the call. Returns 0, the failing step's message kept.
int RegisterAgain(const TargetPaths& paths, int unregistered)
{
    char scratch[kMessageSize] = {};
    if (unregistered) RegisterServerFile(paths.targetPath, scratch);
    return 0;
}

} // namespace

int uninstallQELSystemFilesEx(const char* file, int useSystemDir, int doRegistration,
                            int doSharedCount, char* callerMessage, int* restartNeeded)
{
    if (restartNeeded != nullptr) *restartNeeded = 0;
    Operation operation = {};
    if (!BeginOperation(file, useSystemDir, callerMessage, &operation)) return 0;
    const TargetPaths& paths = operation.paths;

    // A server of the other bitness cannot be loaded to unregister it: that must be
    // known before its count is lowered. Nor is another bitness's file in the system
    // directory this bitness's copy to delete.
    if ((doRegistration == 1 || useSystemDir != 0) && operation.targetFound
        && !CheckImageMachine(paths.targetPath, operation.message))
        return 0;

    // Under the lock nobody counts between this reading and the lowering below.
    int counted = 0;
    DWORD count = 0;
    // One that only looks, to leave others' files alone, needs only to read the key.
    if (doSharedCount == 1 ? !ReadSharedCount(paths.targetPath, &counted, &count, operation.message)
                           : useSystemDir != 0 && !ReadOthersCount(paths.targetPath, &counted, &count, operation.message))
        return 0;
    if (doSharedCount == 1 && counted && count > 1) {
        // Other products still use the file.
        if (DecrementSharedCount(paths.targetPath, operation.message) == kCountFailed) return 0;
        LowerCompanionCount(paths);
        return 1;
    }
    // A product that does not count is not the one to remove a file that others count.
    if (doSharedCount != 1 && useSystemDir != 0 && counted && count >= 1) return 1;

    // The last count of a file that is gone would stay for good: every uninstall would
    // fail to unregister or delete it and give the count back. It goes, with the .dep's;
    // nothing is left to unregister. The .dep goes first, and its file with it once
    // nobody counts it: no later uninstall would find a control to take it away with,
    // and a setup killed in between leaves the control's count for its rerun.
    if (doSharedCount == 1 && counted && (!operation.targetFound || IsNameEmpty(paths.targetPath))) {
        char scratch[kMessageSize] = {};
        if (paths.isOcx && DecrementSharedCount(paths.companionPath, scratch) == 0 && useSystemDir != 0
            && !AskWhichAreProtected(paths, useSystemDir).companion) {
            int waitsForRestart = 0;
            DeleteSystemFile(paths.companionPath, &waitsForRestart);
            if (restartNeeded != nullptr) *restartNeeded = waitsForRestart;
        }
        return DecrementSharedCount(paths.targetPath, operation.message) == kCountFailed ? 0 : 1;
    }

    // Windows keeps a file it protects: the count goes, the file and its registration stay.
    const ProtectedFiles guarded = AskWhichAreProtected(paths, useSystemDir);

    // The last user goes. The count is removed only once the server is unregistered,
    // so that a failed unregistration leaves the file counted and registered as it
    // was, and a retry finds it so.
    int unregistered = doRegistration == 1 && !guarded.target;
    // A server that fails halfway may have taken part of its entries away already.
    if (unregistered && !UnregisterServerFile(paths.targetPath, operation.message)) return RegisterAgain(paths, 1);

    int companionCounted = 0;
    DWORD companionCount = 0;
    if (doSharedCount == 1) {
        char scratch[kMessageSize] = {};
        if (paths.isOcx) ReadSharedCount(paths.companionPath, &companionCounted, &companionCount, scratch);
        if (DecrementSharedCount(paths.targetPath, operation.message) == kCountFailed)
            return RegisterAgain(paths, unregistered);
        LowerCompanionCount(paths);
    }

    // Outside the system directory the file is the product's own to keep or remove.
    if (useSystemDir == 0 || guarded.target) return 1;

    int waitsForRestart = 0;
    if (!DeleteSystemFile(paths.targetPath, &waitsForRestart)) {
        // The file stays, so it stays counted and registered: a setup killed before
        // this point leaves it uncounted, which the next uninstall takes as its last.
        if (doSharedCount == 1) {
            RestoreSharedCount(paths.targetPath, counted, count);
            if (paths.isOcx) RestoreSharedCount(paths.companionPath, companionCounted, companionCount);
        }
        RegisterAgain(paths, unregistered);
        return WriteMessage(operation.message, "Error deleting file %s\n", paths.targetPath);
    }
    if (paths.isOcx) {
        if (!guarded.companion) DeleteSystemFile(paths.companionPath, &waitsForRestart);
        ClearMessage(operation.message);
    }
    if (restartNeeded != nullptr) *restartNeeded = waitsForRestart;
    return 1;
}

int uninstallQELSystemFiles(const char* file, int useSystemDir, int doRegistration, int doSharedCount, char* message)
{
    return uninstallQELSystemFilesEx(file, useSystemDir, doRegistration, doSharedCount, message, nullptr);
}
