// The host command through a real load of the module into the embedded host: the
// host's arrays, its allocator and its error unwinding are libmx.dll and libmex.dll.
#include "support/host_call.h"
#include "support/operation_fixture.h"

#include <cmath>
#include <vector>

using namespace qeltest;

namespace {

const char kFirst[] = "Incorrect input.\nFirst input must be either 'install' or 'uninstall'.";
const char kSecond[] = "Incorrect input.\nSecond input must be a file name.";
const char kThird[] = "Incorrect input.\nThird input must be either 1 or 0.";
const char kFourth[] = "Incorrect input.\nFourth input must be either 1 or 0.";
const char kFifth[] = "Incorrect input.\nFifth input must be either 1 or 0.";

using Outcome = HostCallResult;

class GatewayTest : public OperationTest {
protected:
    // Calls qelsetup with these inputs (taken over and destroyed) and `outputs` outputs.
    Outcome Call(int outputs, std::vector<mxArray*> inputs)
    {
        HostArrays held;
        for (mxArray* input : inputs) held.emplace_back(input);
        Outcome outcome = CallHostCommand(reinterpret_cast<MexEntryPoint>(api.mexFunction), outputs, held);
        held.clear();
        // The host's buffers go back on every path, raised errors included.
        EXPECT_EQ(hostOutstandingAllocations(), 0);
        return outcome;
    }

    static mxArray* Text(const std::string& text) { return mxCreateString(text.c_str()); }
    static mxArray* Number(double value) { return mxCreateDoubleScalar(value); }
    std::vector<mxArray*> Inputs(const std::string& command, const std::string& file, mxArray* third = nullptr,
                                 mxArray* fourth = nullptr, mxArray* fifth = nullptr)
    {
        return {Text(command), Text(file), third ? third : Number(1), fourth ? fourth : Number(1),
                fifth ? fifth : Number(1)};
    }
    std::string Missing() const { return dir + "\\" + base + ".dll"; }

    void SetUp() override
    {
        OperationTest::SetUp();
        ASSERT_NE(api.mexFunction, nullptr);
    }
};

void ExpectRaisedAt(const char* file, int line, const Outcome& outcome, const std::string& text)
{
    testing::ScopedTrace trace(file, line, "the raised error");
    EXPECT_TRUE(outcome.raised);
    EXPECT_EQ(outcome.error, text);
}

#define EXPECT_RAISED(outcome, text) ExpectRaisedAt(__FILE__, __LINE__, (outcome), (text))

}  // namespace

TEST_F(GatewayTest, CountsOfInputsAndOutputsAreCheckedFirst)
{
    std::vector<mxArray*> four = Inputs("install", Missing());
    hostDestroyArray(four.back());
    four.pop_back();
    EXPECT_RAISED(Call(1, four), "Incorrect number of input arguments.");
    EXPECT_RAISED(Call(4, {Number(7)}), "Incorrect number of input arguments.");
    EXPECT_RAISED(Call(1, {}), "Incorrect number of input arguments.");

    std::vector<mxArray*> six = Inputs("install", Missing());
    six.push_back(Number(1));
    EXPECT_RAISED(Call(1, six), "Incorrect number of input arguments.");

    EXPECT_RAISED(Call(4, Inputs("install", Missing())), "Incorrect number of output arguments.");
    EXPECT_RAISED(Call(6, Inputs("install", Missing())), "Incorrect number of output arguments.");
    std::vector<mxArray*> fourAgain = Inputs("install", Missing());
    hostDestroyArray(fourAgain.back());
    fourAgain.pop_back();
    EXPECT_RAISED(Call(4, fourAgain), "Incorrect number of input arguments.");
}

