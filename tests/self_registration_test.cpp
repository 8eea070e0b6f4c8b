// Self-registration through the fixtures' own entry points, with real OLE and real
// COM registration.
#include "installer/self_registration.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <ole2.h>

#include <string>

using namespace qeltest;

namespace {

class SelfRegistrationTest : public testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override
    {
        for (const std::string& path : made) {
            RemoveClsid(path);
            ClearFixtureRecord(path);
            DeleteFileA(path.c_str());
        }
        RemoveDirectoryA(dir.c_str());
    }

    // A copy of a fixture under a new, unique name with the given extension.
    std::string Copy(const std::string& fixture, const std::string& extension)
    {
        std::string path = dir + "\\" + UniqueName("srv") + extension;
        EXPECT_TRUE(CopyFixture(fixture, path));
        made.push_back(path);
        return path;
    }

    int Register(const std::string& path)
    {
        char buffer[kMessageBufferForTests] = "";
        int result = RegisterServerFile(path.c_str(), buffer);
        message = buffer;
        return result;
    }
    int Unregister(const std::string& path)
    {
        char buffer[kMessageBufferForTests] = "";
        int result = UnregisterServerFile(path.c_str(), buffer);
        message = buffer;
        return result;
    }
    // Nothing of the call may outlive it: not the server, not OLE.
    void ExpectNothingLeftAt(const char* file, int line, const std::string& path)
    {
        testing::ScopedTrace trace(file, line, path);
        EXPECT_FALSE(IsModuleLoaded(path));
        EXPECT_FALSE(IsOleInitializedHere());
    }

    std::string dir;
    std::vector<std::string> made;
    std::string message;
};

#define EXPECT_NOTHING_LEFT(path) ExpectNothingLeftAt(__FILE__, __LINE__, (path))

}  // namespace

TEST_F(SelfRegistrationTest, RegisteringCreatesTheClassUnderOleAndUnregisteringRemovesIt)
{
    std::string path = Copy("fixture_server_1_0_0_0.dll", ".dll");
    ASSERT_EQ(Register(path), 1);
    EXPECT_EQ(message, "");
    std::string server;
    ASSERT_TRUE(IsClsidRegistered(path, &server));
    EXPECT_EQ(server, path);
    FixtureRecord record = ReadFixtureRecord(path);
    EXPECT_EQ(record.event, "register");
    EXPECT_EQ(record.oleInitialized, 1u);
    EXPECT_NOTHING_LEFT(path);

    ASSERT_EQ(Unregister(path), 1);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(IsClsidRegistered(path));
    record = ReadFixtureRecord(path);
    EXPECT_EQ(record.event, "unregister");
    EXPECT_EQ(record.oleInitialized, 1u);
    EXPECT_NOTHING_LEFT(path);
}

TEST_F(SelfRegistrationTest, ControlsRegisterInAnyLetterCase)
{
    std::string upper = Copy("fixture_server_1_0_0_0.dll", ".OCX");
    ASSERT_EQ(Register(upper), 1);
    EXPECT_TRUE(IsClsidRegistered(upper));
    ASSERT_EQ(Unregister(upper), 1);
    EXPECT_FALSE(IsClsidRegistered(upper));
}

TEST_F(SelfRegistrationTest, FailingEntryPointFailsButStillReleasesEverything)
{
    // Its messages are the fault matrix's; here, that the failure let go of everything.
    std::string path = Copy("fixture_failing.dll", ".dll");
    EXPECT_EQ(Register(path), 0);
    EXPECT_EQ(ReadFixtureRecord(path).event, "register");
    EXPECT_NOTHING_LEFT(path);

    EXPECT_EQ(Unregister(path), 0);
    EXPECT_EQ(ReadFixtureRecord(path).event, "unregister");
    EXPECT_NOTHING_LEFT(path);
}

TEST_F(SelfRegistrationTest, FileWithoutEntryPointsHasNothingToDo)
{
    std::string path = Copy("fixture_no_entry.dll", ".dll");
    EXPECT_EQ(Register(path), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(Unregister(path), 1);
    EXPECT_EQ(message, "");
    EXPECT_NOTHING_LEFT(path);
}

TEST_F(SelfRegistrationTest, TypeLibrariesFailWithoutBeingLoaded)
{
    std::string path = Copy("fixture_server_1_0_0_0.dll", ".Tlb");
    EXPECT_EQ(Register(path), 0);
    EXPECT_EQ(Unregister(path), 0);
    EXPECT_FALSE(ReadFixtureRecord(path).exists);
}

TEST_F(SelfRegistrationTest, OtherFilesSucceedWithASayingMessageAndAreNotLoaded)
{
    std::string exe = Copy("fixture_server_1_0_0_0.dll", ".exe");
    EXPECT_EQ(Register(exe), 1);
    EXPECT_EQ(message, "Unknown file type.  Could not register the file " + exe + ".\n.exe files not handled yet.");
    EXPECT_EQ(Unregister(exe), 1);
    EXPECT_EQ(message,
              "Unknown file type.  Could not unregister the file " + exe + ".\n.exe files not handled yet.");

    std::string bare = Copy("fixture_server_1_0_0_0.dll", "");
    EXPECT_EQ(Register(bare), 1);
    EXPECT_EQ(message, "Unknown file type.  Could not register the file " + bare + ".\n files not handled yet.");
    EXPECT_FALSE(ReadFixtureRecord(exe).exists);
    EXPECT_FALSE(ReadFixtureRecord(bare).exists);
}

TEST_F(SelfRegistrationTest, FilesThatCannotBeLoadedFailWithTheLoadingMessage)
{
    std::string missing = dir + "\\absent.ocx";
    EXPECT_EQ(Register(missing), 0);
    EXPECT_EQ(message, "Could not register the file " + missing + ".\nError loading file.");
    EXPECT_EQ(Unregister(missing), 0);
    EXPECT_EQ(message, "Could not unregister the file " + missing + ".\nError loading file.");
    EXPECT_FALSE(IsOleInitializedHere());
    // A missing dependency, or a file that is no program: the fault matrix's.
}

TEST_F(SelfRegistrationTest, OleTheCallerStartedStaysStartedExactlyOnce)
{
    std::string path = Copy("fixture_server_1_0_0_0.dll", ".dll");
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    EXPECT_EQ(Register(path), 1);
    EXPECT_TRUE(IsOleInitializedHere());
    OleUninitialize();
    EXPECT_FALSE(IsOleInitializedHere());
    EXPECT_EQ(Unregister(path), 1);
}

TEST_F(SelfRegistrationTest, RelativeNameLoadsTheNamedFileNotOneFromTheProgramFolder)
{
    std::string name = UniqueName("rel") + ".dll";
    std::string wanted = dir + "\\" + name;
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", wanted));
    made.push_back(wanted);
    // A different server of the same name where the DLL search path looks first.
    std::string impostor = BinFile(name);
    ASSERT_TRUE(CopyFixture("fixture_failing.dll", impostor));
    made.push_back(impostor);

    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
    int result = Register(name);
    std::string relativeMessage = message;
    SetCurrentDirectoryA(previous);

    EXPECT_EQ(result, 1);
    EXPECT_EQ(relativeMessage, "");
    EXPECT_EQ(ReadFixtureRecord(wanted).loadedFrom, wanted);
    std::string server;
    EXPECT_TRUE(IsClsidRegistered(wanted, &server));
    EXPECT_EQ(server, wanted);
}
