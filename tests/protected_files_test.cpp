// Files that Windows protects in the system directory: counted for a product, but
// never replaced, registered, unregistered or deleted. Windows is asked through
// sfc.dll; Wine's own protects nothing, so these tests put a stand-in over it (see
// fixtures/sfc_stand_in.cpp: names holding "_wfp_" are protected, and .dep files
// holding "_wfpdep_") and put Wine's back when they end.
#include "support/operation_fixture.h"

#include <windows.h>

#include <memory>
#include <string>

using namespace qeltest;

namespace {

typedef BOOL(WINAPI* SfcIsFileProtectedFunction)(HANDLE, LPCWSTR);

// What sfc.dll in this program's system directory answers for `path`: 1 protected,
// 0 not, -1 when it cannot be asked.
int AskSfc(const std::string& path)
{
    LibraryHolder sfc(LoadLibraryA((SystemDir() + "\\sfc.dll").c_str()));
    if (!sfc) return -1;
    auto ask = reinterpret_cast<SfcIsFileProtectedFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(sfc.get(), "SfcIsFileProtected")));
    if (!ask) return -1;
    std::wstring wide(path.begin(), path.end());
    return ask(nullptr, wide.c_str()) ? 1 : 0;
}

// While alive, the stand-in is this program's sfc.dll (in syswow64 for a 32-bit one,
// where Wine looks first for a native sfc.dll), and Wine's own waits beside it.
struct StandInSfc {
    StandInSfc()
    {
        active = MoveFileExA(sfc.c_str(), kept.c_str(), MOVEFILE_REPLACE_EXISTING) &&
                 CopyFileA(BinFile("fixture_sfc_stand_in.dll").c_str(), sfc.c_str(), FALSE);
    }
    ~StandInSfc()
    {
        if (FileExists(kept)) MoveFileExA(kept.c_str(), sfc.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    const std::string sfc = SystemDir() + "\\sfc.dll";
    const std::string kept = SystemDir() + "\\sfc.dll.qelsetup-test";
    bool active = false;
};

std::string Notice(const std::string& target)
{
    return "Windows protects the file " + target + " and keeps its own copy: it was neither replaced nor registered.\n";
}

// Registers the copy in place as Windows' setup did, through its own entry point, and
// forgets the call, so that any later one shows.
void RegisterAsWindowsDid(const std::string& path)
{
    LibraryHolder server(LoadLibraryA(path.c_str()));
    ASSERT_TRUE(server);
    auto entry = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(server.get(), "DllRegisterServer")));
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry(), S_OK);
    ClearFixtureRecord(path);
}

class ProtectedFilesTest : public OperationTest {
protected:
    static void SetUpTestSuite() { standIn.reset(new StandInSfc); }
    static void TearDownTestSuite() { standIn.reset(); }

    void SetUp() override
    {
        OperationTest::SetUp();
        // The stand-in must be what Windows' functions load, or nothing here is shown.
        ASSERT_TRUE(standIn->active);
        ASSERT_EQ(AskSfc(SystemDir() + "\\x_wfp_1.dll"), 1);
        ASSERT_EQ(AskSfc(SystemDir() + "\\x_wfpdep_1.dep"), 1);
        ASSERT_EQ(AskSfc(SystemDir() + "\\x_wfpdep_1.ocx"), 0);
        ASSERT_EQ(AskSfc(SystemDir() + "\\x.dll"), 0);
    }

    // A control of a name Windows protects, with Windows' own copy in place: version
    // 1.0.0.0, registered, with a .dep of Windows' own, and no count. Returns the
    // product's copy of `fixture` under the same name, with its .dep.
    std::string PutWindowsCopy(const char* fixture)
    {
        base = UniqueName("qel_wfp_");
        target = InSystem(".ocx");
        dep = InSystem(".dep");
        EXPECT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
        WriteTextFile(dep, "Windows' own");
        RegisterAsWindowsDid(target);
        return Source(fixture, ".ocx", true);
    }

    std::string target;
    std::string dep;

    static std::unique_ptr<StandInSfc> standIn;
};

std::unique_ptr<StandInSfc> ProtectedFilesTest::standIn;

}  // namespace

// Before the stand-in, and after it: Wine's own sfc.dll, under which every name is
// installed as ever. From a process of its own: the module keeps the sfc.dll it asked
// loaded, and this one must go on to ask the stand-in.
class WinesOwnSfcTest : public OperationTest {};

TEST_F(WinesOwnSfcTest, ProtectsNothingAndSoChangesNothing)
{
    base = UniqueName("qel_wfp_");
    std::string target = InSystem(".dll");
    EXPECT_EQ(AskSfc(target), 0);
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    std::string source = Source("fixture_server_2_1_0_4.dll", ".dll");
    EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\" install \"" + source + "\" 1"), 0u);
    EXPECT_EQ(VersionOf(target), "2.1.0.4");
    EXPECT_TRUE(IsClsidRegistered(target));
}

