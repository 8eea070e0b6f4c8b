#include "installer/call_record.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/self_registration.h"
#include "installer/shared_count.h"
#include "installer/system_files.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// Only installers may write under HKLM. The 32-bit module's view is the 32-bit one, as
// are its system directory and its counts. The key lives for one call: made as the
// lock is taken, deleted with everything under it as the call ends. One that a call
// finds made already belongs to a call that died; the changes it recorded are one
// binary value, written in one go.
const char kCallRecordKey[] = "SOFTWARE\\qelsetup\\Call in progress";
const char kChangesValue[] = "Changes";

// A record read back holds terminated paths only, whatever the value held.
void Terminate(RecordedName* name)
{
    name->path[MAX_PATH - 1] = '\0';
    name->kept[MAX_PATH - 1] = '\0';
}

using DeleteKeyFunction = LONG(WINAPI*)(HANDLE);

int RecordMessage(char* message, const char* file, DWORD error)
{
    return WriteMessage(message, "Could not change %s.\nThe record of a setup that ended halfway cannot be "
                                 "read or removed (error %lu). Nothing else was changed.\n", file, error);
}

int IsThere(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0; }

using ServerEntry = int (*)(const char*, char*);

// The server may be what ended the dead call, and may end this one too as it is
// asked again: the record first says that the call registers nothing, so that the
// next one puts the files back without loading it, and the server ends no other
// setup on the machine.
void AskServerOnce(HKEY key, CallRecord* record, const char* path, ServerEntry entry)
{
    char scratch[kMessageSize] = {};
    record->registers = 0;
    if (WriteCallRecord(key, *record, "", scratch)) entry(path, scratch);
}

// The dead call's new file has come under the name: the one there has its size and time.
int IsNewFileInPlace(const RecordedName& name)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    return GetFileAttributesExA(name.path, GetFileExInfoStandard, &data) && data.nFileSizeLow == name.newSizeLow
        && data.nFileSizeHigh == name.newSizeHigh && CompareFileTime(&data.ftLastWriteTime, &name.newWritten) == 0;
}

// One name's file as it was, and the file's registration: what the dead call's server
// wrote then names a file that registers itself again, or goes with the file the dead
// call put where there was none; a file in place that had not been replaced yet
// registers itself again just the same, which changes nothing of its own entries. A
// temporary copy goes also where the dead call had found that its name would not
// change after all.
int PutBackName(HKEY key, CallRecord* record, const RecordedName& name, int registers, const char* file,
                char* message)
{
    if (name.path[0] == '\0') return 1;
    int newInPlace = name.changesFile && IsNewFileInPlace(name);
    int cameNew = name.changesFile && name.kept[0] == '\0';
    if (registers && cameNew && newInPlace) AskServerOnce(key, record, name.path, UnregisterServerFile);
    if (!PutBackAfterDeadCall(name.path, name.changesFile ? name.kept : "", newInPlace)) {
        DWORD error = GetLastError();
        if (cameNew)
            return WriteMessage(message, "Could not change %s.\nA setup that ended halfway left %s in place. It "
                                         "cannot be taken away while another program holds it (error %lu). "
                                         "Nothing else was changed.\n", file, name.path, error);
        return WriteMessage(message, "Could not change %s.\nA setup that ended halfway left %s changed. It cannot "
                                     "be put back while another program holds it (error %lu); the copy that was "
                                     "in place is kept as %s. Nothing else was changed.\n",
                            file, name.path, error, name.kept);
    }
    if (registers && !cameNew && IsThere(name.path)) AskServerOnce(key, record, name.path, RegisterServerFile);
    return 1;
}

int PutBackCount(const RecordedName& name, const char* file, char* message)
{
    if (!name.changesCount || RestoreSharedCount(name.path, name.counted, name.count)) return 1;
    return WriteMessage(message, "Could not change %s.\nA setup that ended halfway changed the count of %s, and "
                                 "it cannot be put back (error %lu). Nothing else was changed.\n",
                        file, name.path, GetLastError());
}

// The dead call was a last uninstall that had taken its file away, after which it
// could not fail: what it left undone is done, and its counts stay as it lowered them.
// A file it renamed away, loaded by a program, goes at the restart.
int FinishTakingAway(const RecordNote& note, const char* file, char* message)
{
    const RecordedName& name = *note.name;
    if (!name.takenAway) return 1;
    int restartNeeded = 0;
    if (IsThere(name.path)) {
        if (TakeAwayRecorded(note, name.path, &restartNeeded)) return 1;
        return WriteMessage(message, "Could not change %s.\nA setup that ended halfway was taking %s away. It "
                                     "cannot be taken away while another program holds it (error %lu). Nothing "
                                     "else was changed.\n", file, name.path, GetLastError());
    }
    if (name.kept[0] != '\0' && IsThere(name.kept)) DiscardKept(name.kept);
    return 1;
}

