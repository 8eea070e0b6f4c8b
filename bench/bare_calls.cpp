#include "bench/bare_calls.h"

#include "common/holders.h"
#include "support/test_support.h"

#include <ole2.h>

#include <cstring>
#include <vector>

namespace qelbench {

namespace {

typedef HRESULT(STDAPICALLTYPE* ServerEntryPoint)();

} // namespace

bool ReadVersionResource(const char* path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return false;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoA(path, handle, size, block.data())) return false;
    VS_FIXEDFILEINFO* record = nullptr;
    UINT length = 0;
    return VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&record), &length) != 0;
}

HKEY OpenSharedDlls()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, qeltest::kSharedDllsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool RaiseCountBare(const char* path)
{
    HKEY key = OpenSharedDlls();
    if (!key) return false;
    DWORD count = 0;
    DWORD length = sizeof(count);
    if (RegQueryValueExA(key, path, nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &length) !=
        ERROR_SUCCESS)
        count = 0;
    ++count;
    LONG written = RegSetValueExA(key, path, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                                  sizeof(count));
    RegCloseKey(key);
    return written == ERROR_SUCCESS;
}

bool RemoveCountBare(const char* path)
{
    HKEY key = OpenSharedDlls();
    if (!key) return false;
    DWORD count = 0;
    DWORD length = sizeof(count);
    LONG removed = RegQueryValueExA(key, path, nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &length);
    if (removed == ERROR_SUCCESS) removed = RegDeleteValueA(key, path);
    RegCloseKey(key);
    return removed == ERROR_SUCCESS;
}

namespace {

bool CallServerBare(const char* path, const char* entryName)
{
    if (FAILED(OleInitialize(nullptr))) return false;
    bool called = false;
    HMODULE module = LoadLibraryA(path);
    if (module) {
        auto entry = reinterpret_cast<ServerEntryPoint>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, entryName)));
        called = entry && SUCCEEDED(entry());
        FreeLibrary(module);
    }
    OleUninitialize();
    return called;
}

} // namespace

bool RegisterBare(const char* path) { return CallServerBare(path, "DllRegisterServer"); }

bool UnregisterBare(const char* path) { return CallServerBare(path, "DllUnregisterServer"); }

bool AskSfcBare(const char* path)
{
    char sfcPath[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(sfcPath, MAX_PATH);
    if (length == 0 || length + sizeof("\\sfc.dll") > MAX_PATH) return false;
    memcpy(sfcPath + length, "\\sfc.dll", sizeof("\\sfc.dll"));
    HMODULE sfc = LoadLibraryA(sfcPath);
    if (!sfc) return false;
    typedef BOOL(WINAPI * IsFileProtected)(HANDLE, LPCWSTR);
    auto ask = reinterpret_cast<IsFileProtected>(
        reinterpret_cast<void (*)()>(GetProcAddress(sfc, "SfcIsFileProtected")));
    WCHAR wide[MAX_PATH] = {};
    bool asked = ask && MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) != 0;
    if (asked) ask(nullptr, wide);
    FreeLibrary(sfc);
    return asked;
}

bool FlushBare(const char* path)
{
    HandleHolder file(NullIfInvalid(CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    return file && FlushFileBuffers(file.get());
}

}  // namespace qelbench
