// Every step of both operations that can fail, made to fail by a real condition. One
// table of cases and one test body: what is on the machine before, what goes wrong
// while the call runs, the exact message, and exactly what the call leaves: what was
// there before it, with its count and registration. Then the names no operation may act on, end to end
// through the host command, and NULL arguments.
#include "common/holders.h"
#include "support/host_call.h"
#include "support/operation_fixture.h"

#include <objbase.h>

#include <functional>
#include <ostream>

using namespace qeltest;

namespace {

constexpr char kServer[] = "fixture_server_1_0_0_0.dll";
constexpr char kText[] = "text";  // a kit file without a version resource

enum class Operation { kInstall, kUninstall };

struct Flags {
    int useSystemDir;
    int doRegistration;
    int doSharedCount;
};
constexpr Flags kAll = {1, 1, 1};
constexpr Flags kInPlace = {0, 1, 1};

// What is on the machine before the call.
enum class Before {
    kNothing,
    kOlderCopyInPlace,      // fixture 2.1.0.4 in the system directory, uncounted
    kFailingServerInPlace,  // a server whose entry points fail, uncounted
    kInstalled,             // one product installed the kit with every flag
    kInstalledThenDamaged,  // ... and then the copy in place became a text file
    kOtherBitnessInPlace,   // a copy of the other bitness in the system directory, uncounted
};

// What goes wrong while the call runs.
enum class During {
    kNothing,
    kUnreadableToken,     // the thread's own token cannot be opened
    kAnonymousToken,      // the thread impersonates at anonymous level
    kUnelevatedToken,     // ... an administrator's token with Administrators deny-only
    kSharedDllsMissing,   // the SharedDLLs key does not exist
    kSharedDllsReadOnly,  // the SharedDLLs key refuses every open for writing
    kTargetHeldOpen,      // the target is open elsewhere without sharing
    kTargetLoaded,        // the target is loaded by a running program
    kTargetLoadedAsShort, // ... through its short 8.3 name, in capitals
    kLoadedCopyRenamed,   // ... and then set aside, as another setup's update does
    kLoadedCopyReplaced,  // ... and another copy put under its name
    kMultithreadedOle,    // the calling thread is in the multithreaded apartment already
};

// The operation's target (the copy in the system directory, or the file itself in
// own-place mode) and its companion, as the call leaves them.
struct MachineState {
    const char* version;  // of the target: nullptr when absent, "" when it has none
    bool companion;       // the companion file exists
    DWORD count;          // 0: no value
    DWORD companionCount;
    bool registered;
};
constexpr MachineState kUntouched = {nullptr, false, 0, 0, false};
constexpr MachineState kInstalledState = {"1.0.0.0", true, 1, 1, true};

struct FaultCase {
    const char* name;
    Operation operation;
    Flags flags;
    const char* kit;  // the product's copy: a fixture, kText, or nullptr for none
    const char* extension;
    Before before;
    During during;
    const char* message;  // {source} and {target} stand for the paths
    MachineState after;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

constexpr Operation kInstall = Operation::kInstall;
constexpr Operation kUninstall = Operation::kUninstall;
constexpr char kIncrement[] = "Error accessing registry for {target}.\nCould not increment registry counter.\n";
constexpr char kDecrement[] = "Error accessing registry for {target}.\nCould not decrement registry counter.\n";
constexpr char kDelete[] = "Error deleting file {target}\n";
const char* const kOtherBitness =
    sizeof(void*) == 8 ? "The file {source} is built for 32-bit x86 Windows (machine 0x014C), but this qelsetup "
                         "module is 64-bit x64: it can neither install nor register it.\n"
                       : "The file {source} is built for 64-bit x64 Windows (machine 0x8664), but this qelsetup "
                         "module is 32-bit x86: it can neither install nor register it.\n";
constexpr char kLoadedHere[] = "Could not copy file {source} to {target}\nThe file in place is loaded by this program: "
                               "install it from another one.\n";

const FaultCase kFaults[] = {
    {"InstallRefusedByTheGate", kInstall, kAll, kServer, ".ocx", Before::kNothing, During::kUnreadableToken,
     kPermissionDenied, kUntouched},
    {"InstallInPlaceRefusedByTheGate", kInstall, kInPlace, kServer, ".ocx", Before::kNothing,
     During::kUnreadableToken, kPermissionDenied, {"1.0.0.0", true, 0, 0, false}},
    // Windows would let such a caller change nothing; under Wine it could go all the way.
    {"InstallRefusedByTheGateToAnUnelevatedAdministrator", kInstall, kAll, kServer, ".ocx", Before::kNothing,
     During::kUnelevatedToken, kPermissionDenied, kUntouched},
    {"InstallOfAMissingFile", kInstall, kAll, nullptr, ".ocx", Before::kNothing, During::kNothing,
     "The file {source} does not exist.\n", kUntouched},
    {"InstallInPlaceOfAMissingFile", kInstall, kInPlace, nullptr, ".ocx", Before::kNothing, During::kNothing,
     "The file {source} does not exist.\n", kUntouched},
    {"InstallOfAFileWithoutVersion", kInstall, kAll, kText, ".ocx", Before::kNothing, During::kNothing,
     "Error reading from {source}\n", kUntouched},
    {"InstallInPlaceOfAFileWithoutVersion", kInstall, kInPlace, kText, ".ocx", Before::kNothing, During::kNothing,
     "Error reading from {source}\n", {"", false, 0, 0, false}},
    {"InstallCopyOntoATargetHeldOpen", kInstall, kAll, "fixture_server_2_1_0_5.dll", ".ocx",
     Before::kOlderCopyInPlace, During::kTargetHeldOpen, "Error reading from {target}\nThe file cannot be read (error 32).\n",
     {"2.1.0.4", false, 0, 0, false}},
    // Its old code would go on running here, and would register itself against the new file.
    {"InstallOverACopyThisProgramHasLoaded", kInstall, kAll, "fixture_server_2_1_0_5.dll", ".ocx",
     Before::kOlderCopyInPlace, During::kTargetLoaded,
     kLoadedHere, {"2.1.0.4", false, 0, 0, false}},
    // So it would when that copy was set aside since: the loader knows a module by its name.
    {"InstallWhileThisProgramHasTheNameLoadedFromACopyRenamedAway", kInstall, kAll, "fixture_server_2_1_0_5.dll",
     ".ocx", Before::kOlderCopyInPlace, During::kLoadedCopyRenamed, kLoadedHere, {"2.1.0.4", false, 0, 0, false}},
    {"InstallOverACopyThisProgramHasLoadedThroughItsShortName", kInstall, kAll, "fixture_server_2_1_0_5.dll",
     ".ocx", Before::kOlderCopyInPlace, During::kTargetLoadedAsShort, kLoadedHere, {"2.1.0.4", false, 0, 0, false}},
    // An image no program of this bitness could load is what the call names, whatever else is wrong.
    {"InstallOfTheOtherBitnessOverACopyThisProgramHasLoaded", kInstall, kAll, "fixture_other_bitness.dll", ".dll",
     Before::kOlderCopyInPlace, During::kTargetLoaded, kOtherBitness, {"2.1.0.4", false, 0, 0, false}},
    {"InstallOfTheOtherBitnessOverTheSameOfTheOtherBitness", kInstall, kAll, "fixture_other_bitness.dll", ".dll",
     Before::kOtherBitnessInPlace, During::kNothing, kOtherBitness, {"3.0.0.0", false, 0, 0, false}},
    {"InstallWhileThisProgramHasTheNameLoadedFromACopyReplaced", kInstall, kAll, "fixture_server_2_1_0_5.dll",
     ".ocx", Before::kOlderCopyInPlace, During::kLoadedCopyReplaced, kLoadedHere, {"2.1.0.4", false, 0, 0, false}},
    {"InstallWithoutTheSharedDllsKey", kInstall, kAll, kServer, ".ocx", Before::kNothing,
     During::kSharedDllsMissing, kIncrement, kUntouched},
    {"InstallWithTheSharedDllsKeyReadOnly", kInstall, kAll, kServer, ".ocx", Before::kNothing,
     During::kSharedDllsReadOnly, kIncrement, kUntouched},
    {"InstallOfAServerThatCannotLoad", kInstall, kAll, "fixture_missing_dep.dll", ".ocx", Before::kNothing,
     During::kNothing, "Could not register the file {target}.\nError loading file.", kUntouched},
    {"InstallOnAThreadWhereOleCannotStart", kInstall, kAll, kServer, ".ocx", Before::kNothing,
     During::kMultithreadedOle, "Could not register the file {target}.\nUnable to initialize OLE.",
     kUntouched},
    {"InstallOfAServerWhoseRegistrationFails", kInstall, kAll, "fixture_failing.dll", ".ocx", Before::kNothing,
     During::kNothing, "Could not register the file {target}.\nError running DllRegisterServer function.",
     kUntouched},
    {"InstallOfATypeLibrary", kInstall, kAll, kServer, ".tlb", Before::kNothing, During::kNothing,
     "Could not register the file {target}.\n.tlb files not handled yet.", kUntouched},

    {"UninstallRefusedByTheGate", kUninstall, kAll, kServer, ".ocx", Before::kInstalled,
     During::kUnreadableToken, kPermissionDenied, kInstalledState},
    {"UninstallRefusedByTheGateToAnAnonymousCaller", kUninstall, kAll, kServer, ".ocx", Before::kInstalled,
     During::kAnonymousToken, kPermissionDenied, kInstalledState},
    {"UninstallRefusedByTheGateToAnUnelevatedAdministrator", kUninstall, kAll, kServer, ".ocx",
     Before::kInstalled, During::kUnelevatedToken, kPermissionDenied, kInstalledState},
    {"UninstallWithoutTheSharedDllsKey", kUninstall, kAll, kServer, ".ocx", Before::kInstalled,
     During::kSharedDllsMissing, kDecrement, kInstalledState},
    {"UninstallWithTheSharedDllsKeyReadOnly", kUninstall, kAll, kServer, ".ocx", Before::kInstalled,
     During::kSharedDllsReadOnly, kDecrement, kInstalledState},
    {"UninstallOfACopyThatCannotLoad", kUninstall, kAll, kServer, ".ocx", Before::kInstalledThenDamaged,
     During::kNothing, "Could not unregister the file {target}.\nError loading file.", {"", true, 1, 1, true}},
    {"UninstallOfAServerWhoseUnregistrationFails", kUninstall, kAll, nullptr, ".ocx",
     Before::kFailingServerInPlace, During::kNothing,
     "Could not unregister the file {target}.\nError running DllUnregisterServer function.",
     {"1.0.0.0", false, 0, 0, false}},
    {"UninstallOfATargetHeldOpenWithoutRegistration", kUninstall, {1, 0, 1}, kServer, ".ocx",
     Before::kInstalled, During::kTargetHeldOpen, kDelete, kInstalledState},
    {"UninstallInPlaceOfATypeLibrary", kUninstall, kInPlace, kServer, ".Tlb", Before::kNothing, During::kNothing,
     "Could not unregister the file {target}.\n.Tlb files not handled yet.", {"1.0.0.0", true, 0, 0, false}},
    {"UninstallOfATargetAlreadyGone", kUninstall, {1, 0, 1}, nullptr, ".ocx", Before::kNothing, During::kNothing,
     kDelete, kUntouched},
};

std::string Expand(std::string text, const std::string& source, const std::string& target)
{
    const std::pair<std::string, std::string> fields[] = {{"{source}", source}, {"{target}", target}};
    for (const auto& field : fields) {
        for (size_t at = text.find(field.first); at != std::string::npos;
             at = text.find(field.first, at + field.second.size()))
            text.replace(at, field.first.size(), field.second);
    }
    return text;
}

// Runs the call while the condition holds, and ends the condition before returning.
int CallWhile(During during, const std::string& target, const std::function<int()>& call)
{
    switch (during) {
    case During::kNothing:
        return call();
    case During::kUnreadableToken: {
        UnopenableThreadToken token;
        EXPECT_TRUE(token.active);
        return call();
    }
    case During::kAnonymousToken: {
        AnonymousImpersonation token;
        EXPECT_TRUE(token.active);
        return call();
    }
    case During::kUnelevatedToken: {
        DenyOnlyGroupsImpersonation token({DOMAIN_ALIAS_RID_ADMINS, DOMAIN_ALIAS_RID_POWER_USERS});
        EXPECT_TRUE(token.active);
        EXPECT_EQ(BuiltinGroupAttributes(token.token.get(), DOMAIN_ALIAS_RID_ADMINS) &
                      (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY),
                  static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY));
        return call();
    }
    case During::kSharedDllsMissing: {
        SharedDllsKeyMissing missing;
        int result = call();
        // The key is opened, never created.
        HKEY key = nullptr;
        EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
        return result;
    }
    case During::kSharedDllsReadOnly: {
        SharedDllsWriteDenied denied;
        return call();
    }
    case During::kTargetHeldOpen: {
        FileHeldOpen held(target);
        EXPECT_NE(held.handle, INVALID_HANDLE_VALUE);
        return call();
    }
    case During::kTargetLoaded: {
        LibraryHolder loaded(LoadLibraryA(target.c_str()));
        EXPECT_TRUE(loaded);
        return call();
    }
    case During::kTargetLoadedAsShort: {
        char alias[MAX_PATH] = {};
        EXPECT_NE(GetShortPathNameA(target.c_str(), alias, MAX_PATH), 0u);
        CharUpperA(alias);
        EXPECT_NE(_stricmp(alias, target.c_str()), 0);
        LibraryHolder loaded(LoadLibraryA(alias));
        EXPECT_TRUE(loaded);
        return call();
    }
    case During::kLoadedCopyRenamed:
    case During::kLoadedCopyReplaced: {
        std::string away = target + ".away";
        LibraryHolder loaded(LoadLibraryA(target.c_str()));
        EXPECT_TRUE(loaded && MoveFileA(target.c_str(), away.c_str()));
        if (during == During::kLoadedCopyReplaced) {
            EXPECT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));
        }
        int result = call();
        loaded.reset();
        DeleteFileA(target.c_str());
        EXPECT_TRUE(MoveFileA(away.c_str(), target.c_str()));
        return result;
    }
    case During::kMultithreadedOle: {
        // On this thread: the tests may not start one of their own (see the README).
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
            ADD_FAILURE() << "cannot join the multithreaded apartment";
            return -1;
        }
        int result = call();
        CoUninitialize();
        return result;
    }
    }
    return -1;
}

