// Every step of both operations that can fail, made to fail by a real condition:
// the result is 0, the message is exactly that step's, and exactly the effects of the
// earlier steps remain. Then odd names, through the exported functions and the
// host command: a clear message or a sound result, never a write past the buffer.
#include "host/host_api.h"
#include "support/operation_fixture.h"

#include <objbase.h>

#include <cstring>
#include <thread>

using namespace qeltest;

namespace {

using FaultTest = OperationTest;

// What the steps before a failure may have left: the copy, the counts, the class.
struct MachineState {
    bool file;
    bool companionFile;
    DWORD count;  // 0 = no value
    DWORD companionCount;
    bool registered;
};

}  // namespace

class InstallFaultTest : public FaultTest {
protected:
    MachineState State()
    {
        std::string target = InSystem(extension), companion = InSystem(".dep");
        return {FileExists(target), FileExists(companion), ReadSharedValue(target).count,
                ReadSharedValue(companion).count, IsClsidRegistered(target)};
    }
    void ExpectState(const MachineState& expected)
    {
        MachineState now = State();
        EXPECT_EQ(now.file, expected.file);
        EXPECT_EQ(now.companionFile, expected.companionFile);
        EXPECT_EQ(now.count, expected.count);
        EXPECT_EQ(now.companionCount, expected.companionCount);
        EXPECT_EQ(now.registered, expected.registered);
    }
    std::string extension = ".ocx";
};

TEST_F(InstallFaultTest, GateFailsFirstAndNothingHappens)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    UnopenableThreadToken unopenable;
    EXPECT_EQ(Install(source), 0);
    EXPECT_EQ(message, kPermissionDenied);
    ExpectState({false, false, 0, 0, false});
}

TEST_F(InstallFaultTest, SourceProbeFailsBeforeAnything)
{
    std::string source = dir + "\\" + base + ".ocx";
    WriteTextFile(source, "text");
    Track(source);
    EXPECT_EQ(Install(source), 0);
    EXPECT_EQ(message, "Error reading from " + source + "\n");
    ExpectState({false, false, 0, 0, false});
}

TEST_F(InstallFaultTest, CopyFailsBeforeTheCompanionTheCountsAndRegistration)
{
    std::string source = Source("fixture_server_2_1_0_5.dll", ".ocx", true);
    std::string target = InSystem(".ocx");
    ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));
    {
        FileHeldOpen held(target);
        EXPECT_EQ(Install(source), 0);
    }
    EXPECT_EQ(message, "Could not copy file " + source + " to " + target + "\n");
    ExpectState({true, false, 0, 0, false});
    EXPECT_EQ(VersionOf(target), "2.1.0.4");
}

TEST_F(InstallFaultTest, CountFailsAfterBothFilesWereCopied)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    {
        SharedDllsKeyMissing missing;
        EXPECT_EQ(Install(source), 0);
    }
    EXPECT_EQ(message, "Error accessing registry for " + InSystem(".ocx") +
                           ".\nCould not increment registry counter.\n");
    ExpectState({true, true, 0, 0, false});
}

TEST_F(InstallFaultTest, RegistrationFailsAfterCopiesAndCounts)
{
    // Loading fails: the control needs a DLL that is nowhere to be found.
    std::string source = Source("fixture_missing_dep.dll", ".ocx", true);
    EXPECT_EQ(Install(source), 0);
    EXPECT_EQ(message, "Could not register the file " + InSystem(".ocx") + ".\nError loading file.");
    ExpectState({true, true, 1, 1, false});
}

TEST_F(InstallFaultTest, OleThatCannotStartFailsRegistrationAfterCopiesAndCounts)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    int result = -1;
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        result = Install(source);
        CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(message, "Could not register the file " + InSystem(".ocx") + ".\nUnable to initialize OLE.");
    ExpectState({true, true, 1, 1, false});
}

class UninstallFaultTest : public InstallFaultTest {
protected:
    // Installed by one product, all flags, ready to be removed.
    std::string Installed(const std::string& fixture)
    {
        std::string source = Source(fixture, ".ocx", true);
        EXPECT_EQ(Install(source), 1) << message;
        return source;
    }
};

TEST_F(UninstallFaultTest, GateFailsFirstAndNothingHappens)
{
    std::string source = Installed("fixture_server_1_0_0_0.dll");
    {
        AnonymousImpersonation anonymous;
        EXPECT_EQ(Uninstall(source), 0);
    }
    EXPECT_EQ(message, kPermissionDenied);
    ExpectState({true, true, 1, 1, true});
}

