#include "installer/system_files.h"

#include "common/holders.h"
#include "common/message.h"
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

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using GetSystemWow64DirectoryFunction = UINT(WINAPI*)(LPSTR, UINT);

// The name under which Windows itself, at the next restart, finds `path`. A 32-bit
// program on 64-bit Windows sees the 64-bit system's SysWOW64 under the name of the
// system directory; the restart has no such view and would look in the 64-bit one.
// Both functions are looked up, since Windows before XP has neither.
int RestartName(const char* path, char* restartName)
{
    snprintf(restartName, MAX_PATH, "%s", path);
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
    int written = snprintf(restartName, MAX_PATH, "%s%s", wow64Directory, path + systemLength);
    if (written < 0 || written >= MAX_PATH) return 0;
#endif
    return 1;
}

// Moves `path` out of its name, to a new name of its own in the same folder. A copy
// set aside earlier and still waiting for a restart keeps its name, which
// GetTempFileNameA does not give out again. Writes the new name into `aside`
// (MAX_PATH bytes); returns 1.
int SetAside(const char* path, char* aside)
{
    char folder[MAX_PATH] = {};
    snprintf(folder, MAX_PATH, "%s", path);
    char* lastSeparator = strrchr(folder, '\\');
    if (lastSeparator == nullptr) return 0;
    *lastSeparator = '\0';
    // Creates the file empty, which reserves its name.
    if (GetTempFileNameA(folder, kSetAsidePrefix, 0, aside) == 0) return 0;
    if (!MoveFileExA(path, aside, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(aside);
        return 0;
    }
    return 1;
}

// Only the set-aside name is marked, and only once its file is no longer needed: a
// file installed again under the old name before the restart stays, and a setup
// killed before the mark leaves a stray copy, never a restart that deletes the only
// one. Without the mark the copy merely stays; the update itself is done.
void DeleteAtRestart(const char* aside)
{
    char restartName[MAX_PATH] = {};
    if (RestartName(aside, restartName)) MoveFileExA(restartName, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Puts the finished copy `temporary` under the name `target`. A program that has the
// target loaded keeps it from being replaced or deleted, but not from being renamed:
// it goes on with the old copy until it ends, and every new load gets the new one.
int PutInPlace(const char* temporary, const char* target)
{
    if (RenameOver(temporary, target) || (DropReadOnly(target) && RenameOver(temporary, target))) return 1;
    char aside[MAX_PATH] = {};
    if (!SetAside(target, aside)) return 0;
    if (!RenameOver(temporary, target)) {
        // The old copy goes back under its name, so that nothing is lost.
        MoveFileExA(aside, target, 0);
        return 0;
    }
    DeleteAtRestart(aside);
    return 1;
}

} // namespace

// A copy that dies halfway must not damage the file other products load: the new
// file is written beside the target, flushed, and renamed over it in one step, so the
// target is always the old file or the new one. A read-only source would make a copy
// that the next version cannot replace and the last uninstall cannot delete, so the
// attribute is never kept. Read-only files in the way (a leftover of a killed copy,
// a target someone marked) are made writable only when they refuse, which keeps the
// usual install to the calls it cannot do without.
int CopySystemFile(const char* source, const char* target, char* message)
{
    // The 9x family has no MoveFileExA (ERROR_CALL_NOT_IMPLEMENTED): there the file
    // is copied over the target directly.
    if (GetWindowsFamily() == kFamily9x) {
        if (CopyFileA(source, target, FALSE) || (DropReadOnly(target) && CopyFileA(source, target, FALSE)))
            return 1;
        return WriteMessage(message, "Could not copy file %s to %s\n", source, target);
    }
    char temporary[MAX_PATH] = {};
    snprintf(temporary, sizeof(temporary), "%s%s", target, kTemporarySuffix);
    int copied = CopyFileA(source, temporary, FALSE)
        || (DropReadOnly(temporary) && CopyFileA(source, temporary, FALSE));
    if (!copied || !DropReadOnly(temporary) || !FlushToDisk(temporary) || !PutInPlace(temporary, target)) {
        DeleteFileA(temporary);
        return WriteMessage(message, "Could not copy file %s to %s\n", source, target);
    }
    return 1;
}

int DeleteSystemFile(const char* path)
{
    if (DeleteFileA(path) || (DropReadOnly(path) && DeleteFileA(path))) return 1;
    // Loaded by a program: it leaves its name now and the disk at the next restart.
    char aside[MAX_PATH] = {};
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES || !SetAside(path, aside)) return 0;
    DeleteAtRestart(aside);
    return 1;
}

int IsLoadedByThisProgram(const char* path)
{
    if (GetModuleHandleA(path) != nullptr) return 1;
    char restartName[MAX_PATH] = {};
    return RestartName(path, restartName) && strcmp(restartName, path) != 0
        && GetModuleHandleA(restartName) != nullptr ? 1 : 0;
}
