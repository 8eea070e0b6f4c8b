#ifndef QELSETUP_INSTALLER_SYSTEM_LIBRARY_H
#define QELSETUP_INSTALLER_SYSTEM_LIBRARY_H

#include <windows.h>

// A setup runs elevated, often from a folder anyone can write to (a download folder):
// a DLL planted there under the name of one of Windows' own that is no KnownDLL would
// run with the setup's rights. So the DLLs of Windows the module needs are never
// imported nor loaded by name, but loaded from the system directory by full path,
// with the system directory searched first for what they import. The process's own
// DLL search settings belong to the host and stay as they are.

// Loads the DLL `name` (such as "sfc.dll") from the system directory. nullptr when the
// system directory cannot be read or the DLL is not there.
HMODULE LoadSystemLibrary(const char* name);

// The same, for a DLL that a call would otherwise load and unload each time at a cost
// beyond the rest of the call: when the process had no copy of it loaded, a second
// reference is taken and never given back, so that it stays loaded for the process's
// later calls. The one returned is released as ever.
HMODULE LoadSystemLibraryToKeep(const char* name);

// The export `name` of a loaded `library`, as a pointer to a function of type Function;
// nullptr when it has none.
template <typename Function>
Function FindLibraryFunction(HMODULE library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

#endif
