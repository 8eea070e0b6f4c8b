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

namespace {

// Empty when the key cannot be opened.
KeyHolder OpenKey(HKEY root, const char* name, REGSAM access)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, name, 0, access, &key) != ERROR_SUCCESS) return KeyHolder();
    return KeyHolder(key);
}

}  // namespace

SharedValue ReadSharedValue(const std::string& name)
{
    SharedValue value;
    KeyHolder key = OpenKey(HKEY_LOCAL_MACHINE, kSharedDllsKey, KEY_QUERY_VALUE);
    if (!key) return value;
    BYTE data[64] = {};
    DWORD length = sizeof(data);
    if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &value.type, data, &length) == ERROR_SUCCESS) {
        value.exists = true;
        value.length = length;
        memcpy(&value.count, data, sizeof(value.count));
    }
    return value;
}

void WriteSharedValue(const std::string& name, DWORD type, const void* data, DWORD length)
{
    KeyHolder key = OpenKey(HKEY_LOCAL_MACHINE, kSharedDllsKey, KEY_SET_VALUE);
    ASSERT_TRUE(key);
    EXPECT_EQ(RegSetValueExA(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), length),
              ERROR_SUCCESS);
}

void ExpectCountAt(const char* file, int line, const std::string& name, DWORD count)
{
    testing::ScopedTrace trace(file, line, "the count of " + name);
    SharedValue value = ReadSharedValue(name);
    ASSERT_TRUE(value.exists);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value.length, 4u);
    EXPECT_EQ(value.count, count);
}

void WriteSharedCount(const std::string& name, DWORD count)
{
    WriteSharedValue(name, REG_DWORD, &count, sizeof(count));
}

void DeleteSharedValue(const std::string& name)
{
    KeyHolder key = OpenKey(HKEY_LOCAL_MACHINE, kSharedDllsKey, KEY_SET_VALUE);
    if (key) RegDeleteValueA(key.get(), name.c_str());
}

namespace {

std::string RecordKeyName(const std::string& path)
{
    char base[MAX_PATH] = {};
    FixtureBaseName(path.c_str(), base, sizeof(base));
    return std::string(QEL_FIXTURE_RECORD_ROOT) + "\\" + base;
}

std::string ClsidKeyName(const std::string& path)
{
    char base[MAX_PATH] = {};
    FixtureBaseName(path.c_str(), base, sizeof(base));
    char clsid[64] = {};
    FixtureClsid(base, clsid, sizeof(clsid));
    return std::string("CLSID\\") + clsid;
}

std::string QueryString(HKEY key, const char* name)
{
    char data[1024] = {};
    DWORD length = sizeof(data) - 1;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &length) != ERROR_SUCCESS)
        return std::string();
    return data;
}

}  // namespace

FixtureRecord ReadFixtureRecord(const std::string& path)
{
    FixtureRecord record;
    KeyHolder key = OpenKey(HKEY_CURRENT_USER, RecordKeyName(path).c_str(), KEY_QUERY_VALUE);
    if (!key) return record;
    record.exists = true;
    record.event = QueryString(key.get(), "Event");
    record.loadedFrom = QueryString(key.get(), "LoadedFrom");
    DWORD length = sizeof(DWORD);
    RegQueryValueExA(key.get(), "OleInitialized", nullptr, nullptr, reinterpret_cast<BYTE*>(&record.oleInitialized),
                     &length);
    length = sizeof(DWORD);
    RegQueryValueExA(key.get(), "Calls", nullptr, nullptr, reinterpret_cast<BYTE*>(&record.calls), &length);
    return record;
}

void ClearFixtureRecord(const std::string& path)
{
    RegDeleteKeyA(HKEY_CURRENT_USER, RecordKeyName(path).c_str());
}

bool IsClsidRegistered(const std::string& path, std::string* server)
{
    KeyHolder key = OpenKey(HKEY_CLASSES_ROOT, (ClsidKeyName(path) + "\\InprocServer32").c_str(), KEY_QUERY_VALUE);
    if (!key) return false;
    if (server) *server = QueryString(key.get(), nullptr);
    return true;
}

void RemoveClsid(const std::string& path)
{
    std::string name = ClsidKeyName(path);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, (name + "\\InprocServer32").c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, name.c_str());
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

SharedDllsWriteDenied::SharedDllsWriteDenied()
{
    key = OpenKey(HKEY_LOCAL_MACHINE, kSharedDllsKey, READ_CONTROL | WRITE_DAC);
    EXPECT_TRUE(key);
    DWORD length = 0;
    RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &length);
    savedDescriptor.resize(length);
    EXPECT_EQ(RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &savedDescriptor[0], &length), ERROR_SUCCESS);

    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ACL acl;
    InitializeAcl(&acl, sizeof(acl), ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE);
    EXPECT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor), ERROR_SUCCESS);
}

