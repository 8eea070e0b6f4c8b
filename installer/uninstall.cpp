#include "installer/operations.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/begin_operation.h"
#include "installer/call_record.h"
#include "installer/image_machine.h"
#include "installer/protected_files.h"
#include "installer/self_registration.h"
#include "installer/shared_count.h"
#include "installer/target_paths.h"

#include <windows.h>

namespace {

// The companion follows its control's count; its own failures are ignored. Returns
// what DecrementSharedCount would.
long long LowerCompanionCount(HKEY counts, const TargetPaths& paths)
{
    if (!paths.isOcx) return 0;
    char scratch[kMessageSize] = {};
    return LowerCountIn(counts, paths.companionPath, scratch);
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

    // Under the lock no other setup counts between this reading and the lowering below,
    // in the key opened once.
    int counted = 0;
    DWORD count = 0;
    KeyHolder counts(doSharedCount == 1 ? OpenSharedCounts() : nullptr);
    // One that only looks, to leave others' files alone, needs only to read the key.
    int read = doSharedCount == 1
        ? ReadSharedCount(counts.get(), paths.targetPath, &counted, &count, operation.message)
        : useSystemDir == 0 || ReadOthersCount(paths.targetPath, &counted, &count, operation.message);
    if (!read) return 0;
    CallRecord record = {};
    if (doSharedCount == 1 && counted) RecordCount(&record.file, paths.targetPath, counted, count);
    DWORD companionCount = 0;
    // A .dep without a count has none to lower.
    if (doSharedCount == 1 && paths.isOcx && ReadCountIn(counts.get(), paths.companionPath, &companionCount))
        RecordCount(&record.companion, paths.companionPath, 1, companionCount);
    if (doSharedCount == 1 && counted && count > 1) {
        // Other products still use the file.
        if (!WriteCallRecord(operation.record.get(), record, file, operation.message)) return 0;
        if (LowerCountIn(counts.get(), paths.targetPath, operation.message) == kCountFailed) return 0;
        LowerCompanionCount(counts.get(), paths);
        return 1;
    }
    // A product that does not count is not the one to remove a file that others count.
    if (doSharedCount != 1 && useSystemDir != 0 && counted && count >= 1) return 1;

    // The last count of a file that is gone would stay for good: every uninstall would
    // fail to unregister or delete it and give the count back. It goes, with the .dep's;
    // nothing is left to unregister. The .dep goes with it once nobody counts it: no
    // later uninstall would find a control to take it away with.
    if (doSharedCount == 1 && counted && (!operation.targetFound || IsNameEmpty(paths.targetPath))) {
        int takesCompanion = paths.isOcx && useSystemDir != 0 && operation.companionFound
            && !AskWhichAreProtected(paths, useSystemDir).companion;
        if (takesCompanion) RecordTakenAway(&record.companion, paths.companionPath);
        if (!WriteCallRecord(operation.record.get(), record, file, operation.message)) return 0;
        if (LowerCountIn(counts.get(), paths.targetPath, operation.message) == kCountFailed) return 0;
        int waitsForRestart = 0;
        const RecordNote companionNote = {operation.record.get(), &record, &record.companion};
        if (paths.isOcx && LowerCompanionCount(counts.get(), paths) == 0 && takesCompanion)
            TakeAwayRecorded(companionNote, paths.companionPath, &waitsForRestart);
        if (restartNeeded != nullptr) *restartNeeded = waitsForRestart;
        return 1;
    }

    // Windows keeps a file it protects: the count goes, the file and its registration stay.
    const ProtectedFiles guarded = AskWhichAreProtected(paths, useSystemDir);

    // The last user goes. The count is removed only once the server is unregistered,
    // so that a failed unregistration leaves the file counted and registered as it
    // was, and a retry finds it so.
    int unregistered = doRegistration == 1 && !guarded.target;
    // Outside the system directory the file is the product's own to keep or remove.
    int takesAway = useSystemDir != 0 && !guarded.target;
    int takesCompanion = takesAway && paths.isOcx && !guarded.companion;
    // Its deletion is the point after which the call cannot fail: a setup that dies
    // before it is undone by the next call, one that dies after it is finished.
    if (takesAway && operation.targetFound) RecordTakenAway(&record.file, paths.targetPath);
    if (takesCompanion && operation.companionFound) RecordTakenAway(&record.companion, paths.companionPath);
    record.registers = unregistered && useSystemDir != 0;
    if (!WriteCallRecord(operation.record.get(), record, file, operation.message)) return 0;

    // A server that fails halfway may have taken part of its entries away already.
    if (unregistered && !UnregisterServerFile(paths.targetPath, operation.message)) return RegisterAgain(paths, 1);

    if (doSharedCount == 1) {
        if (LowerCountIn(counts.get(), paths.targetPath, operation.message) == kCountFailed)
            return RegisterAgain(paths, unregistered);
        LowerCompanionCount(counts.get(), paths);
    }
    if (!takesAway) return 1;

    int waitsForRestart = 0;
    const RecordNote fileNote = {operation.record.get(), &record, &record.file};
    const RecordNote companionNote = {operation.record.get(), &record, &record.companion};
    if (!TakeAwayRecorded(fileNote, paths.targetPath, &waitsForRestart)) {
        // The file stays, so it stays counted and registered.
        char scratch[kMessageSize] = {};
        PutBackCounts(record, file, scratch);
        RegisterAgain(paths, unregistered);
        return WriteMessage(operation.message, "Error deleting file %s\n", paths.targetPath);
    }
    if (takesCompanion) TakeAwayRecorded(companionNote, paths.companionPath, &waitsForRestart);
    if (paths.isOcx) ClearMessage(operation.message);
    if (restartNeeded != nullptr) *restartNeeded = waitsForRestart;
    return 1;
}

int uninstallQELSystemFiles(const char* file, int useSystemDir, int doRegistration, int doSharedCount, char* message)
{
    return uninstallQELSystemFilesEx(file, useSystemDir, doRegistration, doSharedCount, message, nullptr);
}
