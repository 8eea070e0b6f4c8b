#ifndef QELSETUP_COMMON_HOLDERS_H
#define QELSETUP_COMMON_HOLDERS_H

// Holders for the Win32 resources a step acquires, so that no return path can skip
// the release. A holder treats only nullptr as empty.
#include <windows.h>
#include <ole2.h>

#include <cstdlib>
#include <memory>

// The deleter of every holder: the release function of its resource type, as WIL's
// unique_any has it. Its result, where it has one, tells nothing a caller could act on.
template <typename T, auto Free>
struct Release {
    using pointer = T;
    void operator()(T resource) const { Free(resource); }
};

// CreateFileA and its kin fail with INVALID_HANDLE_VALUE, which a holder would take
// for a handle: hold what this returns instead.
inline HANDLE NullIfInvalid(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

// A held mutex is released before it is closed.
inline void ReleaseAndCloseMutex(HANDLE mutex)
{
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// Balances one successful OleInitialize (S_FALSE included) with exactly one
// OleUninitialize. It holds the address of the HRESULT that OleInitialize returned,
// which only marks the guard as engaged.
inline void UninitializeOle(HRESULT*) { OleUninitialize(); }

using KeyHolder = std::unique_ptr<HKEY, Release<HKEY, RegCloseKey>>;
using HandleHolder = std::unique_ptr<HANDLE, Release<HANDLE, CloseHandle>>;
using MutexHolder = std::unique_ptr<HANDLE, Release<HANDLE, ReleaseAndCloseMutex>>;
using SidHolder = std::unique_ptr<void, Release<PSID, FreeSid>>;
using LibraryHolder = std::unique_ptr<HMODULE, Release<HMODULE, FreeLibrary>>;
using BlockHolder = std::unique_ptr<void, Release<void*, std::free>>;
// Declare it before a LibraryHolder, so the library goes first and OLE last.
using OleGuard = std::unique_ptr<HRESULT, Release<HRESULT*, UninitializeOle>>;

#endif
