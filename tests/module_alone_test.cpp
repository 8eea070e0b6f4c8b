// The module in a process that is no host: it loads with nothing of the host in the
// process, its plain exports do their work, it carries its version, and a call
// of mexFunction says why it cannot run instead of crashing.
#include "common/holders.h"
#include "installer/operations.h"
#include "support/operation_fixture.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace qeltest;

namespace {

// The embedded host's hostCallMexFunction, with its arrays left opaque: this program
// links nothing of the host and loads libmex.dll only where a test asks for it.
using HostCall = int (*)(void*, int, void*[], int, const void*[], char*, size_t);

std::string Unbound(const char* name, const char* library)
{
    return std::string("qelsetup: the host function ") + name + " was not found in a loaded " + library +
           "; mexFunction must be called by a host that has loaded libmx.dll and libmex.dll.";
}

struct ProbeRun {
    DWORD exitCode = 99;
    std::vector<std::string> debugStrings;
};

struct ViewUnmapper {
    void operator()(void* view) const { UnmapViewOfFile(view); }
};
using ViewHolder = std::unique_ptr<void, ViewUnmapper>;

// Runs host_absent_probe.exe and collects what it says through OutputDebugStringA.
// Without a debugger, OutputDebugStringA hands its text to a debug monitor: it waits
// for the monitor's "DBWIN_BUFFER_READY", writes its process id and the text into the
// "DBWIN_BUFFER" section, and sets "DBWIN_DATA_READY". A debugger would read the text
// out of the probe's memory instead, which fails where 32-bit programs run under
// qemu-user: there the probe's addresses are not where the host process has them.
ProbeRun RunProbeWithMonitor(const std::string& arguments)
{
    ProbeRun run;
    constexpr DWORD kSectionSize = 4096;
    HandleHolder bufferReady(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    HandleHolder dataReady(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    HandleHolder section(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize, "DBWIN_BUFFER"));
    if (!bufferReady || !dataReady || !section) return run;
    ViewHolder view(MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, kSectionSize));
    if (!view) return run;

    Child probe;
    if (!StartChild("\"" + BinFile("host_absent_probe.exe") + "\" " + arguments, &probe, BinDir())) return run;

    SetEvent(bufferReady.get());
    const HANDLE waits[2] = {dataReady.get(), probe.process.get()};
    // The probe writes before it ends, and a wait on both reports the first handle
    // when both are signalled: no text is lost to the exit.
    while (WaitSaying(2, waits, 60000, "host_absent_probe.exe to speak or end") == WAIT_OBJECT_0) {
        const char* data = static_cast<const char*>(view.get());
        DWORD writer = 0;
        memcpy(&writer, data, sizeof(writer));
        // Other processes of the prefix may speak to a monitor too.
        if (writer == probe.id)
            run.debugStrings.emplace_back(data + sizeof(writer), strnlen(data + sizeof(writer), kSectionSize - sizeof(writer)));
        SetEvent(bufferReady.get());
    }
    run.exitCode = WaitForChild(&probe, 60000);
    return run;
}

class ModuleAloneTest : public OperationTest {};

}  // namespace

TEST_F(ModuleAloneTest, LoadsWithoutTheHostAndItsFourExportsAnswer)
{
    // SetUp loaded the module; this program has none of the host's libraries.
    EXPECT_EQ(GetModuleHandleA("libmx.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleA("libmex.dll"), nullptr);

    // Under Wine every user is an administrator.
    EXPECT_EQ(api.runningAsAdministrator(), 0);
    EXPECT_EQ(api.runningAsPowerUser(), 0);

    std::string server = Source("fixture_server_1_0_0_0.dll", ".dll");
    char message[QEL_MESSAGE_BUFFER_SIZE] = "";
    EXPECT_EQ(api.install(server.c_str(), 0, 1, 0, message), 1);
    EXPECT_STREQ(message, "");
    EXPECT_TRUE(IsClsidRegistered(server));
    EXPECT_EQ(api.uninstall(server.c_str(), 0, 1, 0, message), 1);
    EXPECT_STREQ(message, "");
    EXPECT_FALSE(IsClsidRegistered(server));

    std::string missing = dir + "\\" + base + "-missing.dll";
    EXPECT_EQ(api.install(missing.c_str(), 1, 1, 1, message), 0);
    EXPECT_EQ(std::string(message), "The file " + missing + " does not exist.\n");

    EXPECT_EQ(GetModuleHandleA("libmx.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleA("libmex.dll"), nullptr);
}

TEST_F(ModuleAloneTest, CarriesTheProjectVersion)
{
    std::string module = ModulePath();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(module.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(module.c_str(), handle, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(QELSETUP_VERSION_MINOR, QELSETUP_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, QELSETUP_VERSION_PATCH)));

    auto text = [&](const char* name) {
        char* value = nullptr;
        UINT chars = 0;
        std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
        if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars)) return std::string();
        return std::string(value);
    };
    EXPECT_EQ(text("FileVersion"), std::string(QELSETUP_VERSION) + ".0");
    EXPECT_EQ(text("ProductName"), "qelsetup");
    EXPECT_EQ(text("OriginalFilename"), QELSETUP_MODULE_FILE);
    EXPECT_FALSE(text("FileDescription").empty());
}

TEST_F(ModuleAloneTest, MexFunctionOutsideAHostReturnsWithoutOutputsAndSaysWhy)
{
    ProbeRun alone = RunProbeWithMonitor("");
    EXPECT_EQ(alone.exitCode, 0u);
    ASSERT_EQ(alone.debugStrings.size(), 1u);
    EXPECT_EQ(alone.debugStrings[0], Unbound("mxIsChar", "libmx.dll"));

    // With the array functions but no error function there is still no way to raise.
    ProbeRun noErrors = RunProbeWithMonitor("--with-libmx");
    EXPECT_EQ(noErrors.exitCode, 0u);
    ASSERT_EQ(noErrors.debugStrings.size(), 1u);
    EXPECT_EQ(noErrors.debugStrings[0], Unbound("mexErrMsgTxt", "libmex.dll"));
}

TEST_F(ModuleAloneTest, MexFunctionRaisesAMissingFunctionThroughTheHostWhenItCan)
{
    LibraryHolder libmex(LoadLibraryA(BinFile("libmex.dll").c_str()));
    ASSERT_TRUE(libmex);
    auto call =
        reinterpret_cast<HostCall>(reinterpret_cast<void (*)()>(GetProcAddress(libmex.get(), "hostCallMexFunction")));
    auto entry = reinterpret_cast<void*>(GetProcAddress(api.module, "mexFunction"));
    ASSERT_NE(call, nullptr);
    ASSERT_NE(entry, nullptr);

    int marker = 0;
    void* outputs[2] = {&marker, &marker};
    const void* inputs[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    char error[512] = "";
    EXPECT_EQ(call(entry, 2, outputs, 5, inputs, error, sizeof(error)), 1);
    EXPECT_EQ(std::string(error), Unbound("mxIsChar", "libmx.dll"));
    EXPECT_EQ(outputs[0], &marker);
    EXPECT_EQ(outputs[1], &marker);
}