class FaultMatrixTest : public OperationTest, public testing::WithParamInterface<FaultCase> {
protected:
    void Arrange(Before before, const std::string& source, const std::string& target)
    {
        switch (before) {
        case Before::kNothing:
            break;
        case Before::kOlderCopyInPlace:
            ASSERT_TRUE(CopyFixture("fixture_server_2_1_0_4.dll", target));
            break;
        case Before::kFailingServerInPlace:
            ASSERT_TRUE(CopyFixture("fixture_failing.dll", target));
            break;
        case Before::kOtherBitnessInPlace:
            ASSERT_TRUE(CopyFixture("fixture_other_bitness.dll", target));
            break;
        case Before::kInstalled:
        case Before::kInstalledThenDamaged:
            ASSERT_EQ(Install(source), 1) << message;
            if (before == Before::kInstalledThenDamaged) {
                ASSERT_TRUE(DeleteFileA(target.c_str()));
                WriteTextFile(target, "damaged");
            }
            break;
        }
    }

    void ExpectState(const MachineState& expected, const std::string& target, const std::string& companion)
    {
        if (expected.version == nullptr) {
            EXPECT_FALSE(FileExists(target));
        } else {
            EXPECT_TRUE(FileExists(target));
            EXPECT_EQ(VersionOf(target), expected.version);
        }
        EXPECT_EQ(FileExists(companion), expected.companion);
        EXPECT_EQ(ReadSharedValue(target).count, expected.count);
        EXPECT_EQ(ReadSharedValue(companion).count, expected.companionCount);
        EXPECT_EQ(IsClsidRegistered(target), expected.registered);
    }
};

}  // namespace