TEST_F(GatewayTest, InputsAreCheckedInOrderAndTheCommandWordLast)
{
    EXPECT_RAISED(Call(1, {Number(1), Number(1), Number(1), Number(1), Number(1)}), kFirst);
    EXPECT_RAISED(Call(1, Inputs("install", "", Number(2), Number(2), Number(2))), kThird);
    std::vector<mxArray*> noFile = Inputs("install", Missing());
    hostDestroyArray(noFile[1]);
    noFile[1] = Number(3);
    EXPECT_RAISED(Call(1, noFile), kSecond);

    EXPECT_RAISED(Call(2, Inputs("install", Missing(), hostCreateLogicalScalar(true))), kThird);
    EXPECT_RAISED(Call(2, Inputs("install", Missing(), Number(2))), kThird);
    EXPECT_RAISED(Call(2, Inputs("install", Missing(), Number(NAN))), kThird);
    EXPECT_RAISED(Call(2, Inputs("install", Missing(), Number(1), Number(0.5))), kFourth);
    EXPECT_RAISED(Call(2, Inputs("install", Missing(), Number(1), Number(1), Text("1"))), kFifth);
    EXPECT_RAISED(Call(2, Inputs("install", Missing(), Number(0), Number(0), Number(-1))), kFifth);

    // An unknown command is reported only once inputs 2 to 5 pass.
    EXPECT_RAISED(Call(2, Inputs("remove", Missing())), kFirst);
    EXPECT_RAISED(Call(2, Inputs("remove", Missing(), Number(2))), kThird);
}

TEST_F(GatewayTest, EmptyFlagIsRefusedBeforeAnythingHappens)
{
    // Read as 0, an empty count flag would unregister and delete a file still in use.
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string target = InSystem(".dll");
    ASSERT_EQ(Install(source), 1) << message;
    ASSERT_EQ(Install(source), 1) << message;
    const char* const expected[3] = {kThird, kFourth, kFifth};
    for (int input = 0; input < 3; ++input) {
        for (auto shape : {std::make_pair(0, 0), std::make_pair(0, 1), std::make_pair(1, 0)}) {
            SCOPED_TRACE(std::to_string(input + 3) + ": " + std::to_string(shape.first) + "x" +
                         std::to_string(shape.second));
            mxArray* flags[3] = {Number(1), Number(1), Number(1)};
            hostDestroyArray(flags[input]);
            flags[input] = hostCreateDoubleMatrix(shape.first, shape.second, nullptr);
            EXPECT_RAISED(Call(2, Inputs("uninstall", source, flags[0], flags[1], flags[2])), expected[input]);
        }
    }
    EXPECT_EQ(ReadSharedValue(target).count, 2u);
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(IsClsidRegistered(target));
}

TEST_F(GatewayTest, CommandWordIgnoresCaseAndAFailedCallReturnsOrRaisesItsMessage)
{
    const std::string expected = "The file " + Missing() + " does not exist.\n";
    Outcome two = Call(2, Inputs("INSTALL", Missing()));
    EXPECT_FALSE(two.raised);
    EXPECT_EQ(two.status, 0);
    EXPECT_EQ(two.message, expected);

    EXPECT_RAISED(Call(1, Inputs("Install", Missing())), expected);
    Outcome none = Call(0, Inputs("install", Missing()));
    EXPECT_RAISED(none, expected);
    EXPECT_TRUE(none.hasStatus);
}

