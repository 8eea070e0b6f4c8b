#include "installer/self_registration.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/target_paths.h"

#include <windows.h>
#include <ole2.h>

#include <cstdlib>
#include <cstring>

namespace {

struct RegistrationKind {
    const char* entryPoint;  // "DllRegisterServer" or "DllUnregisterServer"
    const char* verb;        // "register" or "unregister"
};

typedef HRESULT(STDAPICALLTYPE* ServerEntryPoint)();

// Loads exactly the file that was named: a bare relative name would otherwise be
// looked for along the DLL search path, the application's folder first, and a
// different file of that name could be loaded and run. The altered search path lets
// the server find its own dependencies beside it.
HMODULE LoadServerFile(const char* path)
{
    char fullPath[MAX_PATH] = {};
    DWORD length = GetFullPathNameA(path, MAX_PATH, fullPath, nullptr);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    return LoadLibraryExA(fullPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int RunServerEntryPoint(const char* path, const RegistrationKind& kind, char* message)
{
    HRESULT started = OleInitialize(nullptr);
    if (FAILED(started))
        return WriteMessage(message, "Could not %s the file %s.\nUnable to initialize OLE.",
                            kind.verb, path);
    OleGuard ole(&started);

    LibraryHolder module(LoadServerFile(path));
    if (!module)
        return WriteMessage(message, "Could not %s the file %s.\nError loading file.", kind.verb,
                            path);

    // A file with nothing to register is not an error.
    auto entryPoint = reinterpret_cast<ServerEntryPoint>(
        reinterpret_cast<void (*)()>(GetProcAddress(module.get(), kind.entryPoint)));
    if (entryPoint == nullptr) return 1;

    if (FAILED(entryPoint()))
        return WriteMessage(message, "Could not %s the file %s.\nError running %s function.",
                            kind.verb, path, kind.entryPoint);
    return 1;
}

int HandleServerFile(const char* path, const RegistrationKind& kind, char* message)
{
    // Every part of a path that fits the module's limit fits its 256-byte buffer.
    if (strlen(path) > static_cast<size_t>(kMaxPathLength))
        return WriteMessage(message, "Could not %s the file %.200s...\nError loading file.",
                            kind.verb, path);
    char extension[kPathBufferSize] = {};
    _splitpath(path, nullptr, nullptr, nullptr, extension);

    if (_stricmp(extension, ".dll") == 0 || _stricmp(extension, ".ocx") == 0)
        return RunServerEntryPoint(path, kind, message);
    if (_stricmp(extension, ".tlb") == 0)
        return WriteMessage(message, "Could not %s the file %s.\n%s files not handled yet.",
                            kind.verb, path, extension);
    // Not an error: the caller's file is in place, we just cannot register it.
    WriteMessage(message, "Unknown file type.  Could not %s the file %s.\n%s files not handled yet.",
                 kind.verb, path, extension);
    return 1;
}

} // namespace

int RegisterServerFile(const char* path, char* message)
{
    return HandleServerFile(path, RegistrationKind{"DllRegisterServer", "register"}, message);
}

int UnregisterServerFile(const char* path, char* message)
{
    return HandleServerFile(path, RegistrationKind{"DllUnregisterServer", "unregister"}, message);
}
