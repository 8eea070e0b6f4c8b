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

const char* FilePart(const char* path)
{
    const char* part = path;
    // A drive letter is the only colon a name may hold.
    if (isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') part += 2;
    for (const char* c = part; *c; ++c) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*c)) && c[1] != '\0')
            ++c;
        else if (*c == '\\' || *c == '/')
            part = c + 1;
    }
    return part;
}

namespace {

// Windows opens "Chart.ocx " and "Chart.ocx." as Chart.ocx, and "Chart.ocx:x" as a
// stream of Chart.ocx, while the SharedDLLs value keeps the name as given: one
// product's uninstall would then delete the file another product's count protects.
// No byte of a double-byte character is a space, a dot or a colon.
int CheckLastPart(const char* file, char* message)
{
    const char* lastPart = FilePart(file);
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

// The long name of the file that `path` opens, written into `found` (MAX_PATH bytes)
// as the folder of `path` joined with it. Returns 1 when `name`, ignoring case, is
// not that file's name; 0 when it is, or when nothing is there.
int IsAnotherName(const char* path, const char* name, char* found)
{
    WIN32_FIND_DATAA data = {};
    HANDLE search = FindFirstFileA(path, &data);
    if (search == INVALID_HANDLE_VALUE) return 0;
    FindClose(search);
    if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, name, -1, data.cFileName, -1)
        == CSTR_EQUAL)
        return 0;
    int folderLength = static_cast<int>(FilePart(path) - path);
    snprintf(found, MAX_PATH, "%.*s%s", folderLength, path, data.cFileName);
    return 1;
}

} // namespace

int CheckOneNameOneFile(const char* file, const TargetPaths& paths, char* message)
{
    char found[MAX_PATH] = {};
    if (IsAnotherName(paths.targetPath, FilePart(file), found)
        || (paths.isOcx && IsAnotherName(paths.companionPath, FilePart(paths.companionPath), found)))
        return WriteMessage(message, "The file name '%s' is another name of %s, which is counted under its own "
                                     "name.\n", file, found);
    return 1;
}

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
        const char* name = FilePart(file);
        if (name[0] == '\0') return WriteMessage(message, "The name %s does not name a file.\n", file);

        char systemDirectory[MAX_PATH] = {};
        UINT length = GetSystemDirectoryA(systemDirectory, MAX_PATH);
        // Without it the target would land at the root of the current drive,
        // where uninstall would then delete.
        if (length == 0 || length >= MAX_PATH)
            return WriteMessage(message, "Could not read the Windows system directory for %s.\n",
                                file);

        int written = snprintf(paths->targetPath, kPathBufferSize, "%s\\%s", systemDirectory, name);
        if (written < 0 || written > kMaxPathLength)
            return WriteMessage(message, "The path %s\\%s is longer than %d characters.\n", systemDirectory,
                                name, kMaxPathLength);
    } else {
        snprintf(paths->targetPath, kPathBufferSize, "%s", file);
    }

    memcpy(paths->companionPath, paths->targetPath, kPathBufferSize);
    paths->isOcx = MakeCompanionName(paths->companionPath);
    return 1;
}
