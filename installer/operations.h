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
 *                on entry. Every message the operations write fits in it.
 *
 * A control (.ocx) brings its companion .dep file (same name) along: it is copied,
 * counted and deleted with the control, and its own failures are ignored.
 *
 * Result: 1 on success, 0 on failure. On failure `message` says why, in the words of
 * the step that failed; nothing done before that step is undone. On success the
 * message is empty, or says that a file of an unknown type was not registered.
 * The caller must be an administrator or power user on NT-family Windows.
 */

#define QEL_MESSAGE_BUFFER_SIZE 1024

#ifdef __cplusplus
extern "C" {
#endif

int installQELSystemFiles(const char* file, int useSystemDir, int doRegistration,
                          int doSharedCount, char* message);

int uninstallQELSystemFiles(const char* file, int useSystemDir, int doRegistration,
                            int doSharedCount, char* message);

#ifdef __cplusplus
}
#endif

#endif
