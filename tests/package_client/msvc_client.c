/* A program that links qelsetup the Microsoft way: compiled by clang for the MSVC
   target and linked by lld-link against the release package's lib/qelsetup.lib and
   kernel32 alone. It has no C runtime, so it calls none: its buffers are static (a
   "= {0}" array would be a call to memset), its text helpers are its own, and its
   entry point is `start`. It runs in a folder that holds only itself, the module and
   a COM server to install. Exit code: the number of failed checks. */
#include "installer/operations.h"

/* The kernel32 functions it needs, declared here: the MSVC target brings no Windows
   headers of its own. */
typedef void* HANDLE;
typedef unsigned long DWORD;
typedef int BOOL;
#define STD_OUTPUT_HANDLE ((DWORD)-11)
__declspec(dllimport) DWORD __stdcall GetModuleFileNameA(HANDLE module, char* name, DWORD size);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written,
                                               void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

#define PATH_SIZE 260

static char folder[PATH_SIZE];
static char server[PATH_SIZE];
static char missing[PATH_SIZE];
static char expected[QEL_MESSAGE_BUFFER_SIZE];
static char message[QEL_MESSAGE_BUFFER_SIZE];

static DWORD Length(const char* text)
{
    DWORD length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

static int Same(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

/* Joins the parts into `out` (of `size` bytes); 0 when they do not fit. */
static int Join(char* out, DWORD size, const char* first, const char* second, const char* third)
{
    const char* parts[3];
    DWORD used = 0;
    int i;
    parts[0] = first;
    parts[1] = second;
    parts[2] = third;
    for (i = 0; i < 3; ++i) {
        const char* part = parts[i];
        while (*part != '\0') {
            if (used + 1 >= size) return 0;
            out[used++] = *part++;
        }
    }
    out[used] = '\0';
    return 1;
}

static void Print(const char* text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, Length(text), &written, 0);
}

static int Check(int ok, const char* what)
{
    Print(ok ? "ok: " : "FAILED: ");
    Print(what);
    Print("\n");
    return ok ? 0 : 1;
}

void start(void)
{
    int failures = 0;
    int restartNeeded = 7;
    DWORD length = GetModuleFileNameA(0, folder, PATH_SIZE);
    DWORD slash = 0;
    DWORD i;
    if (length == 0 || length >= PATH_SIZE) ExitProcess(100);
    for (i = 0; i < length; ++i)
        if (folder[i] == '\\') slash = i;
    folder[slash] = '\0';
    if (!Join(server, PATH_SIZE, folder, "\\server.dll", "") || !Join(missing, PATH_SIZE, folder, "\\missing.dll", "") ||
        !Join(expected, QEL_MESSAGE_BUFFER_SIZE, "The file ", missing, " does not exist.\n"))
        ExitProcess(100);

    /* Under Wine every user is an administrator. */
    failures += Check(RunningAsAdministrator() == 0, "RunningAsAdministrator");
    failures += Check(RunningAsPowerUser() == 0, "RunningAsPowerUser");

    message[0] = '\0';
    failures += Check(installQELSystemFilesEx(server, 0, 1, 0, message, &restartNeeded) == 1 && message[0] == '\0' &&
                          restartNeeded == 0,
                      "installQELSystemFilesEx registers the server in place, no restart needed");
    restartNeeded = 7;
    failures += Check(uninstallQELSystemFilesEx(server, 0, 1, 0, message, &restartNeeded) == 1 &&
                          message[0] == '\0' && restartNeeded == 0,
                      "uninstallQELSystemFilesEx unregisters it, no restart needed");
    restartNeeded = 7;
    failures += Check(installQELSystemFilesEx(missing, 1, 1, 1, message, &restartNeeded) == 0 &&
                          Same(message, expected) && restartNeeded == 0,
                      "a missing file fails with its message, no restart needed");
    failures += Check(installQELSystemFilesEx(missing, 1, 1, 1, 0, 0) == 0 &&
                          uninstallQELSystemFilesEx(server, 0, 0, 0, 0, 0) == 1,
                      "NULL message and restartNeeded are allowed");

    message[0] = '\0';
    failures += Check(installQELSystemFiles(server, 0, 1, 0, message) == 1 &&
                          uninstallQELSystemFiles(server, 0, 1, 0, message) == 1 && message[0] == '\0',
                      "installQELSystemFiles and uninstallQELSystemFiles");
    ExitProcess((unsigned int)failures);
}
