// SharedDLLs values, the fixture servers' records and class keys, and the registry
// conditions tests fail steps with.
#include "support/test_support.h"

#include "common/holders.h"
#include "fixture_record.h"

#include <gtest/gtest.h>

#include <vector>

namespace qeltest {

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

}  // namespace qeltest
