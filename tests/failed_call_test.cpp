// A call that fails halfway leaves what other products use as it was: the files under
// the target's and the companion's names, their counts and the file's registration.
// The servers here do part of their work and then fail while a marker file beside
// them exists, as one whose dependency is missing does; once the marker goes, running
// the setup again must heal.
#include "support/operation_fixture.h"

#include <algorithm>

using namespace qeltest;

namespace {

constexpr char kOldDep[] = "the .dep another product installed";

// Byte for byte, without printing a DLL's bytes when it is not.
testing::AssertionResult SameBytes(const std::string& path, const std::string& expected)
{
    std::string content = ReadTextFile(path);
    if (content == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << path << " holds " << content.size() << " other bytes than the "
                                       << expected.size() << " expected";
}

class FailedCallTest : public OperationTest {
protected:
    void SetUp() override
    {
        OperationTest::SetUp();
        strays = StraysInSystemDir();
        pending = PendingDeletions();
    }

    // Makes the server at `target` fail after doing its work, until the marker goes.
    void MarkFailing(const std::string& target)
    {
        marker = target + ".fail";
        Track(marker);
        WriteTextFile(marker, "a dependency is missing");
    }
    void Mend() { ASSERT_TRUE(DeleteFileA(marker.c_str())); }

    // Names the module gives the copies it keeps or sets aside.
    static std::vector<std::string> StraysInSystemDir()
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found = {};
        HANDLE search = FindFirstFileA((SystemDir() + "\\~ql*.tmp").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do names.push_back(found.cFileName);
        while (FindNextFileA(search, &found));
        FindClose(search);
        std::sort(names.begin(), names.end());
        return names;
    }

    // Nothing kept by the failed call stays behind, and the restart deletes nothing new.
    void ExpectNoTraces()
    {
        EXPECT_EQ(StraysInSystemDir(), strays);
        EXPECT_EQ(PendingDeletions(), pending);
    }

    void ExpectRegisteredAt(const std::string& target, DWORD calls)
    {
        std::string server;
        EXPECT_TRUE(IsClsidRegistered(target, &server));
        EXPECT_EQ(server, target);
        FixtureRecord record = ReadFixtureRecord(target);
        EXPECT_EQ(record.event, "register");
        EXPECT_EQ(record.calls, calls);
    }

    std::string RegisterFailure(const std::string& target) const
    {
        return "Could not register the file " + target + ".\nError running DllRegisterServer function.";
    }

    // A fresh name for one case, of a control (with its .dep) or of a plain server;
    // returns the product's copy of 1.0 under it.
    std::string StartCase(const char* extension)
    {
        base = UniqueName("qelfail");
        isOcx = std::string(extension) == ".ocx";
        target = InSystem(extension);
        companion = InSystem(".dep");
        return Source("fixture_flaky_1_0_0_0.dll", extension, isOcx, "first");
    }

    // What the other products had is there as they had it: the file byte for byte,
    // counted once, its .dep with it, registered by its `calls`-th call.
    void ExpectOthersCopy(const std::string& bytes, const std::string& dep, DWORD calls)
    {
        EXPECT_TRUE(SameBytes(target, bytes));
        EXPECT_COUNT(target, 1);
        if (isOcx) {
            EXPECT_EQ(ReadTextFile(companion), dep);
            EXPECT_COUNT(companion, 1);
        }
        ExpectRegisteredAt(target, calls);
        ExpectNoTraces();
    }

    // No file, no count, no entries: as before a first install.
    void ExpectNothing()
    {
        EXPECT_FALSE(FileExists(target));
        EXPECT_FALSE(FileExists(companion));
        EXPECT_FALSE(ReadSharedValue(target).exists);
        EXPECT_FALSE(IsClsidRegistered(target));
    }

    bool isOcx = false;
    std::string target;
    std::string companion;
    std::string marker;
    std::vector<std::string> strays;
    std::vector<std::string> pending;
};

}  // namespace

// The file in place has no version resource, and another product counts it: it is a
// file all the same, and the failed call must not take it away.
TEST_F(FailedCallTest, AFailedRegistrationGivesBackAnUnversionedCopyAnotherProductCounts)
{
    const std::string unversioned = ReadTextFile(BinFile("fixture_unversioned_server.dll"));
    for (const char* extension : {".dll", ".ocx"}) {
        SCOPED_TRACE(extension);
        std::string source = StartCase(extension);
        WriteTextFile(target, unversioned);
        WriteSharedCount(target, 1);
        if (isOcx) {
            WriteTextFile(companion, kOldDep);
            WriteSharedCount(companion, 1);
        }
        MarkFailing(target);

        EXPECT_EQ(Install(source), 0);
        EXPECT_EQ(message, RegisterFailure(target));
        // The failed server's entries name the old file, which registered itself again.
        ExpectOthersCopy(unversioned, kOldDep, 2);

        Mend();
        EXPECT_EQ(Install(source), 1) << message;
        EXPECT_EQ(VersionOf(target), "1.0.0.0");
        EXPECT_COUNT(target, 2);
        ExpectRegisteredAt(target, 3);
        ExpectNoTraces();
    }
}

// Every product that used 1.0 must still find 1.0, registered, whichever later step
// failed for 3.0.
// An image of the other bitness is refused as its copy beside the name is made: where
// nothing was, and over another product's copy, the copy goes and leaves no trace.
TEST_F(FailedCallTest, AnImageOfTheOtherBitnessRefusedAsItIsCopiedLeavesNoTrace)
{
    std::string source = StartCase(".dll");
    Track(target + ".~ql");
    std::string other = Source("fixture_other_bitness.dll", ".dll", false, "other");
    EXPECT_EQ(Install(other), 0);
    EXPECT_EQ(message.rfind("The file " + other + " is built for ", 0), 0u) << message;
    ExpectNothing();
    ExpectNoTraces();
    EXPECT_FALSE(FileExists(target + ".~ql"));
    ASSERT_EQ(Install(source), 1) << message;
    EXPECT_EQ(Install(other), 0);
    ExpectOthersCopy(ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll")), "", 1);
    EXPECT_FALSE(FileExists(target + ".~ql"));
}

TEST_F(FailedCallTest, ALaterStepThatFailsPutsTheOlderCopyBackRegistered)
{
    enum class Failing { kRegistration, kCount };
    for (const char* extension : {".dll", ".ocx"}) {
        for (Failing failing : {Failing::kRegistration, Failing::kCount}) {
            SCOPED_TRACE(std::string(extension) + (failing == Failing::kCount ? " count" : " registration"));
            std::string first = StartCase(extension);
            if (isOcx) WriteTextFile(first.substr(0, first.size() - 4) + ".dep", kOldDep);
            ASSERT_EQ(Install(first), 1) << message;
            std::string second = Source("fixture_flaky_3_0_0_0.dll", extension, isOcx, "second");

            if (failing == Failing::kRegistration) {
                MarkFailing(target);
                EXPECT_EQ(Install(second), 0);
                EXPECT_EQ(message, RegisterFailure(target));
            } else {
                SharedDllsWriteDenied denied;
                EXPECT_EQ(Install(second), 0);
                EXPECT_EQ(message, "Error accessing registry for " + target +
                                       ".\nCould not increment registry counter.\n");
            }
            // 1.0 when it came, 3.0 (failed or not), 1.0 again.
            ExpectOthersCopy(ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll")), kOldDep, 3);

            if (failing == Failing::kRegistration) Mend();
            EXPECT_EQ(Install(second), 1) << message;
            EXPECT_EQ(VersionOf(target), "3.0.0.0");
            EXPECT_COUNT(target, 2);
            if (isOcx) {
                EXPECT_NE(ReadTextFile(companion), kOldDep);
            }
            ExpectRegisteredAt(target, 4);
            ExpectNoTraces();
        }
    }
}

// The first product's count step fails: its copy must not stay behind uncounted, or
// the retry would count it for a product before it, and the file would never go.
TEST_F(FailedCallTest, AFirstInstallWhoseCountFailsLeavesNothingAndTheRetryCountsOnce)
{
    for (const char* extension : {".dll", ".ocx"}) {
        SCOPED_TRACE(extension);
        std::string source = StartCase(extension);
        {
            SharedDllsWriteDenied denied;
            EXPECT_EQ(Install(source), 0);
        }
        EXPECT_EQ(message, "Error accessing registry for " + target + ".\nCould not increment registry counter.\n");
        ExpectNothing();
        ExpectNoTraces();

        EXPECT_EQ(Install(source), 1) << message;
        EXPECT_COUNT(target, 1);
        EXPECT_EQ(Uninstall(source), 1) << message;
        ExpectNothing();
    }
}

// The count is removed only once the server is unregistered: a failed unregistration
// leaves the last product's count, file and entries, and the retry takes them away.
TEST_F(FailedCallTest, AFailedUnregistrationOnTheLastUninstallKeepsTheCount)
{
    for (const char* extension : {".dll", ".ocx"}) {
        SCOPED_TRACE(extension);
        std::string source = StartCase(extension);
        ASSERT_EQ(Install(source), 1) << message;
        const std::string installed = ReadTextFile(target);
        const std::string dep = isOcx ? ReadTextFile(companion) : "";
        MarkFailing(target);

        EXPECT_EQ(Uninstall(source), 0);
        EXPECT_EQ(message, "Could not unregister the file " + target +
                               ".\nError running DllUnregisterServer function.");
        // It took its entries away before failing, and put them back when asked to.
        ExpectOthersCopy(installed, dep, 3);

        Mend();
        EXPECT_EQ(Uninstall(source), 1) << message;
        ExpectNothing();
        // The next product is the only one.
        EXPECT_EQ(Install(source), 1) << message;
        EXPECT_COUNT(target, 1);
    }
}

// A running program has 1.0 loaded when 3.0's registration fails: 1.0 takes its name
// back, and nothing waits for the restart that would delete it.
TEST_F(FailedCallTest, AFailedUpdateOfACopyInUseLeavesItUnderItsNameThroughARestart)
{
    ASSERT_EQ(Install(StartCase(".dll")), 1) << message;
    {
        HeldElsewhere holder("module", target);
        ASSERT_TRUE(holder.active);
        MarkFailing(target);
        EXPECT_EQ(Install(Source("fixture_flaky_3_0_0_0.dll", ".dll", false, "second")), 0);
        EXPECT_EQ(message, RegisterFailure(target));
        EXPECT_EQ(VersionOf(target), "1.0.0.0");
        ExpectNoTraces();
    }
    ASSERT_TRUE(Restart());
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_COUNT(target, 1);
}

// The copy in place cannot take its name back (another program holds the new file
// open without letting it go): nothing is lost, and the message says, on a line of
// its own after the failing step's, where the old copy is.
TEST_F(FailedCallTest, AGiveBackThatIsRefusedSaysWhereTheOldCopyIs)
{
    std::string target = InSystem(".dll");
    std::string first = Source("fixture_flaky_1_0_0_0.dll", ".dll", false, "first");
    ASSERT_EQ(Install(first), 1) << message;
    std::string second = Source("fixture_flaky_3_0_0_0.dll", ".dll", false, "second");
    MarkFailing(target);
    std::string pause = target + ".pause", paused = target + ".paused";
    Track(pause);
    Track(paused);
    WriteTextFile(pause, "wait while the test takes hold of the new file");

    // The new server waits in its registration, in place under the name, while
    // another program takes hold of it.
    HeldElsewhere held("open-on-pause", target);
    ASSERT_TRUE(held.active);
    int result = Install(second);
    ASSERT_FALSE(FileExists(pause)) << "the holder never took hold of " << target;

    std::vector<std::string> kept = StraysInSystemDir();
    for (const std::string& known : strays) kept.erase(std::remove(kept.begin(), kept.end(), known), kept.end());
    ASSERT_EQ(kept.size(), 1u);
    std::string keptPath = SystemDir() + "\\" + kept[0];
    Track(keptPath);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(message, RegisterFailure(target) + "\nThe copy that was in place is kept as " + keptPath + ".\n");
    EXPECT_EQ(ReadTextFile(keptPath), ReadTextFile(BinFile("fixture_flaky_1_0_0_0.dll")));
    EXPECT_EQ(VersionOf(target), "3.0.0.0");
    EXPECT_COUNT(target, 1);
    EXPECT_EQ(PendingDeletions(), pending);

    held.End();
    Mend();
    EXPECT_EQ(Install(second), 1) << message;
    EXPECT_EQ(VersionOf(target), "3.0.0.0");
    EXPECT_COUNT(target, 2);
    ExpectRegisteredAt(target, 3);
}
