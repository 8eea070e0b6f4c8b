#ifndef QELSETUP_PRIVILEGE_CHECKS_H
#define QELSETUP_PRIVILEGE_CHECKS_H

// Which Windows family runs us, and whether the caller holds a built-in group.
// Internal to the module; the two exported checks are declared for C and C++ callers
// in the public header.
#include "privilege/running_as.h"

// GetWindowsFamily's answers.
constexpr int kFamilyUndetermined = -1;
constexpr int kFamily9x = 1;
constexpr int kFamilyOldNt = 2;  // NT 4 or older
constexpr int kFamilyNt5 = 3;    // NT 5 or newer
int GetWindowsFamily();

// 0 when the calling thread's token (or, for a thread without a token of its own,
// the process token) holds the built-in group with this RID, enabled or deny-only;
// -1 when it does not or the question cannot be answered.
int IsBuiltinGroupMember(unsigned long rid);

// 1 when the caller may change system files and registry entries (any 9x system, or
// a member of Administrators or Power Users); otherwise writes the refusal into the
// message buffer (kMessageSize bytes) and returns 0.
int CheckConfigurePermission(char* message);

#endif
