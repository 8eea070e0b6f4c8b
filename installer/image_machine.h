#ifndef QELSETUP_INSTALLER_IMAGE_MACHINE_H
#define QELSETUP_INSTALLER_IMAGE_MACHINE_H

#include <windows.h>

// Whether a file is a Windows image that this module's processes can load: x86 for the
// 32-bit module, x64 for the 64-bit one, and for both an x86 .NET image built for "Any
// CPU" (its CLR header says IL only and does not ask for 32 bits). Returns 1 when it is, and for anything that
// is no PE image at all (or cannot be read): those keep the results the other steps
// give them. Otherwise writes a message naming the file, its machine and this
// module's, and returns 0.
int CheckImageMachine(const char* path, char* message);

// The same for a whole copy of the file `path`, open for reading at `copy` at its start
// (which stays open): the message names `path`.
int CheckCopiedMachine(const char* path, HANDLE copy, char* message);

// The same for the copy in place, opened for writing where it can be: sets *openError
// to ERROR_SUCCESS when it could, else to the error of that open (a program that has it
// loaded or open refuses it with ERROR_SHARING_VIOLATION). A replacement must know that
// next, and one open serves both.
int CheckMachineInPlace(const char* path, DWORD* openError, char* message);

#endif
