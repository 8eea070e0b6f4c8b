#ifndef QELSETUP_INSTALLER_FILE_SYSTEM_VIEW_H
#define QELSETUP_INSTALLER_FILE_SYSTEM_VIEW_H

// The system directory an operation acts on is the one of the module's own bitness,
// whatever the calling thread has set. A 32-bit caller on 64-bit Windows may have
// switched WOW64 file-system redirection off (NSIS scripts do, to place 64-bit files):
// the 32-bit module would then replace and delete the 64-bit system's files under
// names that SharedDLLs counts for 32-bit ones.

// The calling thread's setting, to be given back when the operation ends.
struct CallerView {
    int changed;  // 1 once redirection was switched on for the operation
    void* state;  // what Wow64DisableWow64FsRedirection said the caller had
};

// Switches redirection on for the rest of the operation, where there is any (a 32-bit
// module under WOW64). Returns 1, or writes a message and returns 0 with the caller's
// setting as it was.
int TakeOwnView(CallerView* caller, char* message);

// Gives the caller exactly the setting it had.
void GiveBackView(CallerView* caller);

#endif