TEST_F(GatewayTest, AThirdOutputSaysWhetherARestartIsNeeded)
{
    std::string target = InSystem(".dll");
    std::string first = Source("fixture_server_2_1_0_4.dll", ".dll", false, "a");
    std::vector<std::string> before = PendingDeletions();

    Outcome fresh = Call(3, Inputs("install", first));
    EXPECT_FALSE(fresh.raised);
    EXPECT_EQ(fresh.status, 1);
    EXPECT_EQ(fresh.message, "");
    EXPECT_TRUE(fresh.hasRestartNeeded);
    EXPECT_EQ(fresh.restartNeeded, 0);
    {
        HeldElsewhere holder("module", target);
        ASSERT_TRUE(holder.active);
        Outcome update = Call(3, Inputs("install", Source("fixture_server_2_1_0_5.dll", ".dll", false, "b")));
        EXPECT_FALSE(update.raised);
        EXPECT_EQ(update.status, 1);
        EXPECT_EQ(update.message, "");
        EXPECT_EQ(update.restartNeeded, 1);
        EXPECT_EQ(VersionOf(target), "2.1.0.5");

        // As with two outputs, a failure is a status and a message, not a host error.
        Outcome failed = Call(3, Inputs("install", Missing()));
        EXPECT_FALSE(failed.raised);
        EXPECT_EQ(failed.status, 0);
        EXPECT_EQ(failed.message, "The file " + Missing() + " does not exist.\n");
        EXPECT_TRUE(failed.hasRestartNeeded);
        EXPECT_EQ(failed.restartNeeded, 0);

        // Asked for two, the call fills two.
        Outcome two = Call(2, Inputs("uninstall", first));
        EXPECT_EQ(two.status, 1);
        EXPECT_FALSE(two.hasRestartNeeded);
        EXPECT_COUNT(target, 1);
    }
    HeldElsewhere holder("module", target);
    ASSERT_TRUE(holder.active);
    Outcome last = Call(3, Inputs("uninstall", first));
    EXPECT_EQ(last.status, 1);
    EXPECT_EQ(last.message, "");
    EXPECT_EQ(last.restartNeeded, 1);
    EXPECT_FALSE(FileExists(target));

    holder.End();
    std::vector<std::string> after = PendingDeletions();
    EXPECT_EQ(after.size(), before.size() + 2);
    ASSERT_TRUE(Restart());
    for (const std::string& pending : after) {
        if (pending.find("\\~ql") == std::string::npos) continue;
        EXPECT_FALSE(FileExists(SystemDir() + pending.substr(pending.find_last_of('\\')))) << pending;
    }
}

TEST_F(GatewayTest, DoubleRowCountsByItsFirstElement)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    double row[3] = {1, 7, 0};
    Outcome outcome = Call(2, Inputs("install", source, Number(0), Number(0), hostCreateDoubleRow(3, row)));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(ReadSharedValue(source).count, 1u);
}

TEST_F(GatewayTest, InstallAndUninstallRoundTrip)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string target = InSystem(".ocx");
    Outcome installed = Call(2, Inputs("install", source));
    EXPECT_EQ(installed.status, 1);
    EXPECT_TRUE(installed.hasMessage);
    EXPECT_EQ(installed.message, "");
    EXPECT_TRUE(FileExists(target));
    EXPECT_TRUE(IsClsidRegistered(target));

    Outcome removed = Call(1, Inputs("uninstall", source));
    EXPECT_FALSE(removed.raised);
    EXPECT_EQ(removed.status, 1);
    EXPECT_FALSE(removed.hasMessage);
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(InSystem(".dep")));
    EXPECT_FALSE(ReadSharedValue(target).exists);
}

TEST_F(GatewayTest, AnUnelevatedAdministratorGetsThePermissionMessageAsTheHostError)
{
    std::string installed = Source("fixture_server_1_0_0_0.dll", ".ocx", true);
    std::string installedTarget = InSystem(".ocx");
    std::string installedCompanion = InSystem(".dep");
    ASSERT_EQ(Install(installed), 1) << message;
    base = UniqueName("qelop");  // a server of its own, with a CLSID of its own
    std::string fresh = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string freshTarget = InSystem(".dll");
    {
        DenyOnlyGroupsImpersonation unelevated({DOMAIN_ALIAS_RID_ADMINS, DOMAIN_ALIAS_RID_POWER_USERS});
        ASSERT_TRUE(unelevated.active);
        ASSERT_EQ(BuiltinGroupAttributes(unelevated.token.get(), DOMAIN_ALIAS_RID_ADMINS) & SE_GROUP_ENABLED, 0u);
        EXPECT_RAISED(Call(1, Inputs("install", fresh)), kPermissionDenied);
        EXPECT_RAISED(Call(0, Inputs("uninstall", installed)), kPermissionDenied);
        Outcome two = Call(2, Inputs("uninstall", installed));
        EXPECT_FALSE(two.raised);
        EXPECT_EQ(two.status, 0);
        EXPECT_EQ(two.message, kPermissionDenied);
    }
    EXPECT_FALSE(FileExists(freshTarget));
    EXPECT_FALSE(ReadSharedValue(freshTarget).exists);
    EXPECT_FALSE(IsClsidRegistered(fresh));
    EXPECT_FALSE(IsClsidRegistered(freshTarget));
    ExpectControlInPlace(installedTarget, installedCompanion, 1);
}

