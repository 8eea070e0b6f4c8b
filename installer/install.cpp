#include "installer/operations.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/begin_operation.h"
#include "installer/call_record.h"
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

// The source control's companion, into `sourceCompanion` (kPathBufferSize bytes): the
// source ends in ".ocx" just as the target does, since the target's name was taken
// from it. Returns 0 when it cannot be formed.
int SourceCompanion(const char* file, char* sourceCompanion)
{
    snprintf(sourceCompanion, kPathBufferSize, "%s", file);
    return MakeCompanionName(sourceCompanion);
}

// A step failed before the source's machine was looked at, which is otherwise read
// from its copy: an image that no process of this bitness could load is what the
// call names, whatever else is wrong, as when it was looked at first. Returns 0.
int RefuseSourceFirst(const char* file, char* message)
{
    CheckImageMachine(file, message);
    return 0;
}

// A control without a .dep file installs normally.
void ReplaceCompanionFile(const char* file, ReplacedFile* replaced)
{
    char sourceCompanion[kPathBufferSize] = {};
    if (!SourceCompanion(file, sourceCompanion)) return;
    char scratch[kMessageSize] = {};
    ReplaceSystemFile(sourceCompanion, replaced, scratch);
}

// What an install is about to change.
struct InstallChanges {
    int replacesTarget;
    int replacesCompanion;
    int counts;
    int registers;
    int targetSeen;      // what LookAtName saw under the target's name
    int companionFound;  // 0 when nothing was under the companion's name as the lock was taken
};

// The count of `path` as it stands in `counts` (the SharedDLLs key): a key that cannot
// be opened has nothing to record, and fails the raise.
void RecordCountIn(HKEY counts, const char* path, RecordedName* name)
{
    if (counts == nullptr) return;
    DWORD count = 0;
    int counted = ReadCountIn(counts, path, &count);
    RecordCount(name, path, counted, count);
}

