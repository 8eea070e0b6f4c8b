/* A C99 program that uses qelsetup as a customer would: compiled against the release
   package's headers, linked with its import library, and run in a folder that holds
   only this program, the module and a COM server to install. No host is anywhere. */
#include "installer/operations.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

static int Check(int ok, const char* what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    return ok ? 0 : 1;
}

int main(void)
{
    char folder[MAX_PATH] = "";
    char server[MAX_PATH];
    char missing[MAX_PATH];
    char expected[QEL_MESSAGE_BUFFER_SIZE];
    char message[QEL_MESSAGE_BUFFER_SIZE] = "";
    char* slash;
    int failures = 0;
    int restartNeeded = 7;

    DWORD length = GetModuleFileNameA(NULL, folder, sizeof(folder));
    if (length == 0 || length >= sizeof(folder)) return 100;
    slash = strrchr(folder, '\\');
    if (slash == NULL) return 100;
    *slash = '\0';
    snprintf(server, sizeof(server), "%s\\server.dll", folder);
    snprintf(missing, sizeof(missing), "%s\\missing.dll", folder);

    /* Under Wine every user is an administrator. */
    failures += Check(RunningAsAdministrator() == 0, "RunningAsAdministrator");
    failures += Check(RunningAsPowerUser() == 0, "RunningAsPowerUser");

    failures += Check(installQELSystemFiles(server, 0, 1, 0, message) == 1 && message[0] == '\0',
                      "installQELSystemFiles registers the server in place");
    failures += Check(uninstallQELSystemFiles(server, 0, 1, 0, message) == 1 && message[0] == '\0',
                      "uninstallQELSystemFiles unregisters it");

    restartNeeded = 7;
    failures += Check(installQELSystemFilesEx(server, 0, 1, 0, message, &restartNeeded) == 1 && message[0] == '\0' &&
                          restartNeeded == 0,
                      "installQELSystemFilesEx registers it, no restart needed");
    failures += Check(uninstallQELSystemFilesEx(server, 0, 1, 0, message, NULL) == 1 && message[0] == '\0',
                      "uninstallQELSystemFilesEx unregisters it, restartNeeded NULL");

    snprintf(expected, sizeof(expected), "The file %s does not exist.\n", missing);
    failures += Check(installQELSystemFiles(missing, 1, 1, 1, message) == 0 && strcmp(message, expected) == 0,
                      "a missing file fails with its message");
    failures += Check(installQELSystemFiles(missing, 1, 1, 1, NULL) == 0, "a NULL message is allowed");
    failures += Check(installQELSystemFilesEx(missing, 1, 1, 1, message, &restartNeeded) == 0 &&
                          strcmp(message, expected) == 0 && restartNeeded == 0,
                      "installQELSystemFilesEx fails the same way, no restart needed");

    failures += Check(strcmp(QEL_OPERATION_LOCK_NAME, "Global\\qelsetup.SharedSystemFiles") == 0,
                      "the lock name");
    return failures;
}
