#include "installer/shared_count.h"

#include "common/holders.h"
#include "common/message.h"

#include <windows.h>

#include <cstring>

namespace {

const char kSharedDllsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// Counts are read into a 16-byte buffer: a longer value (a stray string, say) is not
// a count of ours and is treated as absent.
constexpr DWORD kCountBufferSize = 16;

HKEY OpenSharedDllsKey()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// Reads the count's first four bytes, little-endian, whatever type the value has.
// Returns 1 when the value exists and fits.
int ReadCount(HKEY key, const char* path, DWORD* count)
{
    BYTE buffer[kCountBufferSize] = {};
    DWORD length = kCountBufferSize;
    if (RegQueryValueExA(key, path, nullptr, nullptr, buffer, &length) != ERROR_SUCCESS) return 0;
    memcpy(count, buffer, sizeof(*count));
    return 1;
}

// Always a well-formed 4-byte REG_DWORD, even when the value we read was a
// shorter or differently typed one.
LONG WriteCount(HKEY key, const char* path, DWORD count)
{
    return RegSetValueExA(key, path, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                          sizeof(count));
}

} // namespace

HKEY OpenSharedCounts() { return OpenSharedDllsKey(); }

int ReadCountIn(HKEY key, const char* path, DWORD* count)
{
    *count = 0;
    return key != nullptr && ReadCount(key, path, count) ? 1 : 0;
}

int IncrementSharedCount(const char* path, int priorCopyFound, char* message)
{
    KeyHolder key(OpenSharedDllsKey());
    return RaiseCountIn(key.get(), path, priorCopyFound, message);
}

// Read again as it is raised: an installer that does not take the setup lock may have
// counted meanwhile.
int RaiseCountIn(HKEY key, const char* path, int priorCopyFound, char* message)
{
    if (key == nullptr)
        return WriteMessage(message,
                            "Error accessing registry for %s.\nCould not increment registry counter.\n",
                            path);

    DWORD count = 0;
    if (ReadCount(key, path, &count)) {
        // Wrapping to 0 would let the next uninstall remove a file others still use.
        if (count != 0xFFFFFFFFu) ++count;
    } else {
        count = priorCopyFound == 1 ? 2 : 1;
    }

    if (WriteCount(key, path, count) != ERROR_SUCCESS)
        return WriteMessage(message,
                            "Error setting registry key for %s.\nCould not increment registry counter.\n",
                            path);
    return 1;
}

long long DecrementSharedCount(const char* path, char* message)
{
    KeyHolder key(OpenSharedDllsKey());
    return LowerCountIn(key.get(), path, message);
}

// Read again as it is lowered, as it is raised.
long long LowerCountIn(HKEY key, const char* path, char* message)
{
    if (key == nullptr) {
        WriteMessage(message,
                     "Error accessing registry for %s.\nCould not decrement registry counter.\n", path);
        return kCountFailed;
    }

    DWORD count = 0;
    // A file without a count is used by nobody else.
    if (!ReadCount(key, path, &count)) return 0;

    if (count > 1) {
        if (WriteCount(key, path, count - 1) != ERROR_SUCCESS) {
            WriteMessage(message,
                         "Error setting registry key for %s.\nCould not decrement registry counter.\n",
                         path);
            return kCountFailed;
        }
        return count - 1;
    }

    if (RegDeleteValueA(key, path) != ERROR_SUCCESS) {
        WriteMessage(message, "Error deleting registry key for %s.\n", path);
        return kCountFailed;
    }
    return 0;
}

int ReadSharedCount(HKEY key, const char* path, int* exists, DWORD* count, char* message)
{
    *exists = ReadCountIn(key, path, count);
    if (key != nullptr) return 1;
    return WriteMessage(message, "Error accessing registry for %s.\nCould not decrement registry counter.\n", path);
}

int ReadOthersCount(const char* path, int* exists, DWORD* count, char* message)
{
    *exists = 0;
    *count = 0;
    HKEY opened = nullptr;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_QUERY_VALUE, &opened);
    if (error == ERROR_FILE_NOT_FOUND) return 1;
    if (error != ERROR_SUCCESS)
        return WriteMessage(message, "Error accessing registry for %s.\nCould not read registry counter.\n", path);
    KeyHolder key(opened);
    *exists = ReadCount(key.get(), path, count);
    return 1;
}

int RestoreSharedCount(const char* path, int exists, DWORD count)
{
    HKEY opened = nullptr;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &opened);
    // A machine without the key has no count to put back, only none.
    if (error == ERROR_FILE_NOT_FOUND && !exists) return 1;
    if (error == ERROR_SUCCESS) {
        KeyHolder key(opened);
        error = exists ? WriteCount(key.get(), path, count) : RegDeleteValueA(key.get(), path);
    }
    if (error == ERROR_SUCCESS || (!exists && error == ERROR_FILE_NOT_FOUND)) return 1;
    SetLastError(static_cast<DWORD>(error));
    return 0;
}
