#include "installer/system_files.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/image_machine.h"
#include "installer/target_paths.h"
#include "privilege/checks.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// One fixed name per target, which a call's record need not hold: the next call
// knows where a killed one was writing. Four characters keep a 255-character target's
// temporary name within MAX_PATH.
const char kTemporarySuffix[] = ".~ql";

void TemporaryName(const char* target, char* temporary)
{
    snprintf(temporary, MAX_PATH, "%s%s", target, kTemporarySuffix);
}

// Kept and set-aside copies are named "~qlXXXXXX.tmp" in the target's folder: six
// digits, where GetTempFileNameA gives four, make a name that is not of the 8.3 form,
// which Wine finds missing from the system directory by a third less work (it
// compares each of the folder's hundreds of names with it, and for an 8.3 name each
// one's short name as well). A whole copy of the file in place, made where no second
// name can be, has names of its own ("~qlkXXXXXX.tmp", or one reserved as
// "~qkXXXX.tmp"), which no set-aside copy gets: a setup that dies while making it
// leaves a file that is neither the file in place nor its whole copy.
const char kSetAsidePrefix[] = "~ql";
const char kWholeCopyPrefix[] = "~qlk";
const char kReservedWholeCopyPrefix[] = "~qk";  // GetTempFileNameA's "~qkXXXX.tmp"
constexpr DWORD kNameNumbers = 0xFFFFFF;

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

// What a copy on its way is found to be.
constexpr int kCopyReady = 1;
constexpr int kCopyFailed = 0;
constexpr int kCopyRefused = -1;  // an image of another machine, the message written

// A rename is journalled before the data it names is written: after a power loss the
// target could name a file of the right size full of nothing. With `checksMachine`,
// the copy of `source` is read as it is flushed, in the same open.
int FlushCopy(const char* path, const char* source, int checksMachine, char* message)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path, GENERIC_WRITE | (checksMachine ? GENERIC_READ : 0), 0, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file) return kCopyFailed;
    if (checksMachine && !CheckCopiedMachine(source, file.get(), message)) return kCopyRefused;
    return FlushFileBuffers(file.get()) ? kCopyReady : kCopyFailed;
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

int DeleteNow(const char* path) { return DeleteFileA(path) || (DropReadOnly(path) && DeleteFileA(path)) ? 1 : 0; }

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

// The folder of `path` ends at its file part's separator; a double-byte name may hold
// the byte of a backslash, which is not one. Its length with the separator, or 0.
int FolderLength(const char* path)
{
    int folderLength = static_cast<int>(FilePart(path) - path);
    return folderLength > 1 && (path[folderLength - 1] == '\\' || path[folderLength - 1] == '/') ? folderLength : 0;
}

// The `attempt`th name of `prefix` beside `path` that is not `taken`, looked at or
// not, numbered from where GetTempFileNameA would start. Returns 1, or 0 with
// `name` empty when no name can be formed or, with `looks`, a file holds it.
int NameBeside(const char* path, const char* taken, const char* prefix, int attempt, int looks, char* name)
{
    int folderLength = FolderLength(path);
    DWORD number =
        ((GetTickCount() ^ (GetCurrentProcessId() << 4)) + 0x100003 * static_cast<DWORD>(attempt)) & kNameNumbers;
    int written = snprintf(name, MAX_PATH, "%.*s%s%06lX.tmp", folderLength, path, prefix,
                           static_cast<unsigned long>(number == 0 ? 1 : number));
    if (folderLength != 0 && written > 0 && written < MAX_PATH && _stricmp(name, taken) != 0
        && (!looks || (GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND)))
        return 1;
    name[0] = '\0';
    return 0;
}

