// Another program that holds something while a test calls the module, for as long as
// the test wants:
//
//   holder_process event|closed-mutex|lock READY_EVENT DONE_EVENT
//   holder_process module|open-on-pause PATH READY_EVENT DONE_EVENT
//
// event: an event under QEL_OPERATION_LOCK_NAME; closed-mutex: a mutex under it whose
// DACL is empty, so that nobody else may open it; lock: the setup lock itself, taken
// as a setup takes it (ending the holder abandons it, as a setup that dies does);
// module: the DLL at PATH, loaded; open-on-pause: PATH held open for reading, sharing
// reading only, from the moment a server that waits in its registration writes
// PATH.paused; the holder then deletes PATH.pause to let the server go on. That is
// how a test takes hold of a file in the middle of its own call without a second
// thread, which the tests may not have (see the README).
// Sets READY_EVENT once it holds it (open-on-pause: once it watches), and keeps it
// until DONE_EVENT is set: for as long as a test needs, however slow the machine. It
// cannot outlive the test, whose job ends it (tests/support/child_process.h). Exit
// code 0, or 100 when it could not take hold.
#include "common/holders.h"
#include "installer/operation_lock.h"
#include "installer/operations.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

// Waits up to two minutes for PATH.paused, then opens PATH and lets the server go on.
HANDLE OpenOnPause(const char* path)
{
    std::string paused = std::string(path) + ".paused", pause = std::string(path) + ".pause";
    for (int waited = 0; GetFileAttributesA(paused.c_str()) == INVALID_FILE_ATTRIBUTES; ++waited) {
        if (waited == 12000) return nullptr;
        Sleep(10);
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    DeleteFileA(pause.c_str());
    return file;
}

}  // namespace

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
    } else if (strcmp(kind, "open-on-pause") != 0 || argc != 5) {
        return 100;
    }
    HandleHolder ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[argc - 2]));
    HandleHolder done(OpenEventA(SYNCHRONIZE, FALSE, argv[argc - 1]));
    if (!ready || !done || !SetEvent(ready.get())) return 100;
    if (strcmp(kind, "open-on-pause") == 0) {
        squatted.reset(OpenOnPause(argv[2]));
        if (!squatted) return 100;
    }
    return WaitForSingleObject(done.get(), INFINITE) == WAIT_OBJECT_0 ? 0 : 100;
}
