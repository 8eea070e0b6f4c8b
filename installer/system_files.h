#ifndef QELSETUP_INSTALLER_SYSTEM_FILES_H
#define QELSETUP_INSTALLER_SYSTEM_FILES_H

#include <windows.h>

// Putting a shared file in place and taking it away, so that other products never
// see it half written, a read-only attribute never strands it, a program that has it
// loaded never stops an update, and a call that fails can give back what it replaced.

// What a replacement did under one name, until the call has succeeded or failed.
struct ReplacedFile {
    char target[MAX_PATH];
    char kept[MAX_PATH];  // the copy that was in place, under a name of its own ("" if none was)
    int placed;           // 1 once the new file holds the target's name
};

// Puts a copy of `source` under the name `target` in one rename, so the target is
// never left torn and never keeps a read-only attribute. A copy already in place is
// kept under a name of its own (in `replaced`) until KeepReplacement or
// GiveBackReplaced; one that another program has loaded, and on the 9x family every
// one, is renamed aside for it, which leaves the name empty between two renames.
// `found` is what LookAtName saw under the target's name. Returns 1, or writes
// "Could not copy file ..." and returns 0 with the target as it was.
int ReplaceSystemFile(const char* source, const char* target, int found, ReplacedFile* replaced, char* message);

// What a replacement finds under a name, looked at once with the setup lock held.
constexpr int kNameEmpty = 0;  // taken only while it stays empty
constexpr int kNameInUse = 1;  // loaded or open elsewhere (and on the 9x family any file): renamed aside
constexpr int kNameHeld = 2;   // any other file: kept under a second name, then replaced

// `nameFound` 0 says that the caller found no file under `path`.
int LookAtName(const char* path, int nameFound);

// The same for a file found under the name, from the error of an open for writing
// already tried (ERROR_SUCCESS when it opened).
int LookAtOpenError(DWORD openError);

// The call has succeeded: the kept copy goes, deleted, or, while a program has it
// loaded, at the next restart. Returns 1 when it waits for the restart.
int KeepReplacement(const ReplacedFile* replaced);

// The call has failed: the kept copy takes its name back, or, where nothing was in
// place, the new file goes. Returns 1; when the name cannot be given back, adds to
// `message` where the kept copy is and returns 0.
int GiveBackReplaced(const ReplacedFile* replaced, char* message);

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
