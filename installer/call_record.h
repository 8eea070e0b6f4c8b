#ifndef QELSETUP_INSTALLER_CALL_RECORD_H
#define QELSETUP_INSTALLER_CALL_RECORD_H

#include "common/holders.h"

#include <windows.h>

// A setup can die halfway: a server's DllRegisterServer crashes inside its process, the
// user ends it, the power goes. Before its first change each call writes what it is
// about to change, and what was there, under HKLM\SOFTWARE\qelsetup\Call in progress
// (in the module's own registry view); the record goes when the call ends. It is the
// only state the module keeps between calls, and only after one that died. The next
// call that finds one puts back what the dead call changed before it does its own
// work: a dead call counts as one that failed.

// One name a call changes: the file under it, its count, or both.
struct RecordedName {
    char path[MAX_PATH];  // also its SharedDLLs value name
    int changesFile;      // 1: a new file comes under the name
    char kept[MAX_PATH];  // where the file in place is kept meanwhile, "" if none is
    // With changesFile, the new file's size and time, which its copy under the name
    // keeps: the next call tells by them whether it has come.
    DWORD newSizeLow;
    DWORD newSizeHigh;
    FILETIME newWritten;
    // 1: the last uninstall takes the file away. Once it is gone the call cannot fail
    // any more: the next call finishes it instead. `kept` then names where a file that
    // a program has loaded was renamed to, to be deleted at the restart.
    int takenAway;
    int changesCount;     // 1: its count is raised or lowered, and was:
    int counted;          //    whether the value existed
    DWORD count;
};

struct CallRecord {
    RecordedName file;
    RecordedName companion;  // a control's .dep; its path is "" for any other file
    int registers;           // 1: the file in the system directory is (un)registered
};

// Fills in that `name` (the path `path`) changes its file to a copy of `source`:
// `kept` is where the file in place is kept meanwhile, "" when none is.
void RecordFileChange(RecordedName* name, const char* path, const char* kept, const char* source);

// Fills in that the last uninstall takes away the file at `path`.
void RecordTakenAway(RecordedName* name, const char* path);

// Fills in that `name` (the path `path`) changes its count, which `counted` says was
// there, with `count`.
void RecordCount(RecordedName* name, const char* path, int counted, DWORD count);

// Where a step that chooses a name as it goes notes it in the record of its call.
struct RecordNote {
    HKEY key;            // nullptr: the call keeps no record
    CallRecord* record;  // as written, and written again with the name noted
    RecordedName* name;
};

// Deletes the record when the call ends, in success or failure, after the failed
// call's own give-back.
void RemoveCallRecord(HKEY key);
using CallRecordKey = std::unique_ptr<HKEY, Release<HKEY, RemoveCallRecord>>;

// Under the machine-wide lock, before a call's own work: makes the key of this call's
// record, held in `key` until the call ends. When a dead call's record is there, first
// puts back what that call changed. Returns 1, or writes a message naming `file` and
// what is in the way, and returns 0 with the record kept for the next call; nothing is
// lost either way.
int BeginCallRecord(const char* file, CallRecordKey* key, char* message);

// Writes `record` under `key` before the call's first change. Returns 1, or writes a
// message naming `file` and returns 0, with nothing changed.
int WriteCallRecord(HKEY key, const CallRecord& record, const char* file, char* message);

// Records that the file under the noted name is kept as `kept`, before the call makes
// anything under that name; with `kept` nullptr, that the file under the name does not
// change after all. Returns 1, or 0 when the record cannot be written.
int NoteKeptName(const RecordNote& note, const char* kept);

// Takes the file at `path` (the noted name) away: deleted, or, while a program has it
// loaded, renamed to a name the record holds first and deleted at the next restart
// (*restartNeeded becomes 1). Returns 1, or 0 when it is still there under its name
// (or never was).
int TakeAwayRecorded(const RecordNote& note, const char* path, int* restartNeeded);

// Puts the counts of `record` back as they were. Returns 1, or writes a message naming
// `file` and returns 0.
int PutBackCounts(const CallRecord& record, const char* file, char* message);

#endif