TEST_F(GatewayTest, UnknownFileTypeSucceedsAndSaysSoOnlyToTwoOutputs)
{
    std::string source = Source("fixture_server_1_0_0_0.dll", ".exe");
    std::string target = InSystem(".exe");
    Outcome two = Call(2, Inputs("install", source));
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.message.rfind("Unknown file type.", 0), 0u) << two.message;
    Outcome one = Call(1, Inputs("install", source));
    EXPECT_FALSE(one.raised);
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(ReadSharedValue(target).count, 2u);
}

TEST_F(GatewayTest, TextOfSeveralRowsIsCutToItsColumnCountInStorageOrder)
{
    // Two rows of seven columns whose first seven stored characters are "install":
    // the buffer holds columns + 1 bytes, so the rest never arrives.
    std::string command = "installXXXXXXX";
    Outcome outcome = Call(2, {hostCreateCharMatrix(2, 7, command.c_str()), Text(Missing()), Number(1), Number(1),
                               Number(1)});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.message, "The file " + Missing() + " does not exist.\n");

    // A file name that does not fit its buffer is never acted on shortened: not one of
    // two rows, nor one whose characters take more bytes than there are columns (as a
    // host's do when the system code page needs two bytes for a character). Cut, each
    // would name a file that exists.
    std::string source = Source("fixture_server_1_0_0_0.dll", ".dll");
    std::string twoRows = source + std::string(source.size(), 'Z');
    std::string multibyte = source + "x";
    for (mxArray* name : {hostCreateCharMatrix(2, source.size(), twoRows.c_str()),
                          hostCreateCharRow(source.size(), multibyte.c_str())}) {
        EXPECT_RAISED(Call(2, {Text("install"), name, Number(1), Number(1), Number(1)}), kSecond);
        EXPECT_FALSE(FileExists(InSystem(".dll")));
        EXPECT_FALSE(ReadSharedValue(InSystem(".dll")).exists);
    }
}

TEST_F(GatewayTest, CommandLineHostPrintsResultsAndExitsNonZeroOnAHostError)
{
    auto run = [&](const std::string& arguments, std::string* output) {
        return RunProgramReading("\"" + BinFile("qelhost.exe") + "\" " + arguments, output);
    };
    std::string module = "\"" + ModulePath() + "\"";
    std::string file = "\"" + Missing() + "\"";
    std::string output;
    EXPECT_EQ(run(module + " install " + file + " 1 1 1", &output), 0u);
    EXPECT_NE(output.find("status  = 0"), std::string::npos) << output;
    EXPECT_NE(output.find("message = 'The file " + Missing() + " does not exist.\\n'"), std::string::npos)
        << output;

    output.clear();
    EXPECT_EQ(run("--outputs=3 " + module + " install " + file + " 1 1 1", &output), 0u);
    EXPECT_NE(output.find("status  = 0"), std::string::npos) << output;
    EXPECT_NE(output.find("restartNeeded = 0"), std::string::npos) << output;

    output.clear();
    EXPECT_EQ(run("--outputs=1 " + module + " install " + file + " 1 1 1", &output), 2u);
    EXPECT_NE(output.find("error   = The file"), std::string::npos) << output;

    output.clear();
    EXPECT_EQ(run(module + " install " + file + " true 1 1", &output), 2u);
    EXPECT_NE(output.find("Third input must be either 1 or 0."), std::string::npos) << output;
}