// A name of `prefix` that no file holds: one looked at, or, when earlier copies hold
// every one tried, one reserved, under `reserved` (three characters): a whole copy's
// has a prefix of its own there too, so that the next call knows it for one.
int ChooseNameWithPrefix(const char* path, const char* taken, const char* prefix, const char* reserved, char* name)
{
    for (int attempt = 0; attempt < 3; ++attempt)
        if (NameBeside(path, taken, prefix, attempt, 1, name)) return 1;
    int folderLength = FolderLength(path);
    if (folderLength == 0) return 0;
    char folder[MAX_PATH] = {};
    snprintf(folder, MAX_PATH, "%.*s", folderLength - 1, path);
    if (GetTempFileNameA(folder, reserved, 0, name) != 0 && _stricmp(name, taken) != 0 && DeleteFileA(name))
        return 1;
    name[0] = '\0';
    return 0;
}

} // namespace

// A name that no file holds, found without making one: a setup killed before it
// recorded the name leaves nothing behind. The renames, links and copies to it refuse
// a name that a file took meanwhile. Only when earlier copies hold every name tried
// does GetTempFileNameA reserve one, whose empty file goes at once.
int ChooseNameBeside(const char* path, const char* taken, char* name)
{
    return ChooseNameWithPrefix(path, taken, kSetAsidePrefix, kSetAsidePrefix, name);
}

