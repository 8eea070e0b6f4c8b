// Run by concurrency_test: another program that has taken the name of the setup lock.
//
//   lock_squatter event|closed-mutex READY_EVENT DONE_EVENT
//
// event: an event under QEL_OPERATION_LOCK_NAME; closed-mutex: a mutex under it whose
// DACL is empty, so that nobody else may open it. Sets READY_EVENT once the object
// exists and keeps it until DONE_EVENT is set, two minutes at most. Exit code 0, or
// 100 when it could not take the name.
#include "common/holders.h"
#include "installer/operations.h"

#include <windows.h>

#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 4) return 100;
    HandleHolder squatted;
    if (strcmp(argv[1], "event") == 0) {
        squatted.reset(CreateEventA(nullptr, TRUE, FALSE, QEL_OPERATION_LOCK_NAME));
    } else if (strcmp(argv[1], "closed-mutex") == 0) {
        SECURITY_DESCRIPTOR descriptor = {};
        ACL acl = {};
        if (!InitializeAcl(&acl, sizeof(acl), ACL_REVISION) ||
            !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE))
            return 100;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
        squatted.reset(CreateMutexA(&attributes, FALSE, QEL_OPERATION_LOCK_NAME));
    }
    if (!squatted || GetLastError() == ERROR_ALREADY_EXISTS) return 100;
    HandleHolder ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]));
    HandleHolder done(OpenEventA(SYNCHRONIZE, FALSE, argv[3]));
    if (!ready || !done || !SetEvent(ready.get())) return 100;
    return WaitForSingleObject(done.get(), 120000) == WAIT_OBJECT_0 ? 0 : 100;
}
