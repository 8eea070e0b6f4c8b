#ifndef QELSETUP_INSTALLER_SYSTEM_FILES_H
#define QELSETUP_INSTALLER_SYSTEM_FILES_H

#include "installer/call_record.h"

#include <windows.h>

// Putting a shared file in place and taking it away, so that other products never
// see it half written, a read-only attribute never strands it, a program that has it
// loaded never stops an update, and a call that fails can give back what it replaced.

// What a replacement does under one name, until the call has succeeded or failed.
struct ReplacedFile {
    char target[MAX_PATH];
    char kept[MAX_PATH];  // where the copy in place is kept meanwhile ("" if none is in place)
    int placed;           // 1 once the new file holds the target's name
    int found;            // what LookAtName saw under the name
    RecordNote note;      // where the call's record names the kept copy
    // 1: the copy is checked to be an image this module's processes can load before it
    // takes the name, which spares opening the source for it.
    int checksMachine;
};

// What a replacement finds under a name, looked at once with the setup lock held.
constexpr int kNameEmpty = 0;  // taken only while it stays empty
constexpr int kNameInUse = 1;  // loaded or open elsewhere (and on the 9x family any file): renamed aside
constexpr int kNameHeld = 2;   // any other file: kept under a second name, then replaced

// `nameFound` 0 says that the caller found no file under `path`.
int LookAtName(const char* path, int nameFound);

// The same for a file found under the name, from the error of an open for writing
// already tried (ERROR_SUCCESS when it opened).
int LookAtOpenError(DWORD openError);

// Readies a replacement of `target`, given what LookAtName saw under its name
// (`found`): when a file is in place, guesses the name it will be kept under, one
// that is not `taken`. Nothing changes on disk, so the name can be recorded before
// anything does; should a file hold it, the replacement records another before it
// tries that one. Returns 1, or 0 when no name can be formed.
int PrepareReplacement(const char* target, int found, const char* taken, ReplacedFile* replaced);

// Puts a copy of `source` under the prepared target's name in one rename, so the
// target is never left torn and never keeps a read-only attribute. A copy in place is
// kept under its prepared name until KeepReplacement or GiveBackReplaced; one that
// another program has loaded, and on the 9x family every one, is renamed there, which
// leaves the name empty between two renames. Returns 1, or writes "Could not copy
// file ..." (or, with checksMachine, the refusal of an image of another machine) and
// returns 0 with the target as it was.
int ReplaceSystemFile(const char* source, ReplacedFile* replaced, char* message);

// The call has succeeded: the kept copy goes, deleted, or, while a program has it
// loaded, at the next restart. Returns 1 when it waits for the restart.
int KeepReplacement(const ReplacedFile* replaced);

// The call has failed: the kept copy takes its name back, or, where nothing was in
// place, the new file goes. Returns 1; when the name cannot be given back, adds to
// `message` where the kept copy is and returns 0.
int GiveBackReplaced(const ReplacedFile* replaced, char* message);

// Chooses a name beside `path` that no file holds and that is not `taken`, for a file
// to be kept or set aside under: "~qlXXXXXX.tmp" in its folder, written into `name`
// (MAX_PATH bytes). Returns 1, or 0 with `name` empty.
int ChooseNameBeside(const char* path, const char* taken, char* name);

// Deletes `path` now, read-only or not. Returns 1, or 0 when it is still there (a
// program has it loaded) or never was.
int DeleteNow(const char* path);

// Moves the file out of its name to `kept` (from ChooseNameBeside), a rename that
// never replaces. Returns 1, or 0 with the file still under its name.
int TakeAwayToKept(const char* path, const char* kept);

// A kept copy that is no longer needed goes: deleted, or, while a program has it
// loaded, at the next restart. Returns 1 when it waits for the restart.
int DiscardKept(const char* kept);

// Puts back what a call that died left under `target`, given what it recorded: the
// file in place was kept as `kept`, or, with `kept` empty, nothing was in place.
// `newInPlace`: the file under the name is the dead call's new one. The kept copy
// takes the name back, or the file the dead call put where nothing was goes, and the
// temporary copy goes. Until the new file has come, a file under the kept name is the
// dead call's only when it is the same file as the one in place, or a whole copy of
// its own. Returns 1, or 0 (with GetLastError's error) when a program holds a file in
// the way; then nothing was lost, and the kept copy is still under its name.
int PutBackAfterDeadCall(const char* target, const char* kept, int newInPlace);

// Takes `path` away, read-only or not: deleted, or, while a program has it loaded,
// renamed aside and deleted at the next restart (*restartNeeded becomes 1). Returns 1,
// or 0 when it is still there under its name (or never was).
int DeleteSystemFile(const char* path, int* restartNeeded);

// The name under which Windows itself knows `path`, written into `nativeName`
// (MAX_PATH bytes): a 32-bit program on 64-bit Windows sees SysWOW64 under the name of
// the system directory, which the restart and file protection know by its own.
// Elsewhere `path` unchanged. Returns 1, or 0 when it cannot be formed.
int NativeName(const char* path, char* nativeName);

// 1 when this process has the file at `path` loaded as a module.
int IsLoadedByThisProgram(const char* path);

#endif
