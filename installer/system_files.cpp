#include "installer/system_files.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/target_paths.h"
#include "privilege/checks.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// One fixed name per target: a copy left by a killed run is simply overwritten by
// the next one instead of piling up. Four characters keep a 255-character target's
// temporary name within MAX_PATH.
const char kTemporarySuffix[] = ".~ql";

// Set-aside copies are named by GetTempFileNameA: "~qlXXXX.tmp" in the target's folder.
const char kSetAsidePrefix[] = "~ql";

// 1 when `path` is absent or no longer read-only.
int DropReadOnly(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return 1;
    return SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY) ? 1 : 0;
}

int RenameOver(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

// A rename is journalled before the data it names is written: after a power loss the
// target could name a file of the right size full of nothing.
int FlushToDisk(const char* path)
{
    HandleHolder file(NullIfInvalid(
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return file && FlushFileBuffers(file.get()) ? 1 : 0;
}

// 1 when `path` opens for writing; otherwise 0, with the error in GetLastError.
int OpensForWriting(const char* path)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return file ? 1 : 0;
}

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using GetSystemWow64DirectoryFunction = UINT(WINAPI*)(LPSTR, UINT);

} // namespace

// Both functions are looked up, since Windows before XP has neither.
int NativeName(const char* path, char* nativeName)
{
    snprintf(nativeName, MAX_PATH, "%s", path);
#ifndef _WIN64
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "IsWow64Process")));
    auto getWow64Directory = reinterpret_cast<GetSystemWow64DirectoryFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GetSystemWow64DirectoryA")));
    BOOL wow64 = FALSE;
    if (!isWow64Process || !getWow64Directory || !isWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return 1;
    char systemDirectory[MAX_PATH] = {};
    char wow64Directory[MAX_PATH] = {};
    UINT systemLength = GetSystemDirectoryA(systemDirectory, MAX_PATH);
    UINT wow64Length = getWow64Directory(wow64Directory, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH || wow64Length == 0 || wow64Length >= MAX_PATH) return 0;
    if (_strnicmp(path, systemDirectory, systemLength) != 0 || path[systemLength] != '\\') return 1;
    int written = snprintf(nativeName, MAX_PATH, "%s%s", wow64Directory, path + systemLength);
    if (written < 0 || written >= MAX_PATH) return 0;
#endif
    return 1;
}