SharedDllsWriteDenied::~SharedDllsWriteDenied()
{
    // The handle was opened with WRITE_DAC before the DACL emptied, so it can restore it.
    if (key) RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &savedDescriptor[0]);
}

struct SharedDllsKeyMissing::Saved {
    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
};

SharedDllsKeyMissing::SharedDllsKeyMissing() : saved(new Saved)
{
    KeyHolder key = OpenKey(HKEY_LOCAL_MACHINE, kSharedDllsKey, KEY_QUERY_VALUE);
    if (!key) {
        ADD_FAILURE() << "SharedDLLs key missing before the test";
        return;
    }
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLength = sizeof(name);
        BYTE data[4096];
        DWORD dataLength = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueA(key.get(), i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
            break;
        saved->values.push_back({name, type, std::vector<BYTE>(data, data + dataLength)});
    }
    key.reset();
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSharedDllsKey), ERROR_SUCCESS);
}

SharedDllsKeyMissing::~SharedDllsKeyMissing()
{
    HKEY raw = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                        nullptr) == ERROR_SUCCESS) {
        KeyHolder key(raw);
        for (const auto& value : saved->values)
            RegSetValueExA(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
    }
    delete saved;
}

UnopenableThreadToken::UnopenableThreadToken()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &raw)) return;
    HandleHolder process(raw);
    HANDLE rawCopy = nullptr;
    if (!DuplicateTokenEx(process.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation,
                          &rawCopy))
        return;
    HandleHolder copy(rawCopy);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ACL acl;
    InitializeAcl(&acl, sizeof(acl), ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE);
    if (SetKernelObjectSecurity(copy.get(), DACL_SECURITY_INFORMATION, &descriptor))
        active = SetThreadToken(nullptr, copy.get()) != 0;
}

UnopenableThreadToken::~UnopenableThreadToken()
{
    if (active) RevertToSelf();
}

AnonymousImpersonation::AnonymousImpersonation()
{
    active = ImpersonateSelf(SecurityAnonymous) != 0;
}

AnonymousImpersonation::~AnonymousImpersonation()
{
    if (active) RevertToSelf();
}

namespace {

PSID MakeBuiltinGroupSid(DWORD rid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, rid, 0, 0, 0, 0, 0, 0, &sid)) return nullptr;
    return sid;
}

}  // namespace

DenyOnlyGroupsImpersonation::DenyOnlyGroupsImpersonation(std::initializer_list<DWORD> rids)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &raw)) return;
    HandleHolder process(raw);
    std::vector<SidHolder> sids;
    std::vector<SID_AND_ATTRIBUTES> disable;
    for (DWORD rid : rids) {
        sids.emplace_back(MakeBuiltinGroupSid(rid));
        if (!sids.back()) return;
        disable.push_back({sids.back().get(), 0});
    }
    HANDLE rawRestricted = nullptr;
    if (!CreateRestrictedToken(process.get(), 0, static_cast<DWORD>(disable.size()), disable.data(), 0, nullptr, 0,
                               nullptr, &rawRestricted))
        return;
    HandleHolder restricted(rawRestricted);
    HANDLE rawImpersonation = nullptr;
    if (!DuplicateTokenEx(restricted.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation,
                          &rawImpersonation))
        return;
    token.reset(rawImpersonation);
    active = SetThreadToken(nullptr, token.get()) != 0;
}

DenyOnlyGroupsImpersonation::~DenyOnlyGroupsImpersonation()
{
    if (active) RevertToSelf();
}

DWORD BuiltinGroupAttributes(HANDLE token, DWORD rid)
{
    DWORD length = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &length);
    if (length == 0) return kGroupAbsent;
    std::vector<DWORD> buffer(length / sizeof(DWORD) + 1);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), length, &length)) return kGroupAbsent;
    SidHolder group(MakeBuiltinGroupSid(rid));
    if (!group) return kGroupAbsent;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        if (EqualSid(groups->Groups[i].Sid, group.get())) return groups->Groups[i].Attributes;
    return kGroupAbsent;
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

std::vector<std::string> PendingDeletions()
{
    std::vector<std::string> deletions;
    KeyHolder key = OpenKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", KEY_QUERY_VALUE);
    if (!key) return deletions;
    DWORD length = 0;
    if (RegQueryValueExA(key.get(), "PendingFileRenameOperations", nullptr, nullptr, nullptr, &length) !=
        ERROR_SUCCESS)
        return deletions;
    std::vector<char> data(length + 2, '\0');
    if (RegQueryValueExA(key.get(), "PendingFileRenameOperations", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(data.data()), &length) != ERROR_SUCCESS)
        return deletions;
    // Pairs of strings: the file, then its new name, empty for a deletion.
    size_t at = 0;
    auto next = [&] {
        std::string text(&data[at]);
        at += text.size() + 1;
        return text;
    };
    while (at < length) {
        std::string file = next();
        if (file.empty()) break;
        if (next().empty()) deletions.push_back(file);
    }
    return deletions;
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
