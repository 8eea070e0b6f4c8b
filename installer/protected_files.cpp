#include "installer/protected_files.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/system_library.h"
#include "installer/system_files.h"
#include "privilege/checks.h"

#include <windows.h>

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
    // sfc.dll forwards its question to sfc_os.dll (XP and later; 2000 has none and
    // answers itself), and the loader resolves a forward along the search path, the
    // calling program's folder first, whatever sfc.dll was loaded with. Loaded first
    // from the system directory, sfc_os.dll is the one the forward finds. Both stay
    // loaded after the first question: loading them costs more than the rest of an
    // install, and every later call would pay it again.
    LibraryHolder sfcOs(LoadSystemLibraryToKeep("sfc_os.dll"));
    LibraryHolder sfc(LoadSystemLibraryToKeep("sfc.dll"));
    if (!sfc) return answer;
    auto isFileProtected = FindLibraryFunction<SfcIsFileProtectedFunction>(sfc.get(), "SfcIsFileProtected");
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
