#include "installer/operation_lock.h"

#include "common/holders.h"
#include "common/message.h"
#include "installer/operations.h"
#include "installer/target_paths.h"
#include "privilege/checks.h"

#include <windows.h>

namespace {

// Room for an ACL with one allowed entry for the world SID.
constexpr DWORD kLockAclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE;

// Everyone may wait for the lock and release it, so that setups run by other users
// and by services take part; nobody is given the right to change or delete it.
// Without security functions (the 9x family) the default security is used.
int MakeLockSecurity(PSID everyone, ACL* acl, SECURITY_DESCRIPTOR* descriptor)
{
    return InitializeAcl(acl, kLockAclSize, ACL_REVISION)
        && AddAccessAllowedAce(acl, ACL_REVISION, SYNCHRONIZE | MUTEX_MODIFY_STATE, everyone)
        && InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)
        && SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE);
}

HANDLE OpenLockMutex(DWORD* error)
{
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID rawSid = nullptr;
    AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &rawSid);
    SidHolder everyone(rawSid);
    DWORD aclStorage[kLockAclSize / sizeof(DWORD) + 1] = {};
    SECURITY_DESCRIPTOR descriptor = {};
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    SECURITY_ATTRIBUTES* security = nullptr;
    if (everyone && MakeLockSecurity(everyone.get(), reinterpret_cast<ACL*>(aclStorage), &descriptor))
        security = &attributes;

    HANDLE mutex = CreateMutexA(security, FALSE, QEL_OPERATION_LOCK_NAME);
    if (mutex != nullptr) return mutex;
    *error = GetLastError();
    // Made by someone whose rights we lack in full: waiting and releasing may still do.
    if (*error == ERROR_ACCESS_DENIED)
        return OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, QEL_OPERATION_LOCK_NAME);
    // Only systems without sessions reject the Global\ prefix, and there the session's
    // own namespace is the whole machine's.
    mutex = CreateMutexA(security, FALSE, QEL_OPERATION_LOCK_FALLBACK_NAME);
    if (mutex == nullptr) *error = GetLastError();
    return mutex;
}

} // namespace

HANDLE AcquireOperationLock(const char* file, DWORD waitMilliseconds, char* message)
{
    DWORD error = 0;
    HandleHolder mutex(OpenLockMutex(&error));
    if (!mutex) {
        WriteMessage(message, "Could not change %s.\nThe lock on shared system files could not be "
                              "opened (error %lu).\n", file, error);
        return nullptr;
    }

    // An abandoned lock means its holder died: what it left is no worse than what a
    // killed setup leaves anyway, and waiting longer would not mend it.
    DWORD waited = WaitForSingleObject(mutex.get(), waitMilliseconds);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return mutex.release();

    if (waited == WAIT_TIMEOUT)
        WriteMessage(message, "Could not change %s.\nAnother setup has been changing shared system "
                              "files for %lu seconds. Nothing was changed.\n",
                     file, waitMilliseconds / 1000);
    else
        WriteMessage(message, "Could not change %s.\nThe lock on shared system files could not be "
                              "taken (error %lu).\n", file, GetLastError());
    return nullptr;
}

HANDLE BeginOperation(const char* file, int useSystemDir, TargetPaths* paths, char* message)
{
    if (!CheckConfigurePermission(message)) return nullptr;
    if (!MakeTargetPaths(file, useSystemDir, paths, message)) return nullptr;
    // Everything after this reads a count or a file and acts on what it read: another
    // setup in between would lose a raise, or delete a file it has just counted.
    return AcquireOperationLock(file, QEL_OPERATION_LOCK_WAIT_MS, message);
}