// Chooses the names the copies in place will be kept under, and writes the record of
// what the call changes into `record` and under the operation's key, with the counts
// as they stand in `counts`. Returns 1, or 0 with the message written and nothing
// changed.
int RecordInstall(const Operation& operation, const char* file, const InstallChanges& changes, HKEY counts,
                  CallRecord* record, ReplacedFile* replaced, ReplacedFile* replacedCompanion)
{
    const TargetPaths& paths = operation.paths;
    if (changes.replacesTarget) {
        int companionSeen =
            changes.replacesCompanion ? LookAtName(paths.companionPath, changes.companionFound) : kNameEmpty;
        if (!PrepareReplacement(paths.targetPath, changes.targetSeen, "", replaced)
            || (changes.replacesCompanion
                && !PrepareReplacement(paths.companionPath, companionSeen, replaced->kept, replacedCompanion))) {
            return WriteMessage(operation.message, "Could not copy file %s to %s\n", file, paths.targetPath);
        }
        RecordFileChange(&record->file, paths.targetPath, replaced->kept, file);
        char sourceCompanion[kPathBufferSize] = {};
        if (changes.replacesCompanion && SourceCompanion(file, sourceCompanion))
            RecordFileChange(&record->companion, paths.companionPath, replacedCompanion->kept, sourceCompanion);
    }
    if (changes.counts) {
        RecordCountIn(counts, paths.targetPath, &record->file);
        if (paths.isOcx) RecordCountIn(counts, paths.companionPath, &record->companion);
    }
    record->registers = changes.registers;
    replaced->note = RecordNote{operation.record.get(), record, &record->file};
    replacedCompanion->note = RecordNote{operation.record.get(), record, &record->companion};
    return WriteCallRecord(operation.record.get(), *record, file, operation.message);
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
    // Windows keeps its own copy of a file it protects: counted, never replaced or registered.
    const ProtectedFiles guarded = AskWhichAreProtected(paths, useSystemDir);

    int priorCopyFound = 0;
    int willReplace = 0;
    int sameInPlace = 0;
    int targetSeen = kNameEmpty;
    if (useSystemDir != 0) {
        // Another bitness's file under this name is not this bitness's copy: neither
        // replaced nor counted as one.
        DWORD openError = ERROR_SUCCESS;
        if (operation.targetFound && !CheckMachineInPlace(paths.targetPath, &openError, operation.message))
            return RefuseSourceFirst(file, operation.message);
        FileVersion targetVersion = {};
        int found = operation.targetFound ? GetFileVersionNumbers(paths.targetPath, &targetVersion, operation.message)
                                          : kVersionAbsent;
        if (found == 0) return RefuseSourceFirst(file, operation.message);
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
        // Our own copy of the old code would go on running here, and would be what
        // registers itself, against the new file. The loader knows a module by the
        // name it came from: one whose file was renamed away since (set aside by
        // another setup's update, or by the last uninstall) still answers to it,
        // whatever is under the name now, or nothing.
        if (willReplace && IsLoadedByThisProgram(paths.targetPath)) {
            WriteMessage(operation.message, kLoadedHere, file, paths.targetPath);
            return RefuseSourceFirst(file, operation.message);
        }
        if (willReplace && operation.targetFound) targetSeen = LookAtOpenError(openError);
    }

    // A copy is read as it is made: one that nothing goes before (a .dep would) is
    // refused before it takes the name, and the source need not be opened for it.
    const int replacesCompanion = willReplace && paths.isOcx && !guarded.companion;
    const int copyChecksMachine = willReplace && !replacesCompanion;
    if ((useSystemDir != 0 || doRegistration == 1) && !copyChecksMachine
        && !CheckImageMachine(file, operation.message))
        return 0;

    // A newer version in place was registered when it came. The same version is
    // registered again: an earlier setup may have failed to, and servers expect it.
    // Registering before counting lets a failed registration leave the count as it
    // was, so that the setup can simply be run again.
    int registrationAsked = doRegistration == 1 && (willReplace || sameInPlace || useSystemDir == 0);
    if (!willReplace && !registrationAsked && doSharedCount != 1)
        return guarded.target ? WriteProtectedNotice(operation.message, paths.targetPath) : 1;
    // Only the file in the system directory is registered again by the next call: a
    // relative name outside it would be another file in another process.
    const InstallChanges changes = {willReplace, replacesCompanion, doSharedCount == 1,
                                    registrationAsked && useSystemDir != 0, targetSeen, operation.companionFound};
    ReplacedFile replaced = {};
    ReplacedFile replacedCompanion = {};
    CallRecord record = {};
    // Opened once: the counts are recorded as they stand, and raised in the same key.
    KeyHolder counts(changes.counts ? OpenSharedCounts() : nullptr);
    if (!RecordInstall(operation, file, changes, counts.get(), &record, &replaced, &replacedCompanion)) return 0;
    replaced.checksMachine = copyChecksMachine;

    if (willReplace) {
        // The .dep goes first, so that the control's name is the last to change.
        if (changes.replacesCompanion) ReplaceCompanionFile(file, &replacedCompanion);
        if (!ReplaceSystemFile(file, &replaced, operation.message)) {
            char scratch[kMessageSize] = {};
            GiveBackReplaced(&replacedCompanion, scratch);
            return 0;
        }
    }

    if (registrationAsked && !RegisterServerFile(paths.targetPath, operation.message))
        return GiveBackAfterFailure(paths, replaced, replacedCompanion, registrationAsked, operation.message);

    if (doSharedCount == 1) {
        if (!RaiseCountIn(counts.get(), paths.targetPath, priorCopyFound, operation.message))
            return GiveBackAfterFailure(paths, replaced, replacedCompanion, registrationAsked, operation.message);
        if (paths.isOcx) {
            char scratch[kMessageSize] = {};
            RaiseCountIn(counts.get(), paths.companionPath, priorCopyFound, scratch);
        }
    }

    // Only now are the replaced copies no longer needed. The .dep's goes first: should
    // the setup die in between, the next call puts the old control back, which a rerun
    // replaces together with the .dep.
    int waitsForRestart = KeepReplacement(&replacedCompanion);
    waitsForRestart |= KeepReplacement(&replaced);
    if (restartNeeded != nullptr) *restartNeeded = waitsForRestart;
    return guarded.target ? WriteProtectedNotice(operation.message, paths.targetPath) : 1;
}

int installQELSystemFiles(const char* file, int useSystemDir, int doRegistration, int doSharedCount, char* message)
{
    return installQELSystemFilesEx(file, useSystemDir, doRegistration, doSharedCount, message, nullptr);
}