TEST_F(UninstallFaultTest, CountFailsBeforeUnregisteringOrDeleting)
{
    std::string source = Installed("fixture_server_1_0_0_0.dll");
    {
        SharedDllsKeyMissing missing;
        EXPECT_EQ(Uninstall(source), 0);
    }
    EXPECT_EQ(message, "Error accessing registry for " + InSystem(".ocx") +
                           ".\nCould not decrement registry counter.\n");
    ExpectState({true, true, 1, 1, true});
}

TEST_F(UninstallFaultTest, UnregistrationFailsAfterBothCountsAreGone)
{
    std::string source = Installed("fixture_server_1_0_0_0.dll");
    // The copy in place can no longer be loaded.
    ASSERT_TRUE(DeleteFileA(InSystem(".ocx").c_str()));
    WriteTextFile(InSystem(".ocx"), "damaged");
    EXPECT_EQ(Uninstall(source), 0);
    EXPECT_EQ(message, "Could not unregister the file " + InSystem(".ocx") + ".\nError loading file.");
    ExpectState({true, true, 0, 0, true});
}

TEST_F(UninstallFaultTest, DeletionFailsAfterCountsAndClassAreGoneAndKeepsTheCompanion)
{
    std::string source = Installed("fixture_server_1_0_0_0.dll");
    HMODULE inUse = LoadLibraryA(InSystem(".ocx").c_str());
    ASSERT_NE(inUse, nullptr);
    EXPECT_EQ(Uninstall(source), 0);
    FreeLibrary(inUse);
    EXPECT_EQ(message, "Error deleting file " + InSystem(".ocx") + "\n");
    ExpectState({true, true, 0, 0, false});
}

TEST_F(FaultTest, EmptyNamesAreRefusedByBothOperations)
{
    for (int useSystemDir : {1, 0}) {
        EXPECT_EQ(Install("", useSystemDir), 0);
        EXPECT_EQ(message, "No file name was given.\n");
        EXPECT_EQ(Uninstall("", useSystemDir), 0);
        EXPECT_EQ(message, "No file name was given.\n");
    }
    EXPECT_EQ(Uninstall("D:\\kit\\bin\\", 1), 0);
    EXPECT_EQ(message, "The name D:\\kit\\bin\\ does not name a file.\n");
}

TEST_F(FaultTest, NamesAtTheLengthLimit)
{
    // 255 characters is a path like any other; 256 is refused before anything.
    std::string at255 = dir + "\\" + std::string(250 - dir.size(), 'n') + ".dll";
    ASSERT_EQ(at255.size(), 255u);
    EXPECT_EQ(Install(at255, 0), 0);
    EXPECT_EQ(message, "The file " + at255 + " does not exist.\n");
    EXPECT_EQ(Uninstall(at255, 0, 0, 1), 1);
    EXPECT_EQ(message, "");

    std::string at256 = at255 + "x";
    EXPECT_EQ(Install(at256, 0), 0);
    EXPECT_EQ(message, "The file name " + at256.substr(0, 200) + "... is longer than 255 characters.\n");
}

TEST_F(FaultTest, LongestMessagesStayInsideTheBuffer)
{
    // A copy failure names two paths of up to 255 characters each.
    std::string name = std::string(250 - dir.size(), 'm') + ".dll";
    std::string source = dir + "\\" + name;
    ASSERT_EQ(source.size(), 255u);
    ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_5.dll", source));
    Track(source);
    std::string target = SystemDir() + "\\" + name;
    ASSERT_TRUE(CopyFixture("fixture_server_1_0_0_0.dll", target));
    Track(target);

    char buffer[kMessageBufferForTests + 64];
    memset(buffer, '#', sizeof(buffer));
    int result = 0;
    {
        FileHeldOpen held(target);
        result = api.install(source.c_str(), 1, 1, 1, buffer);
    }
    EXPECT_EQ(result, 0);
    std::string expected = "Could not copy file " + source + " to " + target + "\n";
    EXPECT_EQ(std::string(buffer), expected);
    for (size_t i = expected.size() + 1; i < sizeof(buffer); ++i) ASSERT_EQ(buffer[i], '#') << i;
}

TEST_F(FaultTest, OddButValidNamesInstallAndUninstallSymmetrically)
{
    // Only an extension; forward slashes; a name with bytes above 127 (Latin-1 "ä").
    const std::string latin = std::string("Grafik") + static_cast<char>(0xE4);
    for (const std::string& name : {std::string(), latin}) {
        base = name.empty() ? "" : latin + UniqueName("_");
        std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
        if (name.empty()) {
            for (char& c : source)
                if (c == '\\') c = '/';
        }
        std::string target = InSystem(".ocx");
        SCOPED_TRACE(source);
        ASSERT_EQ(Install(source), 1) << message;
        EXPECT_EQ(message, "");
        EXPECT_TRUE(FileExists(target));
        EXPECT_EQ(ReadSharedValue(target).count, 1u);
        EXPECT_EQ(ReadSharedValue(InSystem(".dep")).count, 1u);
        ASSERT_EQ(Uninstall(source), 1) << message;
        EXPECT_FALSE(FileExists(target));
        EXPECT_FALSE(FileExists(InSystem(".dep")));
        EXPECT_FALSE(ReadSharedValue(target).exists);
        EXPECT_FALSE(ReadSharedValue(InSystem(".dep")).exists);
    }
}

