#include "installer/system_files.h"

#include "common/message.h"

#include <windows.h>

#include <cstdio>

namespace {

// One fixed name per target: a copy left by a killed run is simply overwritten by
// the next one instead of piling up. Four characters keep a 255-character target's
// temporary name within MAX_PATH.
const char kTemporarySuffix[] = ".~ql";

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

} // namespace

// A copy that dies halfway must not damage the file other products load: the new
// file is written beside the target and renamed over it in one step, so the target
// is always the old file or the new one. A read-only source would make a copy that
// the next version cannot replace and the last uninstall cannot delete, so the
// attribute is never kept. Read-only files in the way (a leftover of a killed copy,
// a target someone marked) are made writable only when they refuse, which keeps the
// usual install to the calls it cannot do without.
int CopySystemFile(const char* source, const char* target, char* message)
{
    char temporary[MAX_PATH] = {};
    snprintf(temporary, sizeof(temporary), "%s%s", target, kTemporarySuffix);
    int copied = CopyFileA(source, temporary, FALSE)
        || (DropReadOnly(temporary) && CopyFileA(source, temporary, FALSE));
    int replaced = copied && DropReadOnly(temporary)
        && (RenameOver(temporary, target) || (DropReadOnly(target) && RenameOver(temporary, target)));
    if (!replaced) {
        DeleteFileA(temporary);
        return WriteMessage(message, "Could not copy file %s to %s\n", source, target);
    }
    return 1;
}

int DeleteSystemFile(const char* path)
{
    return DeleteFileA(path) || (DropReadOnly(path) && DeleteFileA(path)) ? 1 : 0;
}
