#ifndef QELSETUP_INSTALLER_SYSTEM_FILES_H
#define QELSETUP_INSTALLER_SYSTEM_FILES_H

// Putting a shared file in place and taking it away, so that other products never
// see it half written and a read-only attribute never strands it.

// Replaces (or creates) `target` with a copy of `source` in one rename; the target is
// never left torn, and never keeps a read-only attribute. Returns 1, or writes
// "Could not copy file ..." and returns 0 with the target as it was.
int CopySystemFile(const char* source, const char* target, char* message);

// Deletes `path`, read-only or not. Returns the result of DeleteFileA.
int DeleteSystemFile(const char* path);

#endif
