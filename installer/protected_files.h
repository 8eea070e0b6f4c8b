#ifndef QELSETUP_INSTALLER_PROTECTED_FILES_H
#define QELSETUP_INSTALLER_PROTECTED_FILES_H

#include "installer/target_paths.h"

// Files that Windows keeps for itself in the system directory. Windows File Protection
// (2000, XP) puts its own copy back within seconds of any replacement, and Windows
// Resource Protection (Vista and later) refuses every setup: a product may count such
// a file, but never replaces, registers, unregisters or deletes it.

// Which of an operation's files Windows protects.
struct ProtectedFiles {
    int target;     // 1: the file the operation acts on
    int companion;  // 1: a control's .dep
};

// Asks sfc.dll's SfcIsFileProtected, one question per file, in system-directory mode
// (useSystemDir non-zero) on Windows 2000 and later. Elsewhere nothing is protected:
// a product's own folder is not Windows', and 9x and NT 4.0 have no sfc.dll. Nor is
// anything when sfc.dll or its function is missing.
ProtectedFiles AskWhichAreProtected(const TargetPaths& paths, int useSystemDir);

// The notice a successful install leaves when Windows keeps the file. Returns 1.
int WriteProtectedNotice(char* message, const char* targetPath);

#endif