namespace {

// Reserves a name of its own in the folder of `path` (GetTempFileNameA creates it
// empty, and never gives out a name whose file still exists). Writes it into
// `name` (MAX_PATH bytes); returns 1.
// The folder of `path` into `folder` (MAX_PATH bytes); returns 1.
int FolderOf(const char* path, char* folder)
{
    // The folder ends before the file part's separator; a double-byte name may hold
    // the byte of a backslash, which is not one.
    int folderLength = static_cast<int>(FilePart(path) - path) - 1;
    if (folderLength <= 0 || (path[folderLength] != '\\' && path[folderLength] != '/')) return 0;
    snprintf(folder, MAX_PATH, "%.*s", folderLength, path);
    return 1;
}

int ReserveNameBeside(const char* path, char* name)
{
    char folder[MAX_PATH] = {};
    return FolderOf(path, folder) && GetTempFileNameA(folder, kSetAsidePrefix, 0, name) != 0 ? 1 : 0;
}

// Moves `path` out of its name, to a new name of its own in the same folder. A copy
// set aside earlier and still waiting for a restart keeps its name. Writes the new
// name into `aside` (MAX_PATH bytes); returns 1.
int SetAside(const char* path, char* aside)
{
    if (!ReserveNameBeside(path, aside)) return 0;
    // The 9x family has no MoveFileExA (ERROR_CALL_NOT_IMPLEMENTED), and its MoveFileA
    // renames only onto a free name.
    int moved = GetWindowsFamily() == kFamily9x ? DeleteFileA(aside) && MoveFileA(path, aside)
                                               : MoveFileExA(path, aside, MOVEFILE_REPLACE_EXISTING);
    if (!moved) {
        DeleteFileA(aside);
        aside[0] = '\0';
        return 0;
    }
    return 1;
}

// Only the set-aside name is marked, and only once its file is no longer needed: a
// file installed again under the old name before the restart stays, and a setup
// killed before the mark leaves a stray copy, never a restart that deletes the only
// one. Returns 1 when the restart will delete it; without the mark the copy merely
// stays.
int DeleteAtRestart(const char* aside)
{
    char nativeName[MAX_PATH] = {};
    return NativeName(aside, nativeName) && MoveFileExA(nativeName, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0;
}

// Removes a name that is no longer needed: now, or at the restart while a program has
// its file loaded. Returns 1 when it waits for the restart.
int DiscardName(const char* path)
{
    if (DeleteFileA(path) || (DropReadOnly(path) && DeleteFileA(path))) return 0;
    return DeleteAtRestart(path);
}

// Renames `from` to `to`, a name no file holds, and fails should a file have taken it
// meanwhile: that file's version was never read.
int RenameToFreeName(const char* from, const char* to)
{
    // The 9x family has only this rename, which never replaces.
    if (GetWindowsFamily() == kFamily9x) return MoveFileA(from, to) ? 1 : 0;
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

// Renames `target` aside (its new name into `aside`, MAX_PATH bytes) and `from` into
// its name, which is empty in between. Should `from` not move, the target takes its
// name back; `aside` is left empty unless even that failed.
int SwapThroughAside(const char* from, const char* target, char* aside)
{
    if (!SetAside(target, aside)) return 0;
    if (RenameToFreeName(from, target)) return 1;
    if (MoveFileA(aside, target)) aside[0] = '\0';
    return 0;
}

// Puts the file `from` under the name `target`. A program that has the target loaded
// keeps it from being replaced or deleted, but not from being renamed: it goes on
// with the old copy until it ends, and every new load gets the new one. The 9x
// family, which cannot rename over a file, always sets the target aside first.
int PutInPlace(const char* from, const char* target)
{
    if (GetWindowsFamily() != kFamily9x
        && (RenameOver(from, target) || (DropReadOnly(target) && RenameOver(from, target))))
        return 1;
    char aside[MAX_PATH] = {};
    if (!SwapThroughAside(from, target, aside)) return 0;
    DiscardName(aside);
    return 1;
}


using CreateHardLinkFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPSECURITY_ATTRIBUTES);

// Gives `makeKept` a free name of the set-aside kind in the folder of `path`; it must
// refuse a name that a file holds. A guessed name comes first: GetTempFileNameA's
// reservation creates a file and this then deletes it, which under Wine costs as much
// as the link itself. Writes the name taken into `kept`; returns 1.
template <typename MakeKept>
int TakeFreeNameBeside(const char* path, char* kept, MakeKept makeKept)
{
    char folder[MAX_PATH] = {};
    if (!FolderOf(path, folder)) return 0;
    UINT unique = (GetTickCount() ^ (GetCurrentProcessId() << 4)) & 0xFFFF;
    for (int attempt = 0; attempt < 4; ++attempt, unique = (unique + 0x1003) & 0xFFFF) {
        if (GetTempFileNameA(folder, kSetAsidePrefix, unique == 0 ? 1 : unique, kept) == 0) break;
        if (makeKept(kept)) return 1;
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            kept[0] = '\0';
            return 0;
        }
    }
    // Earlier copies hold those names: a reserved one is free.
    if (ReserveNameBeside(path, kept) && DeleteFileA(kept) && makeKept(kept)) return 1;
    kept[0] = '\0';
    return 0;
}

// The name is taken before the copy: a copy that fails before it makes its file (its
// source refused) would not tell a file that held the name, another program's, from
// its own. A copy cut short is then no copy to keep.
BOOL CopyToFreeName(const char* path, const char* name)
{
    HandleHolder taken(NullIfInvalid(
        CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!taken) return FALSE;
    taken.reset();
    if (CopyFileA(path, name, FALSE)) return TRUE;
    DWORD error = GetLastError();
    DeleteFileA(name);
    SetLastError(error);
    return FALSE;
}

// A second name for the file at `path`, so that the copy in place stays reachable
// while a new one takes its name, with no moment in which the name is empty. Windows
// 2000 and later link on NTFS; NT 4.0 (whose KERNEL32 lacks CreateHardLinkA) and
// volumes without links (FAT32) get a whole copy instead. (The 9x family renames
// the copy aside instead.) Neither overwrites a file that holds the name. Writes the
// name into `kept`; returns 1.
int KeepUnderOwnName(const char* path, char* kept)
{
    auto createHardLink = reinterpret_cast<CreateHardLinkFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateHardLinkA")));
    if (GetWindowsFamily() == kFamilyNt5 && createHardLink != nullptr
        && TakeFreeNameBeside(path, kept, [&](const char* name) { return createHardLink(name, path, nullptr); }))
        return 1;
    return TakeFreeNameBeside(path, kept, [&](const char* name) { return CopyToFreeName(path, name); });
}

// Nothing is lost: the copy stays where the caller can find it. On a line of its own,
// also after a registration's message, which ends without a newline.
int AppendKeptAt(char* message, const char* kept)
{
    size_t used = strnlen(message, kMessageSize);
    const char* separator = used > 0 && message[used - 1] != '\n' ? "\n" : "";
    return AppendMessage(message, "%sThe copy that was in place is kept as %s.\n", separator, kept);
}

// Writes the new file beside the target, flushed, and renames it over the target.
int ReplaceByRename(const char* source, const char* target, int found, ReplacedFile* replaced)
{
    char temporary[MAX_PATH] = {};
    snprintf(temporary, sizeof(temporary), "%s%s", target, kTemporarySuffix);
    int copied = CopyFileA(source, temporary, FALSE)
        || (DropReadOnly(temporary) && CopyFileA(source, temporary, FALSE));
    if (copied && DropReadOnly(temporary) && FlushToDisk(temporary)) {
        if (found == kNameEmpty) {
            replaced->placed = RenameToFreeName(temporary, target);
        } else if (found == kNameInUse) {
            // The loaded copy is renamed aside, which also keeps it: the name is empty
            // between the two renames, as it must be for a file in use. The 9x family,
            // which cannot rename over a file, does the same with every copy: a copy
            // straight over it would leave it torn when killed, and the version its
            // rerun would read from the part written could pass for the new one.
            replaced->placed = SwapThroughAside(temporary, target, replaced->kept);
        } else if (KeepUnderOwnName(target, replaced->kept)) {
            replaced->placed = RenameOver(temporary, target)
                || (DropReadOnly(target) && RenameOver(temporary, target));
            if (!replaced->placed) {
                DiscardName(replaced->kept);
                replaced->kept[0] = '\0';
            }
        }
    }
    if (!replaced->placed) DeleteFileA(temporary);
    return replaced->placed;
}

} // namespace

// A copy that dies halfway must not damage the file other products load: the target
// is always the old file or the new one. A read-only source would make a copy that
// the next version cannot replace and the last uninstall cannot delete, so the
// attribute is never kept. Read-only files in the way (a leftover of a killed copy, a
// target someone marked) are made writable only when they refuse, which keeps the
// usual install to the calls it cannot do without.
int ReplaceSystemFile(const char* source, const char* target, int found, ReplacedFile* replaced, char* message)
{
    *replaced = ReplacedFile{};
    snprintf(replaced->target, sizeof(replaced->target), "%s", target);
    if (ReplaceByRename(source, target, found, replaced)) return 1;
    WriteMessage(message, "Could not copy file %s to %s\n", source, target);
    // Only when the old copy could not take its name back does it stay elsewhere.
    if (replaced->kept[0] != '\0') AppendKeptAt(message, replaced->kept);
    return 0;
}

int KeepReplacement(const ReplacedFile* replaced)
{
    return replaced->placed && replaced->kept[0] != '\0' ? DiscardName(replaced->kept) : 0;
}

int GiveBackReplaced(const ReplacedFile* replaced, char* message)
{
    if (!replaced->placed) return 1;
    if (replaced->kept[0] == '\0') {
        // Nothing was in place: the new file goes, as if this call had not come.
        int restartNeeded = 0;
        DeleteSystemFile(replaced->target, &restartNeeded);
        return 1;
    }
    if (PutInPlace(replaced->kept, replaced->target)) return 1;
    return AppendKeptAt(message, replaced->kept);
}

int DeleteSystemFile(const char* path, int* restartNeeded)
{
    if (DeleteFileA(path) || (DropReadOnly(path) && DeleteFileA(path))) return 1;
    // Loaded by a program: it leaves its name now and the disk at the next restart.
    char aside[MAX_PATH] = {};
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES || !SetAside(path, aside)) return 0;
    if (DiscardName(aside)) *restartNeeded = 1;
    return 1;
}

