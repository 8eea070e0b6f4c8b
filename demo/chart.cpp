// Chart.ocx, the demonstration's sample control. Like any ActiveX control it registers
// and unregisters its class itself, naming the file it was loaded from as the server,
// so a registration always points at the copy the installer chose to load.
//
// CHART_REGISTERED_VERSION ("1.0", "1.1") goes into the class's Version key, which is
// how one tells which build of the control a machine has registered.
#include "chart_ids.h"

#include <windows.h>
#include <olectl.h>

#include <cstring>

#ifndef CHART_REGISTERED_VERSION
#error "CHART_REGISTERED_VERSION names the control's major.minor version"
#endif

namespace {

const char kClassKey[] = "CLSID\\" CHART_CLSID;
const char kServerKey[] = "CLSID\\" CHART_CLSID "\\InprocServer32";
const char kVersionKey[] = "CLSID\\" CHART_CLSID "\\Version";

// The path this copy of the control was loaded from, not the one it was built at.
DWORD OwnPath(char* path, DWORD size)
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnPath), &self))
        return 0;
    DWORD length = GetModuleFileNameA(self, path, size);
    return length < size ? length : 0;
}

LONG SetText(HKEY root, const char* keyName, const char* valueName, const char* text)
{
    HKEY key = nullptr;
    LONG result = RegCreateKeyExA(root, keyName, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) return result;
    result = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>(strlen(text) + 1));
    RegCloseKey(key);
    return result;
}

// The tally is a demonstration aid only: it must never make registration fail.
void Tally(const char* entryPoint)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, CHART_TALLY_KEY, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    DWORD calls = 0;
    DWORD length = sizeof(calls);
    DWORD type = 0;
    if (RegQueryValueExA(key, entryPoint, nullptr, &type, reinterpret_cast<BYTE*>(&calls), &length) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        calls = 0;
    ++calls;
    RegSetValueExA(key, entryPoint, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&calls), sizeof(calls));
    RegCloseKey(key);
}

} // namespace

extern "C" HRESULT __stdcall DllRegisterServer()
{
    Tally("DllRegisterServer");
    char path[MAX_PATH] = {};
    if (OwnPath(path, MAX_PATH) == 0) return SELFREG_E_CLASS;
    if (SetText(HKEY_CLASSES_ROOT, kClassKey, nullptr, "Chart sample control") != ERROR_SUCCESS ||
        SetText(HKEY_CLASSES_ROOT, kServerKey, nullptr, path) != ERROR_SUCCESS ||
        SetText(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel", "Apartment") != ERROR_SUCCESS ||
        SetText(HKEY_CLASSES_ROOT, kVersionKey, nullptr, CHART_REGISTERED_VERSION) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    return S_OK;
}

extern "C" HRESULT __stdcall DllUnregisterServer()
{
    Tally("DllUnregisterServer");
    // Subkeys first: RegDeleteKeyA refuses a key that still has any. A class that is
    // already gone is no failure, so that unregistering twice is harmless.
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kServerKey);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kVersionKey);
    LONG result = RegDeleteKeyA(HKEY_CLASSES_ROOT, kClassKey);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return SELFREG_E_CLASS;
    return S_OK;
}
