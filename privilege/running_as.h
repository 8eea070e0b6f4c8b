#ifndef QELSETUP_PRIVILEGE_RUNNING_AS_H
#define QELSETUP_PRIVILEGE_RUNNING_AS_H

/*
 * The two group checks the qelsetup module exports as plain C functions, for C (C99)
 * and C++ programs alike. installer/operations.h includes this header, so one include
 * of it declares all four exports.
 *
 * Every export uses the C calling convention (cdecl: the caller removes the
 * arguments), which QEL_CALL spells out; in an NSIS System::Call that is `?c`.
 * Link with libqelsetup.a (MinGW) or qelsetup.lib (Microsoft's linker), or load
 * qelsetup.mexw32 / qelsetup.mexw64 and look the names up: the module imports only
 * Windows system DLLs, so it loads in any process.
 *
 * Both checks look at the calling thread's token, or the process token when the
 * thread has none of its own; a group counts whatever its attributes (an
 * administrator running with a restricted, deny-only token is still one).
 */

#if defined(_WIN32) && !defined(QEL_CALL)
#define QEL_CALL __cdecl
#elif !defined(QEL_CALL)
#define QEL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when the caller is a member of Administrators; -1 when not, or when it cannot be
   told. */
int QEL_CALL RunningAsAdministrator(void);

/* 0 when the caller is a member of Administrators or Power Users; -1 otherwise. */
int QEL_CALL RunningAsPowerUser(void);

#ifdef __cplusplus
}
#endif

#endif