TEST_P(FaultMatrixTest, FailsWithTheStepsMessageAndLeavesExactlyWhatCameBefore)
{
    const FaultCase& fault = GetParam();
    std::string source = dir + "\\" + base + fault.extension;
    if (fault.kit == kText) {
        WriteTextFile(source, "no version here");
        Track(source);
    } else if (fault.kit != nullptr) {
        source = Source(fault.kit, fault.extension, true);
    }
    const bool inSystem = fault.flags.useSystemDir != 0;
    std::string target = inSystem ? InSystem(fault.extension) : source;
    std::string companion = inSystem ? InSystem(".dep") : dir + "\\" + base + ".dep";
    ASSERT_NO_FATAL_FAILURE(Arrange(fault.before, source, target));

    const Flags& flags = fault.flags;
    int result = CallWhile(fault.during, target, [&] {
        return fault.operation == Operation::kInstall
                   ? Install(source, flags.useSystemDir, flags.doRegistration, flags.doSharedCount)
                   : Uninstall(source, flags.useSystemDir, flags.doRegistration, flags.doSharedCount);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(message, Expand(fault.message, source, target));
    ExpectState(fault.after, target, companion);
    // Whatever failed, nothing stays loaded or initialised.
    EXPECT_FALSE(IsModuleLoaded(target));
    EXPECT_FALSE(IsOleInitializedHere());
}

INSTANTIATE_TEST_SUITE_P(EachFailingStep, FaultMatrixTest, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

using FaultTest = OperationTest;

TEST_F(FaultTest, NamesNoOperationMayActOnChangeNothingThroughTheHostCommand)
{
    // Another product has the real control installed and counted twice, and a count
    // is kept under the first 255 characters of a longer name.
    std::string source = Source(kServer, ".ocx", true);
    ASSERT_EQ(Install(source), 1) << message;
    ASSERT_EQ(Install(source), 1) << message;
    std::string overlong = dir + "\\" + std::string(255 - dir.size(), 'n');
    ASSERT_EQ(overlong.size(), 256u);
    WriteSharedCount(overlong.substr(0, 255), 1);
    Track(overlong.substr(0, 255));

    const std::string blank = "' ends in a space or a dot, which Windows drops when it opens the file.\n";
    const std::string colon = "' holds a ':', which names a stream of another file.\n";
    const std::string huge(4000, 'h');
    // Fits alone, but not behind the system directory.
    const std::string tooLongThere(255 - SystemDir().size(), 'c');
    struct Refused {
        std::string name;
        std::string message;
        bool systemDirectoryOnly;
    };
    const Refused refused[] = {
        {"", "No file name was given.\n", false},
        // A padded character matrix gives a name with trailing blanks.
        {source + "   ", "The file name '" + source + "   " + blank, false},
        {source + ".", "The file name '" + source + "." + blank, false},
        {"Chart.ocx. . ", "The file name 'Chart.ocx. . " + blank, false},
        {"..", "The file name '.." + blank, false},
        {source + ":x", "The file name '" + source + ":x" + colon, false},
        {source + "::$DATA", "The file name '" + source + "::$DATA" + colon, false},
        {"D:\\kit:old\\..\\k:Chart.dll", "The file name 'D:\\kit:old\\..\\k:Chart.dll" + colon, false},
        {overlong, "The file name " + overlong.substr(0, 200) + "... is longer than 255 characters.\n", false},
        {huge, "The file name " + huge.substr(0, 200) + "... is longer than 255 characters.\n", false},
        {"C:\\kit\\", "The name C:\\kit\\ does not name a file.\n", true},
        {tooLongThere, "The path " + SystemDir() + "\\" + tooLongThere + " is longer than 255 characters.\n", true},
    };
    auto entry = reinterpret_cast<MexEntryPoint>(api.mexFunction);
    for (const Refused& name : refused) {
        for (const char* command : {"install", "uninstall"}) {
            for (double useSystemDir : {1.0, 0.0}) {
                if (name.systemDirectoryOnly && useSystemDir == 0.0) continue;
                SCOPED_TRACE(std::string(command) + " '" + name.name.substr(0, 300) + "' " +
                             std::to_string(useSystemDir));
                HostCallResult call = CallHostCommand(entry, 2, CommandInputs(command, name.name, useSystemDir));
                EXPECT_FALSE(call.raised) << call.error;
                EXPECT_EQ(call.status, 0);
                EXPECT_EQ(call.message, name.message);
                EXPECT_EQ(hostOutstandingAllocations(), 0);
            }
        }
    }

    std::string target = InSystem(".ocx"), companion = InSystem(".dep");
    EXPECT_EQ(VersionOf(target), "1.0.0.0");
    EXPECT_TRUE(FileExists(companion));
    EXPECT_EQ(ReadSharedValue(target).count, 2u);
    EXPECT_EQ(ReadSharedValue(companion).count, 2u);
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_EQ(ReadSharedValue(overlong.substr(0, 255)).count, 1u);
    EXPECT_FALSE(ReadSharedValue(target + " ").exists);
    EXPECT_FALSE(ReadSharedValue(target + ".").exists);
}

TEST_F(FaultTest, NullArgumentsNeverCrash)
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
    std::string source = Source(kServer, ".ocx", true);
    std::string target = InSystem(".ocx"), companion = InSystem(".dep");
    EXPECT_EQ(api.install((dir + "\\absent.ocx").c_str(), 1, 1, 1, nullptr), 0);
    EXPECT_EQ(api.install(source.c_str(), 1, 1, 1, nullptr), 1);
    EXPECT_TRUE(FileExists(companion));
    EXPECT_EQ(ReadSharedValue(target).count, 1u);
    EXPECT_TRUE(IsClsidRegistered(target));
    EXPECT_EQ(api.uninstall(source.c_str(), 1, 1, 1, nullptr), 1);
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(companion));
    EXPECT_FALSE(ReadSharedValue(target).exists);
    EXPECT_FALSE(IsClsidRegistered(target));
}
