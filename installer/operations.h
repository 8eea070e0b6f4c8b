#ifndef QELSETUP_INSTALLER_OPERATIONS_H
#define QELSETUP_INSTALLER_OPERATIONS_H

/*
 * Installing and uninstalling one shared system file (a COM server DLL or an
 * ActiveX control) for a product. Exported by the qelsetup module as plain C
 * functions for any Windows program; the host command calls the same functions.
 *
 * file           8-bit path (system code page) of the file, at most 255 characters.
 * useSystemDir   non-zero: act on the copy in the Windows system directory (install
 *                copies the file there when it is strictly newer; uninstall deletes it
 *                when no other product uses it). 0: act on `file` where it is.
 * doRegistration exactly 1: register (install) or unregister (uninstall) the file's
 *                COM server through its own DllRegisterServer / DllUnregisterServer.
 *                Any other value skips the step.
 * doSharedCount  exactly 1: raise (install) or lower (uninstall) the file's use count
 *                under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs.
 *                Any other value skips the step.
 * message        the caller's buffer of at least QEL_MESSAGE_BUFFER_SIZE bytes, empty
 *                on entry. Every message the operations write fits in it. NULL is
 *                allowed: the operation runs all the same and its message is dropped.
 *
 * A NULL or empty `file` is refused (result 0). So is a name whose last part ends in
 * a space or a dot, or holds a ':' (a drive letter at the start is fine): Windows
 * would open another file than the one the count is kept for. In system-directory mode,
 * so is a name under which a file of another (long) name is found, such as its short
 * 8.3 alias: that file is counted under its own name.
 *
 * The system directory is always the module's own: the 32-bit module switches WOW64
 * file-system redirection on for the call (SysWOW64 on 64-bit Windows) and gives the
 * calling thread its own setting back. A file of another machine in its place is
 * neither replaced, counted nor deleted (result 0). A copy in place that cannot be
 * read (held open without sharing reading, access denied) is not taken for one
 * without a version: the install fails and changes nothing.
 *
 * In system-directory mode an uninstall that does not count (doSharedCount not 1)
 * leaves a file that any product counts where it is, registered, and succeeds. The
 * last uninstall of a counted file that is no longer there removes its count (and the
 * .dep's) and succeeds: there is nothing to unregister or delete.
 *
 * A control (.ocx) brings its companion .dep file (same name) along: it is copied,
 * counted and deleted with the control, and its own failures are ignored.
 *
 * Install registers the file when it copied it, when the same version is already in
 * place (a repair), and always outside the system directory; it registers before it
 * counts. A file that another program has loaded is renamed aside
 * and deleted at the next restart, by install and by the last uninstall alike; one
 * that the calling process itself has loaded is not replaced (result 0). A Windows
 * image built for another machine than this module is refused before anything
 * changes whenever it would be copied into the system directory or (un)registered;
 * an x86 .NET image built for "Any CPU" (IL only, 32 bits not required) is taken by
 * both bitnesses.
 *
 * In system-directory mode on Windows 2000 and later, a file that Windows protects
 * (SfcIsFileProtected of sfc.dll says so) is left to Windows: install counts it but
 * neither copies nor registers it, and succeeds with a notice in `message` that
 * names it; the last uninstall removes its count but neither unregisters nor deletes
 * it. A protected .dep is neither copied nor deleted.
 *
 * Result: 1 on success, 0 on failure. On failure `message` says why, in the words of
 * the step that failed, and the files under the target's and the companion's names,
 * their counts and the file's registration are as they were before the call: a
 * replaced copy is kept until the call has succeeded and put back (and registered
 * again) when a later step fails; should putting it back be refused, the message
 * ends by naming where it is kept. The last uninstall unregisters before it removes
 * the count. On success the
 * message is empty, says that a file of an unknown type was not registered, or
 * that Windows protects the file.
 * The caller must be an administrator or power user on NT-family Windows.
 *
 * One operation at a time, machine-wide: after the permission check each operation
 * holds the named mutex QEL_OPERATION_LOCK_NAME until it returns. Only the 9x family
 * and NT 4.0, which have no Global\ namespace, use QEL_OPERATION_LOCK_FALLBACK_NAME,
 * which is the whole machine's there. Another installer that changes these files or
 * their SharedDLLs counts may cooperate by holding it too (OpenMutexA with SYNCHRONIZE
 * | MUTEX_MODIFY_STATE), provided it runs as a member of Administrators or Power
 * Users, or as SYSTEM: the mutex grants waiting and releasing to those three alone.
 * When the name is taken by an object of another kind, or by a mutex that does not
 * let the caller in, the operation changes nothing and fails saying that another
 * program holds the name of the setup lock. An operation that cannot have the lock
 * within QEL_OPERATION_LOCK_WAIT_MS changes nothing and fails with a message saying
 * so. A lock whose holder died counts as free.
 *
 * A call that dies halfway (killed, crashed, the power lost) counts as one that failed.
 * Before its first change each call writes what it changes, and what was there, under
 * HKLM\SOFTWARE\qelsetup\Call in progress (the module's own registry view), and
 * removes it when it returns. The next call of the same bitness that finds the record
 * first puts back the files under the target's and the companion's names, their
 * counts and the file's registration as they were, then does its own work. When
 * that cannot be done (a program holds a file in the way), it fails naming the file
 * and the kept copy, changes nothing else, and leaves the record for the next call.
 */

/* The other two exports, RunningAsAdministrator and RunningAsPowerUser, and QEL_CALL:
   all six use the C calling convention (cdecl). Valid C99 and C++ alike. */
#include "privilege/running_as.h"

#include "common/message_size.h"

#define QEL_OPERATION_LOCK_NAME "Global\\qelsetup.SharedSystemFiles"
#define QEL_OPERATION_LOCK_FALLBACK_NAME "qelsetup.SharedSystemFiles"
#define QEL_OPERATION_LOCK_WAIT_MS (5u * 60u * 1000u)

#ifdef __cplusplus
extern "C" {
#endif

int QEL_CALL installQELSystemFiles(const char* file, int useSystemDir, int doRegistration,
                                   int doSharedCount, char* message);

int QEL_CALL uninstallQELSystemFiles(const char* file, int useSystemDir, int doRegistration,
                                     int doSharedCount, char* message);

/* The same operations, telling the caller whether a restart is needed: *restartNeeded
   becomes 1 when the call succeeded and left a copy set aside (a file that a running
   program had loaded) to be deleted at the next restart; otherwise, failures
   included, 0. Running programs keep the old copy until they end. restartNeeded may
   be NULL. */
int QEL_CALL installQELSystemFilesEx(const char* file, int useSystemDir, int doRegistration,
                                     int doSharedCount, char* message, int* restartNeeded);

int QEL_CALL uninstallQELSystemFilesEx(const char* file, int useSystemDir, int doRegistration,
                                       int doSharedCount, char* message, int* restartNeeded);

#ifdef __cplusplus
}
#endif

#endif
