#include "installer/version_probe.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/system_library.h"

#include <windows.h>

#include <io.h>

#include <cstdlib>

namespace {

// VERSION.dll's functions, looked up in the system directory's copy: VERSION.dll is no
// KnownDLL, and a module that imported it would take any version.dll found beside the
// calling program.
struct VersionFunctions {
    decltype(&GetFileVersionInfoSizeA) getFileVersionInfoSize;
    decltype(&GetFileVersionInfoA) getFileVersionInfo;
    decltype(&VerQueryValueA) verQueryValue;
};

// 1: all three found in `library`.
int FindVersionFunctions(HMODULE library, VersionFunctions* functions)
{
    functions->getFileVersionInfoSize =
        FindLibraryFunction<decltype(&GetFileVersionInfoSizeA)>(library, "GetFileVersionInfoSizeA");
    functions->getFileVersionInfo = FindLibraryFunction<decltype(&GetFileVersionInfoA)>(library, "GetFileVersionInfoA");
    functions->verQueryValue = FindLibraryFunction<decltype(&VerQueryValueA)>(library, "VerQueryValueA");
    return functions->getFileVersionInfoSize && functions->getFileVersionInfo && functions->verQueryValue;
}

// GetFileVersionInfoSizeA's errors for a file that was read through and has no version
// resource: no image at all, or an image without one. Wine says
// ERROR_RESOURCE_DATA_NOT_FOUND for all of these (a text file, an empty file, a bare
// "MZ", an image without resources); Windows names the part that is missing (the
// resource section, type, name or language) or the format (an empty file cannot even
// be mapped). Where a program runs as Windows 98, Wine says ERROR_FILE_NOT_FOUND for
// a text file, and VERSION.dll of old systems may set no error at all; a file gone
// since it was found is absent anyway. Every other error
// (a sharing violation, access denied, a directory) means the file could not be read,
// and says nothing of its version.
bool MeansNoVersionResource(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BAD_FORMAT:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_FILE_INVALID:
    case ERROR_RESOURCE_DATA_NOT_FOUND:
    case ERROR_RESOURCE_TYPE_NOT_FOUND:
    case ERROR_RESOURCE_NAME_NOT_FOUND:
    case ERROR_RESOURCE_LANG_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

} // namespace

int GetFileVersionNumbers(const char* path, FileVersion* version, char* message)
{
    if (_access(path, 0) == -1) {
        WriteMessage(message, "The file %s does not exist.\n", path);
        return kVersionAbsent;
    }

    // Loaded only for a file that is there. Failing to load them is an error, not a
    // missing version: a target taken for missing would be replaced whatever its version.
    LibraryHolder library(LoadSystemLibrary("version.dll"));
    VersionFunctions versionDll = {};
    if (!library || !FindVersionFunctions(library.get(), &versionDll))
        return WriteMessage(message, "Error loading version.dll from the system directory to read %s.\n", path);

    DWORD handle = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD size = versionDll.getFileVersionInfoSize(path, &handle);
    if (size == 0) {
        DWORD error = GetLastError();
        // A copy that a scanner holds open is no copy without a version: taken for one,
        // it would be overwritten by an older one.
        if (!MeansNoVersionResource(error))
            return WriteMessage(message, "Error reading from %s\nThe file cannot be read (error %lu).\n", path,
                                error);
        WriteMessage(message, "Error reading from %s\n", path);
        return kVersionAbsent;
    }

    BlockHolder block(malloc(size));
    if (!block) return WriteMessage(message, "Error allocating memory.\n");

    if (!versionDll.getFileVersionInfo(path, handle, size, block.get()))
        return WriteMessage(message, "Error getting version info from %s.\n", path);

    VS_FIXEDFILEINFO* record = nullptr;
    UINT length = 0;
    // A damaged resource can hand back a short or foreign block: its numbers would be
    // invented, and a wrong "newer" would overwrite the copy other products use.
    if (!versionDll.verQueryValue(block.get(), "\\", reinterpret_cast<void**>(&record), &length)
        || record == nullptr || length < sizeof(VS_FIXEDFILEINFO)
        || record->dwSignature != VS_FFI_SIGNATURE)
        return WriteMessage(message, "Error getting version number from %s.\n", path);

    version->major = HIWORD(record->dwFileVersionMS);
    version->minor = LOWORD(record->dwFileVersionMS);
    version->build = HIWORD(record->dwFileVersionLS);
    version->revision = LOWORD(record->dwFileVersionLS);
    return 1;
}

int IsVersionNewer(const FileVersion& a, const FileVersion& b)
{
    if (a.major != b.major) return a.major > b.major ? 1 : 0;
    if (a.minor != b.minor) return a.minor > b.minor ? 1 : 0;
    if (a.build != b.build) return a.build > b.build ? 1 : 0;
    return a.revision > b.revision ? 1 : 0;
}
