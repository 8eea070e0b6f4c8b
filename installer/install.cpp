#include "installer/operations.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/begin_operation.h"
#include "installer/image_machine.h"
#include "installer/protected_files.h"
#include "installer/self_registration.h"
#include "installer/system_files.h"
#include "installer/shared_count.h"
#include "installer/target_paths.h"
#include "installer/version_probe.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// The longest message of any step: two paths of up to kMaxPathLength characters.
constexpr char kLoadedHere[] = "Could not copy file %s to %s\nThe file in place is loaded by this program: "
                               "install it from another one.\n";
static_assert(sizeof(kLoadedHere) - 4 + 2 * kMaxPathLength <= kMessageSize, "every message fits whole");

// The source control's companion: the source ends in ".ocx" just as the target does,
// since the target's name was taken from it. A control without a .dep file installs
// normally.
void ReplaceCompanionFile(const char* file, const TargetPaths& paths, int companionFound, ReplacedFile* replaced)
{
    char sourceCompanion[kPathBufferSize] = {};
    snprintf(sourceCompanion, kPathBufferSize, "%s", file);
    if (!MakeCompanionName(sourceCompanion)) return;
    char scratch[kMessageSize] = {};
    ReplaceSystemFile(sourceCompanion, paths.companionPath, LookAtName(paths.companionPath, companionFound), replaced,
                      scratch);
}

// A later step failed: the copies this call replaced take their names back, so that
// the products that counted them find them as they were. The failed server's entries
// then name a file that registers itself again; where nothing was in place, the new
// server takes its entries away before its file goes. A control that cannot take its
// name back (another program holds the kept copy open) stays new, and so does its
// .dep: a rerun finds that control in place and would never bring the .dep again.
// Returns 0, the message of the failing step kept.
int GiveBackAfterFailure(const TargetPaths& paths, const ReplacedFile& target, const ReplacedFile& companion,
                         int registrationAsked, char* message)
{
    char scratch[kMessageSize] = {};
    int hadNoCopy = target.placed && target.kept[0] == '\0';
    if (registrationAsked && hadNoCopy) UnregisterServerFile(paths.targetPath, scratch);
    int givenBack = GiveBackReplaced(&target, message);
    if (givenBack)
        GiveBackReplaced(&companion, scratch);
    else
        KeepReplacement(&companion);
    if (registrationAsked && target.placed && !hadNoCopy && givenBack) RegisterServerFile(paths.targetPath, scratch);
    return 0;
}

} // namespace

int installQELSystemFilesEx(const char* file, int useSystemDir, int doRegistration,
                          int doSharedCount, char* callerMessage, int* restartNeeded)
{
    if (restartNeeded != nullptr) *restartNeeded = 0;
    Operation operation = {};
    if (!BeginOperation(file, useSystemDir, callerMessage, &operation)) return 0;
    const TargetPaths& paths = operation.paths;

    // The file to install must exist and carry a version in every mode.
    FileVersion sourceVersion = {};
    if (GetFileVersionNumbers(file, &sourceVersion, operation.message) != 1) return 0;
    if ((useSystemDir != 0 || doRegistration == 1) && !CheckImageMachine(file, operation.message)) return 0;
    // Windows keeps its own copy of a file it protects: counted, never replaced or registered.
    const ProtectedFiles guarded = AskWhichAreProtected(paths, useSystemDir);

    int priorCopyFound = 0;
    int willReplace = 0;
    int sameInPlace = 0;
    ReplacedFile replaced = {};
    ReplacedFile replacedCompanion = {};
    if (useSystemDir != 0) {
        // Another bitness's file under this name is not this bitness's copy: neither
        // replaced nor counted as one.
        DWORD openError = ERROR_SUCCESS;
        if (operation.targetFound && !CheckMachineInPlace(paths.targetPath, &openError, operation.message)) return 0;
        FileVersion targetVersion = {};
        int found = operation.targetFound ? GetFileVersionNumbers(paths.targetPath, &targetVersion, operation.message)
                                          : kVersionAbsent;
        if (found == 0) return 0;
        if (found == kVersionAbsent) {
            // Nothing usable in place: not an error, just a file to put there.
            ClearMessage(operation.message);
            willReplace = 1;
        } else {
            priorCopyFound = 1;
            willReplace = IsVersionNewer(sourceVersion, targetVersion);
            sameInPlace = !willReplace && !IsVersionNewer(targetVersion, sourceVersion);
        }
        if (guarded.target) willReplace = sameInPlace = 0;
        if (willReplace) {
            // Our own copy of the old code would go on running here, and would be what
            // registers itself, against the new file. The loader knows a module by the
            // name it came from: one whose file was renamed away since (set aside by
            // another setup's update, or by the last uninstall) still answers to it,
            // whatever is under the name now, or nothing.
            if (IsLoadedByThisProgram(paths.targetPath))
                return WriteMessage(operation.message, kLoadedHere, file, paths.targetPath);
            int inPlace = operation.targetFound ? LookAtOpenError(openError) : kNameEmpty;
            // The .dep goes first. A setup killed between the two then leaves the old
            // control, which its rerun replaces together with the .dep; the other way
            // round, the rerun would find the new control in place, replace nothing
            // and leave it the old .dep (or none) for good.
            if (paths.isOcx && !guarded.companion)
                ReplaceCompanionFile(file, paths, operation.companionFound, &replacedCompanion);
            if (!ReplaceSystemFile(file, paths.targetPath, inPlace, &replaced, operation.message)) {
                char scratch[kMessageSize] = {};
                GiveBackReplaced(&replacedCompanion, scratch);
                return 0;
            }
        }
    }

    // A newer version in place was registered when it came. The same version is
    // registered again: an earlier setup may have failed to, and servers expect it.
    // Registering before counting lets a failed registration leave the count as it
    // was, so that the setup can simply be run again.
    int registrationAsked = doRegistration == 1 && (willReplace || sameInPlace || useSystemDir == 0);
    if (registrationAsked && !RegisterServerFile(paths.targetPath, operation.message))
        return GiveBackAfterFailure(paths, replaced, replacedCompanion, registrationAsked, operation.message);

    if (doSharedCount == 1) {
        if (!IncrementSharedCount(paths.targetPath, priorCopyFound, operation.message))
            return GiveBackAfterFailure(paths, replaced, replacedCompanion, registrationAsked, operation.message);
        if (paths.isOcx) {
            char scratch[kMessageSize] = {};
            IncrementSharedCount(paths.companionPath, priorCopyFound, scratch);
        }
    }

    // Only now is the replaced copy no longer needed.
    int waitsForRestart = KeepReplacement(&replaced);
    waitsForRestart |= KeepReplacement(&replacedCompanion);
    if (restartNeeded != nullptr) *restartNeeded = waitsForRestart;
    return guarded.target ? WriteProtectedNotice(operation.message, paths.targetPath) : 1;
}

int installQELSystemFiles(const char* file, int useSystemDir, int doRegistration, int doSharedCount, char* message)
{
    return installQELSystemFilesEx(file, useSystemDir, doRegistration, doSharedCount, message, nullptr);
}
