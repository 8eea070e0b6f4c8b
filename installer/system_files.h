#ifndef QELSETUP_INSTALLER_SYSTEM_FILES_H
#define QELSETUP_INSTALLER_SYSTEM_FILES_H

// Putting a shared file in place and taking it away, so that other products never
// see it half written, a read-only attribute never strands it, and a program that
// has it loaded never stops an update.

// Replaces (or creates) `target` with a copy of `source` in one rename; the target is
// never left torn, and never keeps a read-only attribute. A target that another
// program has loaded is renamed aside first and deleted at the next restart. Returns
// 1, or writes "Could not copy file ..." and returns 0 with the target as it was.
int CopySystemFile(const char* source, const char* target, char* message);

// Takes `path` away, read-only or not: deleted, or, while a program has it loaded,
// renamed aside and deleted at the next restart. Returns 1, or 0 when it is still
// there under its name (or never was).
int DeleteSystemFile(const char* path);

// 1 when this process has the file at `path` loaded as a module.
int IsLoadedByThisProgram(const char* path);

#endif