TEST_F(ProtectedFilesTest, ANewerVersionIsCountedButWindowsKeepsItsCopyAndItsRegistration)
{
    std::string source = PutWindowsCopy("fixture_server_2_1_0_4.dll");

    EXPECT_EQ(InstallEx(source), 1);
    EXPECT_EQ(message, Notice(target));
    EXPECT_EQ(restartNeeded, 0);
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_EQ(ReadTextFile(dep), "Windows' own");
    EXPECT_FALSE(ReadFixtureRecord(target).exists);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(target, &server));
    EXPECT_EQ(server, target);
    // A versioned copy was in place: counted as one use before this product's.
    EXPECT_COUNT(target, 2);
    EXPECT_COUNT(dep, 2);

    // Another product, registering nothing: the same, one use more.
    EXPECT_EQ(Install(source, 1, 0, 1), 1);
    EXPECT_EQ(message, Notice(target));
    EXPECT_COUNT(target, 3);
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
}

TEST_F(ProtectedFilesTest, TheLastUninstallTakesTheCountButLeavesTheFileRegisteredInPlace)
{
    std::string source = PutWindowsCopy("fixture_server_1_0_0_0.dll");
    WriteSharedCount(target, 2);
    WriteSharedCount(dep, 2);

    EXPECT_EQ(UninstallEx(source), 1) << message;
    EXPECT_EQ(restartNeeded, 0);
    EXPECT_COUNT(target, 1);
    EXPECT_EQ(UninstallEx(source), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_EQ(restartNeeded, 0);
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(ReadSharedValue(dep).exists);
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_EQ(ReadTextFile(dep), "Windows' own");
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_FALSE(ReadFixtureRecord(target).exists);

    // Without the count, too: it is not the product's to remove.
    EXPECT_EQ(Uninstall(source, 1, 1, 0), 1) << message;
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(IsClsidRegistered(target));
}

TEST_F(ProtectedFilesTest, AProtectedDepStaysWhileItsControlComesAndGoes)
{
    base = UniqueName("qel_wfpdep_");
    target = InSystem(".ocx");
    dep = InSystem(".dep");
    WriteTextFile(dep, "Windows' own");
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);

    EXPECT_EQ(Install(source), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_EQ(ReadTextFile(dep), "Windows' own");
    EXPECT_COUNT(target, 1);
    EXPECT_COUNT(dep, 1);

    EXPECT_EQ(Uninstall(source), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(IsClsidRegistered(target));
    EXPECT_FALSE(ReadSharedValue(dep).exists);
    EXPECT_EQ(ReadTextFile(dep), "Windows' own");
}

TEST_F(ProtectedFilesTest, FilesWindowsDoesNotProtectAreInstalledAsEver)
{
    target = InSystem(".ocx");
    dep = InSystem(".dep");
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    std::string source = Source("fixture_server_2_1_0_4.dll", ".ocx", true);

    EXPECT_EQ(InstallEx(source), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_EQ(restartNeeded, 0);
    EXPECT_EQ(VersionOf(target), "2.1.0.4");
    EXPECT_TRUE(FileExists(dep));
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_COUNT(target, 2);
    WriteSharedCount(target, 1);
    EXPECT_EQ(Uninstall(source), 1) << message;
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(dep));
    EXPECT_FALSE(IsClsidRegistered(target));
}

TEST_F(ProtectedFilesTest, OnlyTheSystemDirectoryOfWindows2000AndLaterIsAskedAbout)
{
    // The product's own folder is not Windows': registered and counted where it is.
    base = UniqueName("qel_wfp_");
    std::string inPlace = Source("fixture_server_1_0_0_0.dll", ".dll");
    EXPECT_EQ(Install(inPlace, 0, 1, 1), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_TRUE(IsClsidRegistered(inPlace));
    EXPECT_EQ(Uninstall(inPlace, 0, 1, 1), 1) << message;
    EXPECT_FALSE(IsClsidRegistered(inPlace));

    // Windows 9x and NT 4.0 have no file protection, and no sfc.dll to ask.
    target = InSystem(".dll");
    std::string source = Source("fixture_server_2_1_0_4.dll", ".dll", false, "newer");
    const std::string copy = " copy \"" + source + "\" 1";
    for (const char* version : {"win98", "nt40"}) {
        SCOPED_TRACE(version);
        ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
        ProgramAsVersion worker("operation_worker.exe", version);
        EXPECT_EQ(RunProgram("\"" + worker.path + "\"" + copy), 0u);
        EXPECT_EQ(VersionOf(target), "2.1.0.4");
    }
    // Where Windows protects it, the same setup leaves Windows' copy.
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    EXPECT_EQ(RunProgram("\"" + BinFile("operation_worker.exe") + "\"" + copy), 0u);
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
}

TEST_F(ProtectedFilesTest, A32BitModuleAsksAboutItsCopyUnderTheNameWindowsKnowsItBy)
{
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    base = UniqueName("qel_wfpwow_");
    target = InSystem(".dll");
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    EXPECT_EQ(Install(Source("fixture_server_2_1_0_4.dll", ".dll"), 1, 0, 1), 1) << message;
    EXPECT_EQ(VersionOf(target), wow64 ? "1.0.0.0" : "2.1.0.4");
}
