#include "privilege/checks.h"

#include "common/holders.h"
#include "common/message.h"

#include <windows.h>

#include <cstdlib>

namespace {

// The process's own token, through the pseudo-handle of Windows 8 and later: read
// without being opened or closed. Older Windows refuse it as an invalid handle.
const HANDLE kCurrentProcessToken = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4));

// The groups of `token`: into `onStack` (`size` bytes, aligned for the SID pointers
// inside the list) when they fit, which spares asking for their size first, else into
// `buffer`. nullptr, with GetTokenInformation's error, when they cannot be read. No
// allocation here may throw out of an export.
const TOKEN_GROUPS* ReadGroups(HANDLE token, void* onStack, DWORD size, BlockHolder* buffer)
{
    DWORD length = 0;
    if (GetTokenInformation(token, TokenGroups, onStack, size, &length)) return static_cast<TOKEN_GROUPS*>(onStack);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return nullptr;
    DWORD rounded = (length + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*);
    buffer->reset(malloc(rounded));
    if (!*buffer || !GetTokenInformation(token, TokenGroups, buffer->get(), rounded, &length)) return nullptr;
    return static_cast<const TOKEN_GROUPS*>(buffer->get());
}

// A thread that impersonates is judged by its own token. Only a thread that has no
// token of its own (ERROR_NO_TOKEN) is judged by the process: falling back on any
// other error would let a restricted impersonating thread borrow the process's rights.
const TOKEN_GROUPS* ReadCallerGroups(void* onStack, DWORD size, BlockHolder* buffer)
{
    HANDLE raw = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &raw)) {
        HandleHolder thread(raw);
        return ReadGroups(thread.get(), onStack, size, buffer);
    }
    if (GetLastError() != ERROR_NO_TOKEN) return nullptr;
    const TOKEN_GROUPS* groups = ReadGroups(kCurrentProcessToken, onStack, size, buffer);
    if (groups != nullptr || GetLastError() != ERROR_INVALID_HANDLE) return groups;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return nullptr;
    HandleHolder process(raw);
    return ReadGroups(process.get(), onStack, size, buffer);
}

} // namespace

int GetWindowsFamily()
{
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&info)) return kFamilyUndetermined;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return info.dwMajorVersion <= 4 ? kFamilyOldNt : kFamilyNt5;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return kFamily9x;
    return kFamilyUndetermined;
}

int IsBuiltinGroupMember(unsigned long rid)
{
    void* onStack[128] = {};
    BlockHolder buffer;
    const TOKEN_GROUPS* groups = ReadCallerGroups(onStack, sizeof(onStack), &buffer);
    if (groups == nullptr) return -1;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID rawSid = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, rid,
                                  0, 0, 0, 0, 0, 0, &rawSid))
        return -1;
    SidHolder groupSid(rawSid);

    // A group grants something only while the token holds it enabled. An
    // administrator's program that was not started elevated, or one run with a
    // restricted token, holds Administrators and Power Users for denying alone: Windows
    // refuses it the system directory and HKLM, and so CheckTokenMembership does not
    // count such an entry. Its attributes are read here instead of calling it, since
    // NT 4.0's ADVAPI32 lacks it; NT 4.0 holds every group enabled anyway.
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const DWORD attributes = groups->Groups[i].Attributes;
        if ((attributes & SE_GROUP_ENABLED) == 0 || (attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0) continue;
        if (EqualSid(groups->Groups[i].Sid, groupSid.get())) return 0;
    }
    return -1;
}

int IsAdministratorOrPowerUser()
{
    // An administrator is asked about only once.
    if (IsBuiltinGroupMember(DOMAIN_ALIAS_RID_ADMINS) == 0) return 0;
    return IsBuiltinGroupMember(DOMAIN_ALIAS_RID_POWER_USERS);
}

int CheckConfigurePermission(char* message)
{
    // The 9x family has no tokens to ask; everyone there may configure the machine.
    if (GetWindowsFamily() == kFamily9x) return 1;
    if (IsAdministratorOrPowerUser() == 0) return 1;
    return WriteMessage(message, "%s",
                        "You do not have permissions to configure this product.\n"
                        "This configuration updates system files and registry entries\n"
                        "and requires that you have administrator privileges on this machine.\n");
}