namespace {

// Moves `path` out of its name, to `aside` (from ChooseNameBeside), which no file
// holds: a rename that never replaces, and the only one the 9x family has.
int SetAside(const char* path, const char* aside)
{
    return MoveFileA(path, aside) ? 1 : 0;
}

// The same to a name that nothing records, chosen afresh while one is taken. Writes it
// into `aside` (MAX_PATH bytes); returns 1.
int SetAsideAnywhere(const char* path, const char* taken, char* aside)
{
    char tried[MAX_PATH] = {};
    snprintf(tried, sizeof(tried), "%s", taken);
    for (int attempt = 0; attempt < 4 && ChooseNameBeside(path, tried, aside); ++attempt) {
        if (SetAside(path, aside)) return 1;
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
        snprintf(tried, sizeof(tried), "%s", aside);
    }
    aside[0] = '\0';
    return 0;
}

// Only the set-aside name is marked, and only once its file is no longer needed: a
// file installed again under the old name before the restart stays, and a setup
// killed before the mark leaves a copy that the next call puts back, never a restart
// that deletes the only one. Returns 1 when the restart will delete it; without the
// mark the copy merely stays.
int DeleteAtRestart(const char* aside)
{
    char nativeName[MAX_PATH] = {};
    return NativeName(aside, nativeName) && MoveFileExA(nativeName, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0;
}

// Removes a name that is no longer needed: now, or at the restart while a program has
// its file loaded. Returns 1 when it waits for the restart.
int DiscardName(const char* path)
{
    return DeleteNow(path) ? 0 : DeleteAtRestart(path);
}

// A file moved out of a target's name to its temporary one, which a setup that dies
// meanwhile leaves for the next call to take away. One that a program has loaded is
// deleted at the restart under a set-aside name: under the temporary one it would keep
// the next install of the target from writing there. Returns 1 when it waits for the
// restart.
int DiscardTemporary(const char* temporary)
{
    if (DeleteNow(temporary)) return 0;
    char aside[MAX_PATH] = {};
    return DeleteAtRestart(SetAsideAnywhere(temporary, "", aside) ? aside : temporary);
}

// Moves the file under `target` out of its name, to the target's temporary name, or
// should a file hold that, to a set-aside one. Writes the name into `aside` (MAX_PATH
// bytes); returns 1.
int MoveOutOfName(const char* target, char* aside)
{
    TemporaryName(target, aside);
    return SetAside(target, aside) || SetAsideAnywhere(target, "", aside) ? 1 : 0;
}

// Renames `from` to `to`, a name no file holds, and fails should a file have taken it
// meanwhile: that file's version was never read.
int RenameToFreeName(const char* from, const char* to)
{
    // The 9x family has only this rename, which never replaces.
    if (GetWindowsFamily() == kFamily9x) return MoveFileA(from, to) ? 1 : 0;
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

// A guessed kept name may be held by an earlier copy. Another, one that no file holds,
// is then recorded before it is tried: the record never names a file that the call
// did not make. `claim` makes the kept copy under the name, and must refuse a name
// that a file holds.
template <typename Claim>
int ClaimKeptName(ReplacedFile* replaced, Claim claim)
{
    if (claim(replaced->kept)) return 1;
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return 0;
    char tried[MAX_PATH] = {};
    snprintf(tried, sizeof(tried), "%s", replaced->kept);
    return ChooseNameBeside(replaced->target, tried, replaced->kept)
        && NoteKeptName(replaced->note, replaced->kept) && claim(replaced->kept);
}

// Renames the target to its kept name and `from` into its name, which is empty in
// between. Should `from` not move, the target takes its name back.
int SwapThroughAside(const char* from, ReplacedFile* replaced)
{
    const char* target = replaced->target;
    if (!ClaimKeptName(replaced, [&](const char* aside) { return SetAside(target, aside); })) return 0;
    if (RenameToFreeName(from, target)) return 1;
    MoveFileA(replaced->kept, target);
    return 0;
}

// Puts the file `from` under the name `target`, whatever is there. A program that has
// the target loaded keeps it from being replaced or deleted, but not from being
// renamed: it goes on with the old copy until it ends, and every new load gets the new
// one. The 9x family, which cannot rename over a file, always sets the target aside
// first. Should `from` not move, the target keeps its name.
int PutInPlace(const char* from, const char* target)
{
    if (GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES) return RenameToFreeName(from, target);
    if (GetWindowsFamily() != kFamily9x
        && (RenameOver(from, target) || (DropReadOnly(target) && RenameOver(from, target))))
        return 1;
    char aside[MAX_PATH] = {};
    if (!MoveOutOfName(target, aside)) return 0;
    if (!RenameToFreeName(from, target)) {
        MoveFileA(aside, target);
        return 0;
    }
    DiscardTemporary(aside);
    return 1;
}


using CreateHardLinkFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPSECURITY_ATTRIBUTES);

// A second name, the kept one, for the target, so that the copy in place stays
// reachable while a new one takes its name, with no moment in which the name is empty.
// Windows 2000 and later link on NTFS; NT 4.0 (whose KERNEL32 lacks CreateHardLinkA)
// and volumes without links (FAT32) get a whole copy instead, under a name of that
// kind. (The 9x family renames the copy aside instead.) Neither ever replaces a file
// another program put under that name meanwhile. Returns 1.
int KeepUnderOwnName(ReplacedFile* replaced)
{
    const char* path = replaced->target;
    auto createHardLink = reinterpret_cast<CreateHardLinkFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateHardLinkA")));
    if (GetWindowsFamily() == kFamilyNt5 && createHardLink != nullptr
        && ClaimKeptName(replaced, [&](const char* kept) { return createHardLink(kept, path, nullptr) ? 1 : 0; }))
        return 1;
    if (!ChooseNameWithPrefix(path, "", kWholeCopyPrefix, kReservedWholeCopyPrefix, replaced->kept)
        || !NoteKeptName(replaced->note, replaced->kept))
        return 0;
    // The name is taken before the copy: a copy that fails before it makes its file (its
    // source refused) would not tell a file that held the name, another program's, from
    // its own. A copy cut short is then no copy to keep.
    HandleHolder taken(NullIfInvalid(
        CreateFileA(replaced->kept, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!taken) return 0;
    taken.reset();
    if (CopyFileA(path, replaced->kept, FALSE)) return 1;
    DeleteFileA(replaced->kept);
    return 0;
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
// Returns 1 once it is there, kCopyRefused with the message written, or 0.
int ReplaceByRename(const char* source, const char* target, ReplacedFile* replaced, char* message)
{
    char temporary[MAX_PATH] = {};
    TemporaryName(target, temporary);
    int copied = CopyFileA(source, temporary, FALSE)
        || (DropReadOnly(temporary) && CopyFileA(source, temporary, FALSE));
    int ready = copied && DropReadOnly(temporary) ? FlushCopy(temporary, source, replaced->checksMachine, message)
                                                  : kCopyFailed;
    if (ready == kCopyReady) {
        if (replaced->found == kNameEmpty) {
            replaced->placed = RenameToFreeName(temporary, target);
        } else if (replaced->found == kNameInUse) {
            // The loaded copy is renamed aside, which also keeps it: the name is empty
            // between the two renames, as it must be for a file in use. The 9x family,
            // which cannot rename over a file, does the same with every copy: a copy
            // straight over it would leave it torn when killed, and the version its
            // rerun would read from the part written could pass for the new one.
            replaced->placed = SwapThroughAside(temporary, replaced);
        } else if (KeepUnderOwnName(replaced)) {
            replaced->placed = RenameOver(temporary, target)
                || (DropReadOnly(target) && RenameOver(temporary, target));
            if (!replaced->placed) DiscardName(replaced->kept);
        }
    }
    // Only a copy kept elsewhere is worth naming. Otherwise the name has not changed,
    // and the record says so before the temporary copy goes: a file under the kept
    // name or the target's is then none of this call's to put back or take away.
    if (!replaced->placed && (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES
                              || GetFileAttributesA(replaced->kept) == INVALID_FILE_ATTRIBUTES)) {
        replaced->kept[0] = '\0';
        NoteKeptName(replaced->note, nullptr);
    }
    if (!replaced->placed) DeleteFileA(temporary);
    return ready == kCopyRefused ? kCopyRefused : replaced->placed;
}

} // namespace

// A copy that dies halfway must not damage the file other products load: the target
// is always the old file or the new one. A read-only source would make a copy that
// the next version cannot replace and the last uninstall cannot delete, so the
// attribute is never kept. Read-only files in the way (a leftover of a killed copy, a
// target someone marked) are made writable only when they refuse, which keeps the
// usual install to the calls it cannot do without.
int ReplaceSystemFile(const char* source, ReplacedFile* replaced, char* message)
{
    int replacedNow = ReplaceByRename(source, replaced->target, replaced, message);
    if (replacedNow == 1) return 1;
    if (replacedNow == kCopyRefused) return 0;
    WriteMessage(message, "Could not copy file %s to %s\n", source, replaced->target);
    // Only when the old copy could not take its name back does it stay elsewhere.
    if (replaced->kept[0] != '\0') AppendKeptAt(message, replaced->kept);
    return 0;
}

int PrepareReplacement(const char* target, int found, const char* taken, ReplacedFile* replaced)
{
    *replaced = ReplacedFile{};
    snprintf(replaced->target, sizeof(replaced->target), "%s", target);
    replaced->found = found;
    if (found == kNameEmpty) return 1;
    for (int attempt = 0; attempt < 2; ++attempt)
        if (NameBeside(target, taken, kSetAsidePrefix, attempt, 0, replaced->kept)) return 1;
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
    if (DeleteNow(path)) return 1;
    // Loaded by a program: it leaves its name now and the disk at the next restart.
    char aside[MAX_PATH] = {};
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES || !MoveOutOfName(path, aside)) return 0;
    if (DiscardTemporary(aside)) *restartNeeded = 1;
    return 1;
}

int TakeAwayToKept(const char* path, const char* kept) { return SetAside(path, kept); }

namespace {

int FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* information)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return file && GetFileInformationByHandle(file.get(), information) ? 1 : 0;
}

// While the new file was on its way, the kept name held the dead call's second name
// of the file in place, or its whole copy, or whatever held the name the call had
// guessed: not the call's to delete.
int IsKeptByTheCall(const char* kept, const char* target)
{
    const char* name = FilePart(kept);
    // Earlier releases numbered their names with four digits, and a record one of them
    // left names such a copy.
    size_t length = strlen(name);
    if (_strnicmp(name, kWholeCopyPrefix, sizeof(kWholeCopyPrefix) - 1) == 0 && (length == 14 || length == 12))
        return 1;
    if (_strnicmp(name, kReservedWholeCopyPrefix, sizeof(kReservedWholeCopyPrefix) - 1) == 0 && length == 11)
        return 1;
    BY_HANDLE_FILE_INFORMATION keptFile = {};
    BY_HANDLE_FILE_INFORMATION targetFile = {};
    return FileIdentity(kept, &keptFile) && FileIdentity(target, &targetFile)
        && keptFile.dwVolumeSerialNumber == targetFile.dwVolumeSerialNumber
        && keptFile.nFileIndexHigh == targetFile.nFileIndexHigh && keptFile.nFileIndexLow == targetFile.nFileIndexLow;
}

} // namespace

int DiscardKept(const char* kept) { return DiscardName(kept); }

// Until the new file has come, the one under the name is the old one, and a kept name
// holds a second name or a whole copy of it, or a file that held the name the call
// had chosen, unless the old one was renamed there (a file in use, the 9x family) and
// the name is empty. Once the new file has come, the kept copy is the only old one.
int PutBackAfterDeadCall(const char* target, const char* kept, int newInPlace)
{
    int targetThere = GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES;
    if (kept[0] == '\0') {
        int restartNeeded = 0;
        if (newInPlace && targetThere && !DeleteSystemFile(target, &restartNeeded)) return 0;
    } else if (GetFileAttributesA(kept) != INVALID_FILE_ATTRIBUTES) {
        if (newInPlace || !targetThere) {
            if (!PutInPlace(kept, target)) return 0;
        } else if (IsKeptByTheCall(kept, target)) {
            DiscardName(kept);
        }
    }
    char temporary[MAX_PATH] = {};
    TemporaryName(target, temporary);
    if (GetFileAttributesA(temporary) != INVALID_FILE_ATTRIBUTES) DiscardTemporary(temporary);
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
using CompareOrdinalFunction = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);

// Compared as the loader compares module names, ordinal and ignoring case: a tenth of
// what the locale's comparison costs under Wine, where a program has some thirty
// modules to compare. 1 or 0, or -1 when Windows lacks the comparison (before Vista).
int IsModuleOfEitherName(const HMODULE* modules, DWORD count, const char* path, const char* nativeName)
{
    auto compareOrdinal = reinterpret_cast<CompareOrdinalFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "CompareStringOrdinal")));
    WCHAR widePath[MAX_PATH] = {};
    WCHAR wideNative[MAX_PATH] = {};
    if (compareOrdinal == nullptr || MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) == 0
        || MultiByteToWideChar(CP_ACP, 0, nativeName, -1, wideNative, MAX_PATH) == 0)
        return -1;
    for (DWORD i = 0; i < count; ++i) {
        WCHAR name[MAX_PATH] = {};
        DWORD length = GetModuleFileNameW(modules[i], name, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) continue;
        // A module loaded through a short 8.3 name is known by that name; only such a
        // name holds a tilde, and only then is its long name asked for.
        WCHAR longName[MAX_PATH] = {};
        DWORD longLength = wcschr(name, L'~') != nullptr ? GetLongPathNameW(name, longName, MAX_PATH) : 0;
        const WCHAR* known = longLength != 0 && longLength < MAX_PATH ? longName : name;
        if (compareOrdinal(known, -1, widePath, -1, TRUE) == CSTR_EQUAL
            || compareOrdinal(known, -1, wideNative, -1, TRUE) == CSTR_EQUAL)
            return 1;
    }
    return 0;
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
    if (enumModules != nullptr && enumModules(GetCurrentProcess(), modules, sizeof(modules), &size)
        && size <= sizeof(modules)) {
        int loaded = IsModuleOfEitherName(modules, size / sizeof(HMODULE), path, nativeName);
        if (loaded != -1) return loaded;
    }
    return GetModuleHandleA(path) != nullptr || GetModuleHandleA(nativeName) != nullptr ? 1 : 0;
}
