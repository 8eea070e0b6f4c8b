// Another program that holds something while a test calls the module, for as long as
// the test wants:
//
//   holder_process event|closed-mutex|lock READY_EVENT DONE_EVENT
//   holder_process module PATH READY_EVENT DONE_EVENT
//
// event: an event under QEL_OPERATION_LOCK_NAME; closed-mutex: a mutex under it whose
// DACL is empty, so that nobody else may open it; lock: the setup lock itself, taken
// as a setup takes it; module: the DLL at PATH, loaded.
// Sets READY_EVENT once it holds it, and keeps it until DONE_EVENT is set: for as
// long as a test needs, however slow the machine. It cannot outlive the test, whose
// job ends it (tests/support/child_process.h). Exit code 0, or 100 when it could not
// take hold.
#include "common/holders.h"
#include "installer/operation_lock.h"
#include "installer/operations.h"

#include <windows.h>

#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 4) return 100;
    const char* kind = argv[1];
    HandleHolder squatted;
    MutexHolder lock;
    LibraryHolder module;
    if (strcmp(kind, "event") == 0) {
        squatted.reset(CreateEventA(nullptr, TRUE, FALSE, QEL_OPERATION_LOCK_NAME));
        if (!squatted || GetLastError() == ERROR_ALREADY_EXISTS) return 100;
    } else if (strcmp(kind, "closed-mutex") == 0) {
        SECURITY_DESCRIPTOR descriptor = {};
        ACL acl = {};
        if (!InitializeAcl(&acl, sizeof(acl), ACL_REVISION) ||
            !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE))
            return 100;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
        squatted.reset(CreateMutexA(&attributes, FALSE, QEL_OPERATION_LOCK_NAME));
        if (!squatted || GetLastError() == ERROR_ALREADY_EXISTS) return 100;
    } else if (strcmp(kind, "lock") == 0) {
        char message[QEL_MESSAGE_BUFFER_SIZE] = "";
        lock = AcquireOperationLock("holder", 10000, message);
        if (!lock) return 100;
    } else if (strcmp(kind, "module") == 0 && argc == 5) {
        module.reset(LoadLibraryA(argv[2]));
        if (!module) return 100;
    } else {
        return 100;
    }
    HandleHolder ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[argc - 2]));
    HandleHolder done(OpenEventA(SYNCHRONIZE, FALSE, argv[argc - 1]));
    if (!ready || !done || !SetEvent(ready.get())) return 100;
    return WaitForSingleObject(done.get(), INFINITE) == WAIT_OBJECT_0 ? 0 : 100;
}