// A program that has a file loaded (or open without sharing) keeps it from being
// opened for writing, though not from being renamed.
int LookAtName(const char* path, int nameFound)
{
    if (!nameFound) return kNameEmpty;
    return LookAtOpenError(OpensForWriting(path) ? ERROR_SUCCESS : GetLastError());
}

int LookAtOpenError(DWORD openError)
{
    // The 9x family, which cannot rename over a file, always sets the target aside.
    return GetWindowsFamily() == kFamily9x || openError == ERROR_SHARING_VIOLATION ? kNameInUse : kNameHeld;
}

namespace {

using EnumProcessModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);

int IsEitherName(const char* name, const char* path, const char* nativeName)
{
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, -1, path, -1) == CSTR_EQUAL
        || CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, -1, nativeName, -1) == CSTR_EQUAL;
}

} // namespace

// Windows knows a module by the path it was loaded from, whatever is under that name
// now. Its loader's own answer compares those paths; Wine's opens the file under the
// name first, which costs more than the rest of an update's checks. Windows 7 and later
// (and Wine) list the modules from KERNEL32; older ones ask the loader.
int IsLoadedByThisProgram(const char* path)
{
    char nativeName[MAX_PATH] = {};
    if (!NativeName(path, nativeName)) snprintf(nativeName, MAX_PATH, "%s", path);
    auto enumModules = reinterpret_cast<EnumProcessModulesFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32EnumProcessModules")));
    HMODULE modules[1024];
    DWORD size = 0;
    if (enumModules == nullptr || !enumModules(GetCurrentProcess(), modules, sizeof(modules), &size)
        || size > sizeof(modules))
        return GetModuleHandleA(path) != nullptr || GetModuleHandleA(nativeName) != nullptr ? 1 : 0;
    for (DWORD i = 0; i < size / sizeof(HMODULE); ++i) {
        char name[MAX_PATH] = {};
        DWORD length = GetModuleFileNameA(modules[i], name, MAX_PATH);
        if (length != 0 && length < MAX_PATH && IsEitherName(name, path, nativeName)) return 1;
    }
    return 0;
}
