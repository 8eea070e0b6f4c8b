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

// Short names have the 8.3 form: a name of any other form opens only the file whose
// long name it is, and nothing need be looked up. No byte of a double-byte character
// is a dot.
int CouldBeShortName(const char* name)
{
    const char* dot = strchr(name, '.');
    size_t length = strlen(name);
    size_t base = dot != nullptr ? static_cast<size_t>(dot - name) : length;
    if (base == 0 || base > 8) return 0;
    return dot == nullptr || (strchr(dot + 1, '.') == nullptr && length - base - 1 <= 3);
}

// The long name of the file that `path` opens, written into `found` (MAX_PATH bytes)
// as the folder of `path` joined with it. Returns 1 when `name`, ignoring case, is
// not that file's name; 0 when it is, or when nothing is there (*present then 0).
int IsAnotherName(const char* path, const char* name, char* found, int* present)
{
    // An empty name is the usual case of an install, and the cheaper question tells it:
    // Windows need not list the folder to say that nothing is there.
    *present = 1;
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            *present = 0;
            return 0;
        }
    }
    if (!CouldBeShortName(name)) return 0;
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

int CheckOneNameOneFile(const char* file, const TargetPaths& paths, int* targetFound, int* companionFound,
                        char* message)
{
    char found[MAX_PATH] = {};
    *companionFound = 0;
    if (IsAnotherName(paths.targetPath, FilePart(file), found, targetFound)
        || (paths.isOcx && IsAnotherName(paths.companionPath, FilePart(paths.companionPath), found, companionFound)))
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
