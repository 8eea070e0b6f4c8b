// A 32-bit caller that has switched WOW64 file-system redirection off, as NSIS scripts
// do to place 64-bit files: the 32-bit module still acts on its own system directory
// (SysWOW64), never on the 64-bit one, and gives the caller its setting back.
#include "support/operation_fixture.h"

#include <windows.h>

#include <string>

using namespace qeltest;

namespace {

// While alive, the thread sees the 64-bit system directory under the name of its own.
struct RedirectionOff {
    RedirectionOff() { off = Wow64DisableWow64FsRedirection(&state) != FALSE; }
    ~RedirectionOff()
    {
        if (off) Wow64RevertWow64FsRedirection(state);
    }
    PVOID state = nullptr;
    bool off = false;
};

class RedirectionTest : public OperationTest {
protected:
    void TearDown() override
    {
        OperationTest::TearDown();
        RedirectionOff native;
        if (!nativeCopy.empty()) DeleteFileA(nativeCopy.c_str());
    }
    std::string nativeCopy;  // in the 64-bit system directory
};

}  // namespace

TEST_F(RedirectionTest, ASetupWithRedirectionOffActsOnSysWow64AndKeepsTheCallersSetting)
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        GTEST_SKIP() << "only a 32-bit program on 64-bit Windows has WOW64 redirection";
    std::string target = InSystem(".dll");
    std::string source = Source("fixture_server_5_2_0_0.dll", ".dll");
    for (int uninstall = 0; uninstall < 2; ++uninstall) {
        SCOPED_TRACE(uninstall ? "uninstall" : "install");
        {
            RedirectionOff caller;
            ASSERT_TRUE(caller.off);
            if (!uninstall) {
                // A 64-bit product's server of the same name, in the real System32.
                ASSERT_TRUE(CopyFixture("fixture_other_bitness.dll", target));
                nativeCopy = target;
            }
            EXPECT_EQ(uninstall ? UninstallEx(source, 1, 0, 1) : InstallEx(source, 1, 0, 1), 1) << message;
            EXPECT_EQ(message, "");
            EXPECT_EQ(restartNeeded, 0);
            // Still off: the caller sees the 64-bit product's file, as it was.
            EXPECT_EQ(VersionOf(target), "3.0.0.0");
        }
        EXPECT_EQ(VersionOf(target), uninstall ? "" : "5.2.0.0");
        EXPECT_EQ(ReadSharedValue(target).exists, !uninstall);
    }
    // A caller that left it on finds it on.
    EXPECT_EQ(Install(source, 1, 0, 0), 1) << message;
    EXPECT_EQ(VersionOf(target), "5.2.0.0");
}