// Each step finds out from the files themselves how far the dead call got, and leaves
// what it finds as the dead call had found it: an undo that dies halfway is done again
// by the next call, with the same result. Its changes go last.
int UndoDeadCall(HKEY key, const char* file, char* message)
{
    CallRecord record = {};
    DWORD type = 0;
    DWORD length = sizeof(record);
    LONG error = RegQueryValueExA(key, kChangesValue, nullptr, &type, reinterpret_cast<BYTE*>(&record), &length);
    // A call that died before its first change left nothing to put back.
    if (error == ERROR_FILE_NOT_FOUND) return 1;
    if (error != ERROR_SUCCESS || type != REG_BINARY || length != sizeof(record))
        return RecordMessage(message, file, error != ERROR_SUCCESS ? static_cast<DWORD>(error) : ERROR_INVALID_DATA);
    Terminate(&record.file);
    Terminate(&record.companion);
    // The file is the last a last uninstall changes but its .dep, or the only one when
    // the file was gone already.
    const RecordedName& last = record.file.takenAway ? record.file : record.companion;
    if (last.takenAway && !IsThere(last.path)) {
        if (!FinishTakingAway(RecordNote{key, &record, &record.file}, file, message)
            || !FinishTakingAway(RecordNote{key, &record, &record.companion}, file, message))
            return 0;
    } else if (!PutBackName(key, &record, record.file, record.registers, file, message)
               || !PutBackName(key, &record, record.companion, 0, file, message)
               || !PutBackCounts(record, file, message)) {
        return 0;
    }
    error = RegDeleteValueA(key, kChangesValue);
    return error == ERROR_SUCCESS ? 1 : RecordMessage(message, file, static_cast<DWORD>(error));
}

} // namespace

void RecordFileChange(RecordedName* name, const char* path, const char* kept, const char* source)
{
    snprintf(name->path, sizeof(name->path), "%s", path);
    name->changesFile = 1;
    snprintf(name->kept, sizeof(name->kept), "%s", kept);
    // A source that cannot be looked at is not copied either.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(source, GetFileExInfoStandard, &data)) return;
    name->newSizeLow = data.nFileSizeLow;
    name->newSizeHigh = data.nFileSizeHigh;
    name->newWritten = data.ftLastWriteTime;
}

void RecordTakenAway(RecordedName* name, const char* path)
{
    snprintf(name->path, sizeof(name->path), "%s", path);
    name->takenAway = 1;
}

void RecordCount(RecordedName* name, const char* path, int counted, DWORD count)
{
    snprintf(name->path, sizeof(name->path), "%s", path);
    name->changesCount = 1;
    name->counted = counted;
    name->count = count;
}

// The key goes with its value in one step where Windows has one (NT), otherwise value
// first: a value left behind would have the next call undo this one after it
// succeeded.
void RemoveCallRecord(HKEY key)
{
    auto deleteKey = reinterpret_cast<DeleteKeyFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
    if (deleteKey == nullptr || deleteKey(key) != 0) {
        RegDeleteValueA(key, kChangesValue);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kCallRecordKey);
    }
    RegCloseKey(key);
}

int BeginCallRecord(const char* file, CallRecordKey* key, char* message)
{
    HKEY opened = nullptr;
    DWORD disposition = 0;
    LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCallRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE | DELETE, nullptr, &opened, &disposition);
    if (error != ERROR_SUCCESS) return RecordMessage(message, file, static_cast<DWORD>(error));
    if (disposition == REG_OPENED_EXISTING_KEY && !UndoDeadCall(opened, file, message)) {
        // Kept for the next call, which tries again.
        RegCloseKey(opened);
        return 0;
    }
    key->reset(opened);
    return 1;
}

int WriteCallRecord(HKEY key, const CallRecord& record, const char* file, char* message)
{
    LONG error = RegSetValueExA(key, kChangesValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&record),
                                sizeof(record));
    if (error == ERROR_SUCCESS) return 1;
    return WriteMessage(message, "Could not change %s.\nThe record of this call cannot be written (error %ld). "
                                 "Nothing was changed.\n", file, error);
}

int NoteKeptName(const RecordNote& note, const char* kept)
{
    if (note.key == nullptr) return 1;
    if (kept == nullptr) {
        note.name->changesFile = 0;
    } else {
        snprintf(note.name->kept, sizeof(note.name->kept), "%s", kept);
    }
    char scratch[kMessageSize] = {};
    return WriteCallRecord(note.key, *note.record, "", scratch);
}

int TakeAwayRecorded(const RecordNote& note, const char* path, int* restartNeeded)
{
    if (DeleteNow(path)) return 1;
    // Loaded by a program: it leaves its name now and the disk at the next restart.
    char aside[MAX_PATH] = {};
    if (!IsThere(path) || !ChooseNameBeside(path, "", aside) || !NoteKeptName(note, aside)
        || !TakeAwayToKept(path, aside))
        return 0;
    if (DiscardKept(aside)) *restartNeeded = 1;
    return 1;
}

int PutBackCounts(const CallRecord& record, const char* file, char* message)
{
    return PutBackCount(record.file, file, message) && PutBackCount(record.companion, file, message);
}
