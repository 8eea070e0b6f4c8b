#include "installer/target_paths.h"

#include "common/message.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int MakeCompanionName(char* path)
{
    size_t length = strlen(path);
    if (length < 4 || _stricmp(path + length - 4, ".ocx") != 0) return 0;
    memcpy(path + length - 4, ".dep", 4);
    return 1;
}

namespace {

// Windows opens "Chart.ocx " and "Chart.ocx." as Chart.ocx, and "Chart.ocx:x" as a
// stream of Chart.ocx, while the SharedDLLs value keeps the name as given: one
// product's uninstall would then delete the file another product's count protects.
int CheckLastPart(const char* file, char* message)
{
    const char* lastPart = file;
    for (const char* c = file; *c; ++c)
        if (*c == '\\' || *c == '/') lastPart = c + 1;
    // A drive letter is the only colon a name may hold.
    if (lastPart == file && isalpha(static_cast<unsigned char>(file[0])) && file[1] == ':')
        lastPart += 2;
    if (strchr(lastPart, ':'))
        return WriteMessage(message,
                            "The file name '%s' holds a ':', which names a stream of another file.\n",
                            file);
    size_t length = strlen(lastPart);
    if (length > 0 && (lastPart[length - 1] == ' ' || lastPart[length - 1] == '.'))
        return WriteMessage(message,
                            "The file name '%s' ends in a space or a dot, which Windows drops when "
                            "it opens the file.\n",
                            file);
    return 1;
}

} // namespace

int MakeTargetPaths(const char* file, int useSystemDir, TargetPaths* paths, char* message)
{
    // An empty name would become the SharedDLLs key's default value, or the system
    // directory itself, and uninstall would act on either.
    if (file == nullptr || file[0] == '\0') return WriteMessage(message, "No file name was given.\n");
    if (strlen(file) > static_cast<size_t>(kMaxPathLength))
        return WriteMessage(message,
                            "The file name %.200s... is longer than %d characters.\n",
                            file, kMaxPathLength);
    if (!CheckLastPart(file, message)) return 0;

    if (useSystemDir != 0) {
        // The name is at most 255 characters, so every part fits its 256-byte buffer.
        char baseName[kPathBufferSize] = {};
        char extension[kPathBufferSize] = {};
        _splitpath(file, nullptr, nullptr, baseName, extension);
        if (baseName[0] == '\0' && extension[0] == '\0')
            return WriteMessage(message, "The name %s does not name a file.\n", file);

        char systemDirectory[MAX_PATH] = {};
        UINT length = GetSystemDirectoryA(systemDirectory, MAX_PATH);
        // Without it the target would land at the root of the current drive,
        // where uninstall would then delete.
        if (length == 0 || length >= MAX_PATH)
            return WriteMessage(message, "Could not read the Windows system directory for %s.\n",
                                file);

        int written = snprintf(paths->targetPath, kPathBufferSize, "%s\\%s%s", systemDirectory,
                               baseName, extension);
        if (written < 0 || written > kMaxPathLength)
            return WriteMessage(message, "The path %s\\%s%s is longer than %d characters.\n",
                                systemDirectory, baseName, extension, kMaxPathLength);
    } else {
        snprintf(paths->targetPath, kPathBufferSize, "%s", file);
    }

    memcpy(paths->companionPath, paths->targetPath, kPathBufferSize);
    paths->isOcx = MakeCompanionName(paths->companionPath);
    return 1;
}
