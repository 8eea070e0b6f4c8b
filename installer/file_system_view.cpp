#include "installer/file_system_view.h"

#include "common/message.h"

#include <windows.h>

namespace {

#ifndef _WIN64
using DisableRedirectionFunction = BOOL(WINAPI*)(PVOID*);
using RevertRedirectionFunction = BOOL(WINAPI*)(PVOID);
using EnableRedirectionFunction = BOOLEAN(WINAPI*)(BOOLEAN);

// Looked up, since Windows before XP has none of them and must still load the module.
template <typename Function>
Function KernelFunction(const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}
#endif

} // namespace

int TakeOwnView(CallerView* caller, char* message)
{
    caller->changed = 0;
    caller->state = nullptr;
#ifndef _WIN64
    auto disable = KernelFunction<DisableRedirectionFunction>("Wow64DisableWow64FsRedirection");
    auto enable = KernelFunction<EnableRedirectionFunction>("Wow64EnableWow64FsRedirection");
    auto revert = KernelFunction<RevertRedirectionFunction>("Wow64RevertWow64FsRedirection");
    // Outside WOW64 (32-bit Windows) there is no redirection, and disabling it fails.
    if (disable == nullptr || enable == nullptr || revert == nullptr || !disable(&caller->state)) return 1;
    // The answer is the caller's setting, whatever it was; it alone can bring it back.
    caller->changed = 1;
    if (!enable(TRUE)) {
        DWORD error = GetLastError();
        GiveBackView(caller);
        return WriteMessage(message, "Could not see the 32-bit system directory (error %lu).\n", error);
    }
#else
    (void)message;
#endif
    return 1;
}

void GiveBackView(CallerView* caller)
{
#ifndef _WIN64
    auto revert = KernelFunction<RevertRedirectionFunction>("Wow64RevertWow64FsRedirection");
    if (caller->changed && revert != nullptr) revert(caller->state);
#endif
    caller->changed = 0;
}
