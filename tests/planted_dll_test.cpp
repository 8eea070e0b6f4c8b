// A setup program is often started from a folder anyone can write to (a download
// folder), where someone may have put a DLL under the name of one of Windows' own.
// Wine is told to prefer such a DLL over its own, as Windows does for every DLL that
// is no KnownDLL; the module must still never load it. (VERSION.dll cannot be shown
// this way: Wine's own DLLs load it at every program's start. The module's import
// table is checked instead, by module_tables.)
#include "support/operation_fixture.h"

#include <windows.h>

#include <string>

using namespace qeltest;

namespace {

// While alive, programs started from this one prefer a native `dll` found beside them.
struct NativePreferred {
    explicit NativePreferred(const std::string& dll)
    {
        char value[1024] = {};
        DWORD length = GetEnvironmentVariableA("WINEDLLOVERRIDES", value, sizeof(value));
        kept = length < sizeof(value) ? value : "";
        SetEnvironmentVariableA("WINEDLLOVERRIDES", (kept + ";" + dll + "=n,b").c_str());
    }
    ~NativePreferred() { SetEnvironmentVariableA("WINEDLLOVERRIDES", kept.c_str()); }
    std::string kept;
};

class PlantedDllTest : public OperationTest {};

}  // namespace

TEST_F(PlantedDllTest, ADllBesideTheSetupProgramIsNeverLoaded)
{
    // The DLLs the module loads where it asks whether Windows protects a file.
    for (const char* dll : {"sfc_os", "sfc"}) {
        SCOPED_TRACE(dll);
        base = UniqueName("qel_planted_");
        std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true, dll);
        std::string folder = source.substr(0, source.find_last_of('\\'));
        std::string planted = folder + "\\" + dll + ".dll";
        std::string program = folder + "\\operation_worker.exe";
        for (const std::string& path : {planted, program, folder + "\\" + QELSETUP_MODULE_FILE, planted + ".loaded"})
            Track(path);
        ASSERT_TRUE(CopyFixture("fixture_planted.dll", planted));
        ASSERT_TRUE(CopyFixture("operation_worker.exe", program));
        ASSERT_TRUE(CopyFixture(QELSETUP_MODULE_FILE, folder + "\\" + QELSETUP_MODULE_FILE));
        InSystem(".ocx");
        InSystem(".dep");

        NativePreferred preferred(dll);
        // An install with every flag, then its uninstall: each asks the question.
        EXPECT_EQ(RunProgram("\"" + program + "\" cycle \"" + source + "\" 1"), 0u);
        EXPECT_FALSE(FileExists(planted + ".loaded"));
    }
}
