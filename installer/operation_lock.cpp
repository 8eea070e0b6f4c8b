#include "installer/operation_lock.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/operations.h"
#include "privilege/checks.h"

#include <windows.h>

namespace {

// The groups that pass the permission gate, and the system itself (services that
// install): S-1-5-32-544, S-1-5-32-547, S-1-5-18.
constexpr DWORD kLockGroupCount = 3;
constexpr DWORD kLockRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kLockAclSize =
    sizeof(ACL) + kLockGroupCount * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);

// What a created lock mutex is given; it must outlive the CreateMutexA call.
struct LockSecurity {
    SidHolder administrators;
    SidHolder powerUsers;
    SidHolder system;
    DWORD aclStorage[kLockAclSize / sizeof(DWORD) + 1];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

PSID MakeSid(BYTE count, DWORD first, DWORD second)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, count, first, second, 0, 0, 0, 0, 0, 0, &sid)) return nullptr;
    return sid;
}

// Only those who may install can wait for the lock and release it: a program that
// anyone could run must not be able to take it and stop every setup on the machine.
// Nobody is given the right to change or delete it. Returns the attributes to
// create it with, or nullptr.
SECURITY_ATTRIBUTES* MakeLockSecurity(LockSecurity* security)
{
    security->administrators.reset(MakeSid(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS));
    security->powerUsers.reset(MakeSid(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_POWER_USERS));
    security->system.reset(MakeSid(1, SECURITY_LOCAL_SYSTEM_RID, 0));
    ACL* acl = reinterpret_cast<ACL*>(security->aclStorage);
    if (!security->administrators || !security->powerUsers || !security->system
        || !InitializeAcl(acl, kLockAclSize, ACL_REVISION)
        || !AddAccessAllowedAce(acl, ACL_REVISION, kLockRights, security->administrators.get())
        || !AddAccessAllowedAce(acl, ACL_REVISION, kLockRights, security->powerUsers.get())
        || !AddAccessAllowedAce(acl, ACL_REVISION, kLockRights, security->system.get())
        || !InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION)
        || !SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE))
        return nullptr;
    security->attributes = {sizeof(security->attributes), &security->descriptor, FALSE};
    return &security->attributes;
}

// A mutex this call makes is its own from the start: only one that another setup
// holds open already is waited for. *owned says which.
HANDLE OpenLockMutex(DWORD* error, int* owned)
{
    LockSecurity security = {};
    int family = GetWindowsFamily();
    // Windows before 2000 has no Global\ namespace: on the 9x family and NT 4.0 the
    // plain name is already the whole machine's. The 9x family has no security.
    if (family == kFamily9x || family == kFamilyOldNt) {
        HANDLE mutex = CreateMutexA(family == kFamily9x ? nullptr : MakeLockSecurity(&security),
                                    TRUE, QEL_OPERATION_LOCK_FALLBACK_NAME);
        *error = GetLastError();
        *owned = mutex != nullptr && *error != ERROR_ALREADY_EXISTS;
        return mutex;
    }

    SECURITY_ATTRIBUTES* attributes = MakeLockSecurity(&security);
    if (attributes == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    HANDLE mutex = CreateMutexA(attributes, TRUE, QEL_OPERATION_LOCK_NAME);
    *error = GetLastError();
    *owned = mutex != nullptr && *error != ERROR_ALREADY_EXISTS;
    if (mutex != nullptr) return mutex;
    // Made by another setup whose rights we lack in full: waiting and releasing do.
    if (*error == ERROR_ACCESS_DENIED) {
        mutex = OpenMutexA(kLockRights, FALSE, QEL_OPERATION_LOCK_NAME);
        if (mutex == nullptr) *error = GetLastError();
    }
    return mutex;
}

} // namespace

MutexHolder AcquireOperationLock(const char* file, DWORD waitMilliseconds, char* message)
{
    DWORD error = 0;
    int owned = 0;
    HandleHolder mutex(OpenLockMutex(&error, &owned));
    // Without the lock, setups elsewhere on the machine would not wait for this one,
    // so nothing may change. An object of another kind under its name (error 6), or a
    // mutex under it that we may not open (error 5), is some other program's.
    if (!mutex) {
        if (error == ERROR_INVALID_HANDLE || error == ERROR_ACCESS_DENIED)
            WriteMessage(message, "Could not change %s.\nAnother program holds the name of the setup "
                                  "lock (error %lu). Nothing was changed.\n", file, error);
        else
            WriteMessage(message, "Could not change %s.\nThe lock on shared system files could not "
                                  "be opened (error %lu).\n", file, error);
        return MutexHolder();
    }

    // An abandoned lock means its holder died: what it left is no worse than what a
    // killed setup leaves anyway, and waiting longer would not mend it.
    DWORD waited = owned ? WAIT_OBJECT_0 : WaitForSingleObject(mutex.get(), waitMilliseconds);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return MutexHolder(mutex.release());

    if (waited == WAIT_TIMEOUT)
        WriteMessage(message, "Could not change %s.\nAnother setup has been changing shared system "
                              "files for %lu seconds. Nothing was changed.\n",
                     file, waitMilliseconds / 1000);
    else
        WriteMessage(message, "Could not change %s.\nThe lock on shared system files could not be "
                              "taken (error %lu).\n", file, GetLastError());
    return MutexHolder();
}
