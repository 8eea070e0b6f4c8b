#ifndef QELSETUP_INSTALLER_SELF_REGISTRATION_H
#define QELSETUP_INSTALLER_SELF_REGISTRATION_H

// Registers a COM server (.dll, .ocx) through its own DllRegisterServer, with OLE
// initialised on the calling thread for the duration of the call only. A .tlb fails;
// any other extension succeeds with a message saying it was not handled.
// Returns 1 or 0; the message buffer holds kMessageSize bytes.
int RegisterServerFile(const char* path, char* message);

// The twin of RegisterServerFile, through DllUnregisterServer.
int UnregisterServerFile(const char* path, char* message);

#endif
