#ifndef QELSETUP_PRIVILEGE_CHECKS_H
#define QELSETUP_PRIVILEGE_CHECKS_H

// Which Windows family runs us, and whether the caller holds a built-in group.
// Internal to the module: the two exported checks (running_as.h) are built on these,
// and the permission gate asks them itself.

// GetWindowsFamily's answers.
constexpr int kFamilyUndetermined = -1;
constexpr int kFamily9x = 1;
constexpr int kFamilyOldNt = 2;  // NT 4 or older
constexpr int kFamilyNt5 = 3;    // NT 5 or newer
int GetWindowsFamily();

// 0 when the calling thread's token (or, for a thread without a token of its own,
// the process token) holds the built-in group with this RID enabled; -1 when it does
// not, holds it for denying only, or the question cannot be answered.
int IsBuiltinGroupMember(unsigned long rid);

// 0 when the caller holds Administrators or Power Users in that way; -1 otherwise.
int IsAdministratorOrPowerUser();

// 1 when the caller may change system files and registry entries (any 9x system, or
// a member of Administrators or Power Users); otherwise writes the refusal into the
// message buffer (kMessageSize bytes) and returns 0.
int CheckConfigurePermission(char* message);

#endif
