// A setup program started from a folder anyone can write to may find there a DLL named
// like one of Windows' own. Wine is told to prefer it, as Windows does for every DLL
// that is no KnownDLL; the module must still never load it. (A planted version.dll
// shows nothing: Wine's own DLLs load it at every start. module_tables checks that.)
#include "support/operation_fixture.h"

using namespace qeltest;

class PlantedDllTest : public OperationTest {};

TEST_F(PlantedDllTest, ADllBesideTheSetupProgramIsNeverLoaded)
{
    char overrides[1024] = {};
    GetEnvironmentVariableA("WINEDLLOVERRIDES", overrides, sizeof(overrides));
    for (const char* dll : {"sfc_os", "sfc"}) {
        SCOPED_TRACE(dll);
        base = UniqueName("qel_planted_");
        std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true, dll);
        std::string folder = source.substr(0, source.find_last_of('\\') + 1);
        std::string planted = folder + dll + ".dll", program = folder + "operation_worker.exe";
        for (const std::string& path : {planted, program, folder + QELSETUP_MODULE_FILE, planted + ".loaded"})
            Track(path);
        InSystem(".ocx");
        InSystem(".dep");
        ASSERT_TRUE(CopyFixture("fixture_planted.dll", planted) && CopyFixture("operation_worker.exe", program) &&
                    CopyFixture(QELSETUP_MODULE_FILE, folder + QELSETUP_MODULE_FILE));

        // An install with every flag, then its uninstall: each asks the question.
        SetEnvironmentVariableA("WINEDLLOVERRIDES", (std::string(overrides) + ";" + dll + "=n,b").c_str());
        EXPECT_EQ(RunProgram("\"" + program + "\" cycle \"" + source + "\" 1"), 0u);
        SetEnvironmentVariableA("WINEDLLOVERRIDES", overrides);
        EXPECT_FALSE(FileExists(planted + ".loaded"));
    }
}
