#ifndef QELSETUP_PRIVILEGE_CHECKS_H
#define QELSETUP_PRIVILEGE_CHECKS_H

// Which Windows family runs us, and whether the caller holds a built-in group.

// -1 undetermined, 1 the 9x family, 2 NT 4 or older, 3 NT 5 or newer.
int GetWindowsFamily();

// 0 when the calling thread's token (or, for a thread without a token of its own,
// the process token) holds the built-in group with this RID, enabled or deny-only;
// -1 when it does not or the question cannot be answered.
int IsBuiltinGroupMember(unsigned long rid);

// 1 when the caller may change system files and registry entries (any 9x system, or
// a member of Administrators or Power Users); otherwise writes the refusal into the
// message buffer (kMessageSize bytes) and returns 0.
int CheckConfigurePermission(char* message);

extern "C" {
// Exported. 0 = the caller is a member of Administrators, -1 = not, or unknown.
int RunningAsAdministrator(void);
// Exported. 0 = the caller is a member of Administrators or Power Users, else -1.
int RunningAsPowerUser(void);
}

#endif
