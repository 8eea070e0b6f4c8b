#ifndef QELSETUP_INSTALLER_TARGET_PATHS_H
#define QELSETUP_INSTALLER_TARGET_PATHS_H

// Paths of this module are 8-bit text of at most kMaxPathLength characters.
constexpr int kMaxPathLength = 255;
constexpr int kPathBufferSize = kMaxPathLength + 1;

// The file an operation acts on, and for a control (.ocx) its companion .dep beside it.
// Both paths double as SharedDLLs value names, so install and uninstall must form
// them identically.
struct TargetPaths {
    char targetPath[kPathBufferSize];
    char companionPath[kPathBufferSize];
    int isOcx;
};

// Forms the paths for `file`: in system-directory mode (any non-zero useSystemDir)
// the system directory joined with the file's base name and extension, otherwise
// `file` unchanged. Returns 1, or writes a message and returns 0 for a name that is
// empty, too long, names no file, or when the system directory cannot be read.
int MakeTargetPaths(const char* file, int useSystemDir, TargetPaths* paths, char* message);

// The file part of a path: what follows its last separator ('\\' or '/'), or a drive
// letter's colon. Paths are text of the system code page, whose double-byte characters
// may end in the byte of a backslash: those are stepped over whole.
const char* FilePart(const char* path);

// In system-directory mode, a file already under the target's name (or the companion's)
// must be known by that name: a short (8.3) alias opens a long-named file, which
// another product counts under its own name. Sets *targetFound and *companionFound to
// 0 when no file is under that name (1 otherwise: a file that cannot be looked at may
// be there). Returns 1, or writes a message naming both and returns 0.
int CheckOneNameOneFile(const char* file, const TargetPaths& paths, int* targetFound, int* companionFound,
                        char* message);

// Replaces the last four characters of a path ending in ".ocx" (any case) by ".dep"
// in place. Returns 1 when it did so, 0 when the path is no control.
int MakeCompanionName(char* path);

#endif
