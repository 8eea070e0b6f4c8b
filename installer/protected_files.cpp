#include "installer/protected_files.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/system_files.h"
#include "privilege/checks.h"

#include <windows.h>

#include <cstdio>

namespace {

// sfc.dll's export: its first argument is an RPC handle that is always NULL.
typedef BOOL(WINAPI* SfcIsFileProtectedFunction)(HANDLE, LPCWSTR);

// The question takes a wide path; ours are in the system code page. Windows knows a
// 32-bit copy by its SysWOW64 name: under the system directory's it would answer for
// the 64-bit file.
int IsProtected(SfcIsFileProtectedFunction isFileProtected, const char* path)
{
    char nativeName[MAX_PATH] = {};
    if (!NativeName(path, nativeName)) return 0;
    WCHAR wide[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, nativeName, -1, wide, MAX_PATH) == 0) return 0;
    return isFileProtected(nullptr, wide) != FALSE;
}

} // namespace

ProtectedFiles AskWhichAreProtected(const TargetPaths& paths, int useSystemDir)
{
    ProtectedFiles answer = {0, 0};
    if (useSystemDir == 0 || GetWindowsFamily() != kFamilyNt5) return answer;
    // From the system directory by its full name: a sfc.dll planted beside the
    // calling program must not be the one asked (and run).
    char sfcPath[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(sfcPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH
        || snprintf(sfcPath + length, MAX_PATH - length, "\\sfc.dll") >= static_cast<int>(MAX_PATH - length))
        return answer;
    LibraryHolder sfc(LoadLibraryA(sfcPath));
    if (!sfc) return answer;
    auto isFileProtected = reinterpret_cast<SfcIsFileProtectedFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(sfc.get(), "SfcIsFileProtected")));
    if (isFileProtected == nullptr) return answer;
    answer.target = IsProtected(isFileProtected, paths.targetPath);
    if (paths.isOcx) answer.companion = IsProtected(isFileProtected, paths.companionPath);
    return answer;
}

int WriteProtectedNotice(char* message, const char* targetPath)
{
    WriteMessage(message, "Windows protects the file %s and keeps its own copy: it was neither replaced "
                          "nor registered.\n", targetPath);
    return 1;
}
