#include "support/operation_fixture.h"

#include <cstring>

namespace qeltest {

void OperationTest::SetUp()
{
    api = LoadModuleApi();
    ASSERT_NE(api.module, nullptr) << ModulePath();
    ASSERT_NE(api.install, nullptr);
    ASSERT_NE(api.uninstall, nullptr);
    ASSERT_NE(api.installEx, nullptr);
    ASSERT_NE(api.uninstallEx, nullptr);
    dir = MakeTempDir();
    base = UniqueName("qelop");
}

void OperationTest::TearDown()
{
    for (const std::string& path : tracked) {
        RemoveClsid(path);
        ClearFixtureRecord(path);
        DeleteSharedValue(path);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    for (const std::string& folder : folders) RemoveDirectoryA(folder.c_str());
    RemoveDirectoryA(dir.c_str());
    if (api.module) FreeLibrary(api.module);
}

void OperationTest::Track(const std::string& path) { tracked.push_back(path); }

std::string OperationTest::Source(const std::string& fixture, const std::string& extension, bool withDep,
                                  const std::string& folder)
{
    std::string where = folder.empty() ? dir : dir + "\\" + folder;
    if (CreateDirectoryA(where.c_str(), nullptr)) folders.push_back(where);
    std::string path = where + "\\" + base + extension;
    EXPECT_TRUE(CopyFixture(fixture, path)) << fixture;
    Track(path);
    std::string dep = where + "\\" + base + ".dep";
    if (withDep) WriteTextFile(dep, "[Version]\r\nVersion=1\r\n");
    Track(dep);
    return path;
}

std::string OperationTest::InSystem(const std::string& extension)
{
    std::string path = SystemDir() + "\\" + base + extension;
    Track(path);
    return path;
}

int OperationTest::Install(const std::string& file, int useSystemDir, int doRegistration, int doSharedCount)
{
    char buffer[kMessageBufferForTests] = "";
    int result = api.install(file.c_str(), useSystemDir, doRegistration, doSharedCount, buffer);
    message = buffer;
    return result;
}

int OperationTest::Uninstall(const std::string& file, int useSystemDir, int doRegistration, int doSharedCount)
{
    char buffer[kMessageBufferForTests] = "";
    int result = api.uninstall(file.c_str(), useSystemDir, doRegistration, doSharedCount, buffer);
    message = buffer;
    return result;
}

namespace {
// Neither 0 nor 1: an Ex call that leaves it alone shows.
constexpr int kUnsetRestartNeeded = 7;
}  // namespace

int OperationTest::InstallEx(const std::string& file, int useSystemDir, int doRegistration, int doSharedCount)
{
    char buffer[kMessageBufferForTests] = "";
    restartNeeded = kUnsetRestartNeeded;
    int result = api.installEx(file.c_str(), useSystemDir, doRegistration, doSharedCount, buffer, &restartNeeded);
    message = buffer;
    return result;
}

int OperationTest::UninstallEx(const std::string& file, int useSystemDir, int doRegistration, int doSharedCount)
{
    char buffer[kMessageBufferForTests] = "";
    restartNeeded = kUnsetRestartNeeded;
    int result =
        api.uninstallEx(file.c_str(), useSystemDir, doRegistration, doSharedCount, buffer, &restartNeeded);
    message = buffer;
    return result;
}

void OperationTest::ExpectControlInPlace(const std::string& target, const std::string& companion, DWORD count)
{
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(FileExists(companion));
    EXPECT_EQ(ReadSharedValue(target).count, count);
    EXPECT_EQ(ReadSharedValue(companion).count, count);
    EXPECT_TRUE(IsClsidRegistered(target));
}

void OperationTest::ExpectControlGone(const std::string& target, const std::string& companion)
{
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(companion));
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(ReadSharedValue(companion).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
}

std::string OperationTest::VersionOf(const std::string& path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return "";
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path.c_str(), handle, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length))
        return "";
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
}

namespace {
FILETIME OldTime()
{
    SYSTEMTIME old = {};
    old.wYear = 2001;
    old.wMonth = 1;
    old.wDay = 1;
    FILETIME time = {};
    SystemTimeToFileTime(&old, &time);
    return time;
}
}  // namespace

void OperationTest::MarkOld(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME old = OldTime();
    SetFileTime(file, nullptr, nullptr, &old);
    CloseHandle(file);
}

bool OperationTest::IsMarkedOld(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    FILETIME old = OldTime();
    return CompareFileTime(&data.ftLastWriteTime, &old) == 0;
}

}  // namespace qeltest
