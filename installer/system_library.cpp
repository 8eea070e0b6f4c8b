#include "installer/system_library.h"

#include <cstdio>
#include <cstring>

namespace {

// The full path of `name` in the system directory; 0 when it cannot be had.
int MakeSystemLibraryPath(const char* name, char* path)
{
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    return length != 0 && length < MAX_PATH
        && snprintf(path + length, MAX_PATH - length, "\\%s", name) < static_cast<int>(MAX_PATH - length);
}

// The altered search path puts the DLL's own folder, the system directory, in place
// of the calling program's for the DLLs it imports (9x and NT 4.0 have it).
HMODULE LoadFromPath(const char* path) { return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH); }

} // namespace

HMODULE LoadSystemLibrary(const char* name)
{
    char path[MAX_PATH] = {};
    return MakeSystemLibraryPath(name, path) ? LoadFromPath(path) : nullptr;
}

HMODULE LoadSystemLibraryToKeep(const char* name)
{
    char path[MAX_PATH] = {};
    if (!MakeSystemLibraryPath(name, path)) return nullptr;
    // By its full path only the system directory's copy answers, however a 32-bit
    // process on 64-bit Windows is told that copy's name (SysWOW64).
    HMODULE loadedBefore = GetModuleHandleA(path);
    HMODULE library = LoadFromPath(path);
    // The reference that keeps it loaded: never given back, by design.
    // cppcheck-suppress leakReturnValNotUsed
    if (library != nullptr && library != loadedBefore) LoadFromPath(path);
    return library;
}
