#ifndef QELSETUP_COMMON_HOLDERS_H
#define QELSETUP_COMMON_HOLDERS_H

// Holders for the Win32 resources a step acquires, so that no return path can skip
// the release. A holder treats only nullptr as empty.
#include <windows.h>
#include <ole2.h>

#include <cstdlib>
#include <memory>

struct KeyCloser {
    using pointer = HKEY;
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyHolder = std::unique_ptr<HKEY, KeyCloser>;

struct HandleCloser {
    using pointer = HANDLE;
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using HandleHolder = std::unique_ptr<HANDLE, HandleCloser>;

// CreateFileA and its kin fail with INVALID_HANDLE_VALUE, which a holder would take
// for a handle: hold what this returns instead.
inline HANDLE NullIfInvalid(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

// A held mutex: released, then closed.
struct MutexReleaser {
    using pointer = HANDLE;
    void operator()(HANDLE mutex) const
    {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
};
using MutexHolder = std::unique_ptr<HANDLE, MutexReleaser>;

struct SidFreer {
    using pointer = PSID;
    void operator()(PSID sid) const { FreeSid(sid); }
};
using SidHolder = std::unique_ptr<void, SidFreer>;

struct LibraryFreer {
    using pointer = HMODULE;
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using LibraryHolder = std::unique_ptr<HMODULE, LibraryFreer>;

struct BlockFreer {
    void operator()(void* block) const { std::free(block); }
};
using BlockHolder = std::unique_ptr<void, BlockFreer>;

// Balances one successful OleInitialize (S_FALSE included) with exactly one
// OleUninitialize. Declare it before a LibraryHolder so the library goes first.
// It holds the address of the HRESULT that OleInitialize returned, which only
// marks the guard as engaged.
struct OleUninitializer {
    void operator()(HRESULT*) const { OleUninitialize(); }
};
using OleGuard = std::unique_ptr<HRESULT, OleUninitializer>;

#endif
