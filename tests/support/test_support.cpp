#include "support/test_support.h"

#include "common/holders.h"
#include "fixture_record.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <vector>

namespace qeltest {

std::string BinDir()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of('\\'));
}

std::string BinFile(const std::string& name) { return BinDir() + "\\" + name; }

std::string SystemDir()
{
    char dir[MAX_PATH] = {};
    GetSystemDirectoryA(dir, MAX_PATH);
    return dir;
}

std::string UniqueName(const std::string& prefix)
{
    static std::atomic<int> counter{0};
    return prefix + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter);
}

std::string MakeTempDir()
{
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::string dir = std::string(temp) + UniqueName("qeltest");
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CopyFixture(const std::string& fixture, const std::string& destination)
{
    return CopyFileA(BinFile(fixture).c_str(), destination.c_str(), FALSE) != 0;
}

void WriteTextFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool IsModuleLoaded(const std::string& path)
{
    std::string name = path.substr(path.find_last_of("\\/") + 1);
    return GetModuleHandleA(name.c_str()) != nullptr;
}

bool IsOleInitializedHere()
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (hr == RPC_E_CHANGED_MODE) return true;
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr == S_FALSE;
}

FileHeldOpen::FileHeldOpen(const std::string& path)
{
    handle = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

FileHeldOpen::~FileHeldOpen()
{
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

ProgramAsVersion::ProgramAsVersion(const std::string& exe, const std::string& version)
    : path(BinFile(UniqueName(exe.substr(0, exe.size() - 4) + "_" + version + "_") + ".exe")),
      appKey("Software\\Wine\\AppDefaults\\" + path.substr(path.find_last_of('\\') + 1))
{
    EXPECT_TRUE(CopyFileA(BinFile(exe).c_str(), path.c_str(), FALSE)) << path;
    HKEY raw = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, appKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                              nullptr),
              ERROR_SUCCESS);
    KeyHolder key(raw);
    if (key)
        RegSetValueExA(key.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>(version.size() + 1));
}

ProgramAsVersion::~ProgramAsVersion()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, appKey.c_str());
    DeleteFileA(path.c_str());
}

bool Restart()
{
    // A 32-bit wineboot would see system32 as SysWOW64 and so hide a wrongly
    // recorded name: the restart is the 64-bit one, as on Windows.
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    PVOID redirection = nullptr;
    if (wow64 && !Wow64DisableWow64FsRedirection(&redirection)) return false;
    DWORD exitCode = RunProgram("\"" + SystemDir() + "\\wineboot.exe\" -r");
    if (wow64) Wow64RevertWow64FsRedirection(redirection);
    return exitCode == 0;
}

std::string ModulePath()
{
    return BinFile(QELSETUP_MODULE_FILE);
}

namespace {
// Through a generic function pointer, which GCC accepts as a cast between function types.
template <typename Function>
Function ProcAs(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
}  // namespace

ModuleApi LoadModuleApi()
{
    ModuleApi api;
    api.module = LoadLibraryA(ModulePath().c_str());
    if (api.module == nullptr) return api;
    api.install = ProcAs<decltype(api.install)>(api.module, "installQELSystemFiles");
    api.uninstall =
        ProcAs<decltype(api.uninstall)>(api.module, "uninstallQELSystemFiles");
    api.installEx = ProcAs<decltype(api.installEx)>(api.module, "installQELSystemFilesEx");
    api.uninstallEx = ProcAs<decltype(api.uninstallEx)>(api.module, "uninstallQELSystemFilesEx");
    api.runningAsAdministrator = ProcAs<decltype(api.runningAsAdministrator)>(api.module, "RunningAsAdministrator");
    api.runningAsPowerUser =
        ProcAs<decltype(api.runningAsPowerUser)>(api.module, "RunningAsPowerUser");
    api.mexFunction = reinterpret_cast<void*>(GetProcAddress(api.module, "mexFunction"));
    return api;
}

}  // namespace qeltest
