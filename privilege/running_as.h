#ifndef QELSETUP_PRIVILEGE_RUNNING_AS_H
#define QELSETUP_PRIVILEGE_RUNNING_AS_H

/*
 * The two group checks the qelsetup module exports as plain C functions, for C (C99)
 * and C++ programs alike. installer/operations.h includes this header, so one include
 * of it declares all six plain exports.
 *
 * Every export uses the C calling convention (cdecl: the caller removes the
 * arguments), which QEL_CALL spells out; in an NSIS System::Call that is `?c`.
 * Link with libqelsetup.a (MinGW) or qelsetup.lib (Microsoft's linker), or load
 * qelsetup.mexw32 / qelsetup.mexw64 and look the names up: the module imports only
 * Windows system DLLs, so it loads in any process.
 *
 * Both checks look at the calling thread's token, or the process token when the
 * thread has none of its own, and answer as Windows does for "running as
 * administrator": a group counts only while the token holds it enabled. An
 * administrator's program that was not started elevated (Run as administrator), or
 * one run with a restricted token, holds Administrators and Power Users for denying
 * only, and both checks answer -1 for it, as the operations refuse it.
 */

#if defined(_WIN32) && !defined(QEL_CALL)
#define QEL_CALL __cdecl
#elif !defined(QEL_CALL)
#define QEL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when the caller holds Administrators enabled; -1 when not, or when it cannot be
   told. */
int QEL_CALL RunningAsAdministrator(void);

/* 0 when the caller holds Administrators or Power Users enabled; -1 otherwise.
   0 is what installQELSystemFiles and uninstallQELSystemFiles require (on Windows NT
   and later). */
int QEL_CALL RunningAsPowerUser(void);

#ifdef __cplusplus
}
#endif

#endif
