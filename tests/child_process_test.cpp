// The programs that tests start never outlive them, nor anything those start in
// turn: not when a test lets them go early, not when they hang, and not when the
// test program itself dies. A program left behind would keep the test run's output
// open and hold files and names that later tests use.
#include "support/child_process.h"
#include "support/test_support.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace qeltest;

namespace {

class ChildProcessTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        idFile = dir + "\\child.id";
    }
    void TearDown() override
    {
        DeleteFileA(idFile.c_str());
        RemoveDirectoryA(dir.c_str());
    }

    std::string Probe(const std::string& arguments)
    {
        return "\"" + BinFile("process_tree_probe.exe") + "\" " + arguments;
    }

    // The id that a probe wrote, once it has: 0 when `running` ended first or took
    // longer than two minutes.
    DWORD WrittenId(HANDLE running)
    {
        for (int waited = 0; waited < 120000; waited += 100) {
            DWORD id = strtoul(ReadTextFile(idFile).c_str(), nullptr, 10);
            if (id != 0) return id;
            if (WaitForSingleObject(running, 100) != WAIT_TIMEOUT) break;
        }
        return strtoul(ReadTextFile(idFile).c_str(), nullptr, 10);
    }

    std::string dir;
    std::string idFile;
};

// Still running, or not yet gone, after `milliseconds`.
bool StillRunning(DWORD id, DWORD milliseconds)
{
    HandleHolder process(OpenProcess(SYNCHRONIZE, FALSE, id));
    return process && WaitForSingleObject(process.get(), milliseconds) != WAIT_OBJECT_0;
}

}  // namespace

TEST_F(ChildProcessTest, AChildAndWhatItStartedEndWhenTheTestLetsThemGo)
{
    HandleHolder child, grandchild;
    {
        Child spawner;
        ASSERT_TRUE(StartChild(Probe("spawn \"" + idFile + "\""), &spawner));
        DWORD id = WrittenId(spawner.process.get());
        ASSERT_NE(id, 0u);
        grandchild.reset(OpenProcess(SYNCHRONIZE, FALSE, id));
        ASSERT_TRUE(grandchild);
        HANDLE copy = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), spawner.process.get(), GetCurrentProcess(), &copy,
                                    SYNCHRONIZE, FALSE, 0));
        child.reset(copy);
        EXPECT_EQ(WaitForSingleObject(child.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    // Both are gone once the record is, the one the child started included.
    EXPECT_EQ(WaitForSingleObject(child.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(grandchild.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(ChildProcessTest, AChildThatOutlivesItsWaitIsReportedAndEnded)
{
    Child waiting;
    ASSERT_TRUE(StartChild(Probe("wait 600"), &waiting));
    DWORD exitCode = 0;
    EXPECT_NONFATAL_FAILURE(exitCode = WaitForChild(&waiting, 100),
                            waiting.commandLine + " did not end within 100 ms, so the test ends it");
    EXPECT_EQ(exitCode, kNoExitCode);
    DWORD ended = 0;
    EXPECT_EQ(WaitForSingleObject(waiting.process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(waiting.process.get(), &ended));
    EXPECT_EQ(ended, kNoExitCode);
}

TEST_F(ChildProcessTest, TheChildrenOfATestProgramThatCrashesEndWithIt)
{
    Child crashing;
    ASSERT_TRUE(StartChild(Probe("crash \"" + idFile + "\""), &crashing));
    EXPECT_EQ(WaitForChild(&crashing, 120000), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    DWORD id = strtoul(ReadTextFile(idFile).c_str(), nullptr, 10);
    ASSERT_NE(id, 0u);
    // Asked while `crashing` is still held: its job would end what is left in it too.
    EXPECT_FALSE(StillRunning(id, 10000));
}
