// A COM server of a chosen size for the benchmark: it registers itself the way a
// real control does (one CLSID key naming its own path) and carries a block of
// read-only data so its file is as large as a control with big resources.
#include "fixture_record.h"

#include <objbase.h>
#include <olectl.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#ifndef QEL_BENCH_PADDING_BYTES
#error "QEL_BENCH_PADDING_BYTES sets the size of the file's data block"
#endif

#define QEL_BENCH_TEXT(x) #x
#define QEL_BENCH_NUMBER(x) QEL_BENCH_TEXT(x)

// Non-zero bytes, so the block is stored in the file rather than left to the loader
// to zero; the assembler writes them, which no compiler would do for 50 MB in time.
// COFF's assembler has no section stack: it goes back to .text, where the compiler
// believes it still is.
asm(".section .rdata,\"dr\"\n"
    ".p2align 12\n"
    ".fill " QEL_BENCH_NUMBER(QEL_BENCH_PADDING_BYTES) ", 1, 0xa5\n"
    ".text\n");

namespace {

void OwnPath(char* path, DWORD size)
{
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnPath), &self);
    GetModuleFileNameA(self, path, size);
}

// Each copy under another file name is another server, named the way the test
// fixtures name theirs, so a run that copies the file under a fresh name never sees
// a key left by an earlier one, and the tests' helpers find and remove its key.
void ClsidKeyName(char* out, size_t size, const char* suffix)
{
    char path[MAX_PATH] = {};
    OwnPath(path, MAX_PATH);
    char base[MAX_PATH] = {};
    FixtureBaseName(path, base, sizeof(base));
    char clsid[64] = {};
    FixtureClsid(base, clsid, sizeof(clsid));
    snprintf(out, size, "CLSID\\%s%s", clsid, suffix);
}

} // namespace

extern "C" HRESULT __stdcall DllRegisterServer()
{
    char path[MAX_PATH] = {};
    OwnPath(path, MAX_PATH);
    char keyName[128] = {};
    ClsidKeyName(keyName, sizeof(keyName), "\\InprocServer32");
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, keyName, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    LONG written = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                                  static_cast<DWORD>(strlen(path) + 1));
    if (written == ERROR_SUCCESS)
        written = RegSetValueExA(key, "ThreadingModel", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>("Apartment"), 10);
    RegCloseKey(key);
    return written == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT __stdcall DllUnregisterServer()
{
    char keyName[128] = {};
    ClsidKeyName(keyName, sizeof(keyName), "\\InprocServer32");
    RegDeleteKeyA(HKEY_CLASSES_ROOT, keyName);
    ClsidKeyName(keyName, sizeof(keyName), "");
    RegDeleteKeyA(HKEY_CLASSES_ROOT, keyName);
    return S_OK;
}
