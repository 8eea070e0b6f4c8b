#include <windows.h>

// The module keeps no state: there is nothing to set up or tear down, and per-thread
// notifications would only cost the host's threads time.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