TEST_F(InstallFaultTest, NamesWindowsWouldOpenAsAnotherFileChangeNothing)
{
    // Another product has the real control installed and counted twice.
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    ASSERT_EQ(Install(source), 1) << message;
    ASSERT_EQ(Install(source), 1) << message;
    for (const std::string& odd : {source + " ", source + ".", source + ":x", source + "::$DATA"}) {
        for (int useSystemDir : {1, 0}) {
            SCOPED_TRACE(odd + " " + std::to_string(useSystemDir));
            EXPECT_EQ(Install(odd, useSystemDir), 0);
            EXPECT_NE(message.find("The file name '" + odd + "' "), std::string::npos) << message;
            EXPECT_EQ(Uninstall(odd, useSystemDir), 0);
            EXPECT_NE(message.find("The file name '" + odd + "' "), std::string::npos) << message;
        }
    }
    ExpectState({true, true, 2, 2, true});
    EXPECT_FALSE(ReadSharedValue(InSystem(".ocx ")).exists);
    EXPECT_FALSE(ReadSharedValue(InSystem(".ocx.")).exists);
}

TEST_F(InstallFaultTest, NullArgumentsNeverCrash)
{
    char buffer[kMessageBufferForTests] = "";
    EXPECT_EQ(api.install(nullptr, 1, 1, 1, buffer), 0);
    EXPECT_STREQ(buffer, "No file name was given.\n");
    buffer[0] = '\0';
    EXPECT_EQ(api.uninstall(nullptr, 1, 1, 1, buffer), 0);
    EXPECT_STREQ(buffer, "No file name was given.\n");
    EXPECT_EQ(api.install(nullptr, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(api.uninstall(nullptr, 0, 1, 1, nullptr), 0);

    // Without a buffer the operations run; only their messages are lost.
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    EXPECT_EQ(api.install((dir + "\\absent.ocx").c_str(), 1, 1, 1, nullptr), 0);
    EXPECT_EQ(api.install(source.c_str(), 1, 1, 1, nullptr), 1);
    ExpectState({true, true, 1, 1, true});
    EXPECT_EQ(api.uninstall(source.c_str(), 1, 1, 1, nullptr), 1);
    ExpectState({false, false, 0, 0, false});
}

TEST_F(FaultTest, OddNamesThroughTheHostCommand)
{
    auto entry = reinterpret_cast<MexEntryPoint>(api.mexFunction);
    auto call = [&](const std::string& file, std::string* text) {
        const mxArray* inputs[5] = {mxCreateString("uninstall"), mxCreateString(file.c_str()),
                                    mxCreateDoubleScalar(1), mxCreateDoubleScalar(1), mxCreateDoubleScalar(1)};
        mxArray* outputs[2] = {nullptr, nullptr};
        char error[2048];
        int raised = hostCallMexFunction(entry, 2, outputs, 5, inputs, error, sizeof(error));
        double status = raised ? -1 : mxGetScalar(outputs[0]);
        if (!raised) {
            std::vector<char> buffer(mxGetN(outputs[1]) + 1);
            hostGetText(outputs[1], buffer.data(), buffer.size());
            *text = buffer.data();
        }
        for (mxArray* output : outputs) hostDestroyArray(output);
        for (const mxArray* input : inputs) hostDestroyArray(const_cast<mxArray*>(input));
        EXPECT_EQ(hostOutstandingAllocations(), 0);
        return status;
    };
    std::string text;
    // A padded character matrix gives names with trailing blanks.
    std::string padded = dir + "\\" + base + ".ocx   ";
    EXPECT_EQ(call(padded, &text), 0);
    EXPECT_EQ(text, "The file name '" + padded +
                        "' ends in a space or a dot, which Windows drops when it opens the file.\n");
    EXPECT_EQ(call("", &text), 0);
    EXPECT_EQ(text, "No file name was given.\n");
    std::string huge(4000, 'h');
    EXPECT_EQ(call(huge, &text), 0);
    EXPECT_EQ(text, "The file name " + huge.substr(0, 200) + "... is longer than 255 characters.\n");
}
