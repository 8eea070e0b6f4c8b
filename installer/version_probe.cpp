#include "installer/version_probe.h"

#include "common/holders.h"
#include "common/message.h"

#include <windows.h>

#include <io.h>

#include <cstdlib>

int GetFileVersionNumbers(const char* path, FileVersion* version, char* message)
{
    if (_access(path, 0) == -1) {
        WriteMessage(message, "The file %s does not exist.\n", path);
        return kVersionAbsent;
    }

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        WriteMessage(message, "Error reading from %s\n", path);
        return kVersionAbsent;
    }

    BlockHolder block(malloc(size));
    if (!block) return WriteMessage(message, "Error allocating memory.\n");

    if (!GetFileVersionInfoA(path, handle, size, block.get()))
        return WriteMessage(message, "Error getting version info from %s.\n", path);

    VS_FIXEDFILEINFO* record = nullptr;
    UINT length = 0;
    // A damaged resource can hand back a short or foreign block: its numbers would be
    // invented, and a wrong "newer" would overwrite the copy other products use.
    if (!VerQueryValueA(block.get(), "\\", reinterpret_cast<void**>(&record), &length)
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
