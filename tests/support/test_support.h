#ifndef QELSETUP_TESTS_TEST_SUPPORT_H
#define QELSETUP_TESTS_TEST_SUPPORT_H

// Helpers shared by the test programs: real files, real registry values, real tokens.
#include "common/holders.h"
#include "installer/operations.h"
#include "support/child_process.h"

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace qeltest {

// The size this module promises its callers' message buffers need.
constexpr int kMessageBufferForTests = QEL_MESSAGE_BUFFER_SIZE;

// The permission gate's refusal.
constexpr char kPermissionDenied[] =
    "You do not have permissions to configure this product.\n"
    "This configuration updates system files and registry entries\n"
    "and requires that you have administrator privileges on this machine.\n";

constexpr char kSharedDllsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// The folder of the running test program, where the module and fixtures are built.
std::string BinDir();
std::string BinFile(const std::string& name);
std::string SystemDir();
// A name no other test uses: prefix, process id and a counter.
std::string UniqueName(const std::string& prefix);
// A fresh, empty folder under the prefix's temp folder.
std::string MakeTempDir();

bool FileExists(const std::string& path);
bool CopyFixture(const std::string& fixture, const std::string& destination);
void WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);

// A SharedDLLs value as it is stored.
struct SharedValue {
    bool exists = false;
    DWORD type = 0;
    DWORD length = 0;
    DWORD count = 0;  // the first four bytes
};
SharedValue ReadSharedValue(const std::string& name);
void WriteSharedValue(const std::string& name, DWORD type, const void* data, DWORD length);
void WriteSharedCount(const std::string& name, DWORD count);
void DeleteSharedValue(const std::string& name);
// Expects a well-formed count (a 4-byte REG_DWORD) under `name`, and reports a failure
// at the line that asked: EXPECT_COUNT(name, count).
void ExpectCountAt(const char* file, int line, const std::string& name, DWORD count);
#define EXPECT_COUNT(name, count) ::qeltest::ExpectCountAt(__FILE__, __LINE__, (name), (count))

// What a fixture server recorded of its last call (see fixture_record.h).
struct FixtureRecord {
    bool exists = false;
    std::string event;
    DWORD oleInitialized = 0;
    std::string loadedFrom;
    DWORD calls = 0;
};
FixtureRecord ReadFixtureRecord(const std::string& path);
void ClearFixtureRecord(const std::string& path);
// Whether the server file at `path` has its CLSID key, and which path it names.
bool IsClsidRegistered(const std::string& path, std::string* server = nullptr);
void RemoveClsid(const std::string& path);
// Whether a module of that file name is loaded in this process.
bool IsModuleLoaded(const std::string& path);
// Whether OLE/COM is initialised on the calling thread (leaves it as it was).
bool IsOleInitializedHere();

// While alive, the SharedDLLs key refuses every open for writing (an empty DACL).
struct SharedDllsWriteDenied {
    SharedDllsWriteDenied();
    ~SharedDllsWriteDenied();
    KeyHolder key;
    std::string savedDescriptor;
};

// While alive, the SharedDLLs key does not exist; its values come back afterwards.
struct SharedDllsKeyMissing {
    SharedDllsKeyMissing();
    ~SharedDllsKeyMissing();
    struct Saved;
    Saved* saved = nullptr;
};

// While alive, the calling thread impersonates a copy of the process token whose own
// DACL is empty, so the thread cannot open its token (error 5).
struct UnopenableThreadToken {
    UnopenableThreadToken();
    ~UnopenableThreadToken();
    bool active = false;
};

// While alive, the calling thread impersonates at anonymous level, which forbids
// opening its token (ERROR_CANT_OPEN_ANONYMOUS).
struct AnonymousImpersonation {
    AnonymousImpersonation();
    ~AnonymousImpersonation();
    bool active = false;
};

// While alive, the calling thread impersonates a restricted copy of the process token
// in which the built-in groups with these RIDs are kept for denying only (attributes
// 0x19), as an administrator's programs run unless started elevated. A group the
// process token lacks stays absent.
struct DenyOnlyGroupsImpersonation {
    explicit DenyOnlyGroupsImpersonation(std::initializer_list<DWORD> rids);
    ~DenyOnlyGroupsImpersonation();
    HandleHolder token;  // the impersonated token, for reading its groups
    bool active = false;
};

// The attributes of the built-in group `rid` in a token's group list, or
// kGroupAbsent when the list lacks it (or cannot be read).
constexpr DWORD kGroupAbsent = 0xFFFFFFFF;
DWORD BuiltinGroupAttributes(HANDLE token, DWORD rid);

// While alive, a file is held open with no sharing at all.
struct FileHeldOpen {
    explicit FileHeldOpen(const std::string& path);
    ~FileHeldOpen();
    HANDLE handle = INVALID_HANDLE_VALUE;
};

// While alive, a copy of the program `exe` of the bin folder, under a name of its own
// for which Wine reports the Windows version `version` ("win98", "nt40").
struct ProgramAsVersion {
    ProgramAsVersion(const std::string& exe, const std::string& version);
    ~ProgramAsVersion();
    std::string path;
    std::string appKey;
};

// The files that the next restart deletes (PendingFileRenameOperations entries with
// no new name), as recorded: "\??\C:\windows\...".
std::vector<std::string> PendingDeletions();
// Carries out PendingFileRenameOperations as a restart would (64-bit wineboot -r).
bool Restart();

// The exported functions of the built module, loaded as a DLL.
struct ModuleApi {
    HMODULE module = nullptr;
    int (*install)(const char*, int, int, int, char*) = nullptr;
    int (*uninstall)(const char*, int, int, int, char*) = nullptr;
    int (*installEx)(const char*, int, int, int, char*, int*) = nullptr;
    int (*uninstallEx)(const char*, int, int, int, char*, int*) = nullptr;
    int (*runningAsAdministrator)() = nullptr;
    int (*runningAsPowerUser)() = nullptr;
    void* mexFunction = nullptr;
};
std::string ModulePath();
ModuleApi LoadModuleApi();

}  // namespace qeltest

#endif
