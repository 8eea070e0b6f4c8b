// Platform family, group membership and the permission gate, against Wine's real
// version and token APIs. Under Wine every process runs as an administrator, so
// "not a member" is shown with Guests and with threads whose token cannot be read.
#include "privilege/checks.h"
#include "privilege/running_as.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace qeltest;

namespace {

constexpr unsigned long kGuestsRid = 546;

// Runs a copy of family_probe.exe under a name for which Wine reports `version`,
// and returns its exit code: family * 10 + gate result.
DWORD RunProbeAs(const std::string& version, const std::string& arguments = "")
{
    ProgramAsVersion probe("family_probe.exe", version);
    return RunProgram("\"" + probe.path + "\" " + arguments);
}

// What CreateRestrictedToken makes of a group it is told to disable: mandatory,
// owner and deny-only, no longer enabled.
constexpr DWORD kDenyOnly = SE_GROUP_MANDATORY | SE_GROUP_OWNER | SE_GROUP_USE_FOR_DENY_ONLY;

}  // namespace

TEST(WindowsFamilyTest, Win98ProgramPassesTheGateWithoutReadingAnyToken)
{
    // The probe makes its thread's token unreadable before asking the gate: it can
    // only pass if the gate never looked at a token.
    EXPECT_EQ(RunProbeAs("win98"), static_cast<DWORD>(kFamily9x * 10 + 1));
}

TEST(WindowsFamilyTest, Nt40ProgramIsTheOldNtFamilyAndIsStillChecked)
{
    EXPECT_EQ(RunProbeAs("nt40"), static_cast<DWORD>(kFamilyOldNt * 10 + 0));
    // NT 4.0 knows no deny-only groups: its administrators hold the group enabled.
    EXPECT_EQ(RunProbeAs("nt40", "as-started"), static_cast<DWORD>(kFamilyOldNt * 10 + 1));
}

TEST(GroupMembershipTest, TheWineUserIsAnAdministratorButNotAPowerUserOrGuest)
{
    EXPECT_EQ(IsBuiltinGroupMember(DOMAIN_ALIAS_RID_ADMINS), 0);
    EXPECT_EQ(IsBuiltinGroupMember(DOMAIN_ALIAS_RID_POWER_USERS), -1);
    EXPECT_EQ(IsBuiltinGroupMember(kGuestsRid), -1);
    EXPECT_EQ(RunningAsAdministrator(), 0);
    EXPECT_EQ(RunningAsPowerUser(), 0);
}

TEST(GroupMembershipTest, ExportedChecksAnswerThroughTheBuiltModule)
{
    ModuleApi api = LoadModuleApi();
    ASSERT_NE(api.module, nullptr);
    ASSERT_NE(api.runningAsAdministrator, nullptr);
    ASSERT_NE(api.runningAsPowerUser, nullptr);
    EXPECT_EQ(api.runningAsAdministrator(), 0);
    EXPECT_EQ(api.runningAsPowerUser(), 0);
    {
        UnopenableThreadToken unopenable;
        ASSERT_TRUE(unopenable.active);
        EXPECT_EQ(api.runningAsAdministrator(), -1);
        EXPECT_EQ(api.runningAsPowerUser(), -1);
    }
    FreeLibrary(api.module);
}

TEST(GroupMembershipTest, AnUnelevatedAdministratorIsNeitherAdministratorNorPowerUser)
{
    // Administrators and Power Users are in the token for denying alone, as in an
    // administrator's program that was not started elevated. Wine's user is in no
    // Power Users group, so only Administrators is there to be marked.
    DenyOnlyGroupsImpersonation unelevated({DOMAIN_ALIAS_RID_ADMINS, DOMAIN_ALIAS_RID_POWER_USERS});
    ASSERT_TRUE(unelevated.active);
    ASSERT_EQ(BuiltinGroupAttributes(unelevated.token.get(), DOMAIN_ALIAS_RID_ADMINS), kDenyOnly);
    ASSERT_EQ(BuiltinGroupAttributes(unelevated.token.get(), DOMAIN_ALIAS_RID_POWER_USERS), kGroupAbsent);

    EXPECT_EQ(IsBuiltinGroupMember(DOMAIN_ALIAS_RID_ADMINS), -1);
    EXPECT_EQ(IsBuiltinGroupMember(DOMAIN_ALIAS_RID_POWER_USERS), -1);
    // The token is read all the same: its enabled groups still count.
    EXPECT_EQ(IsBuiltinGroupMember(DOMAIN_ALIAS_RID_USERS), 0);
    EXPECT_EQ(RunningAsAdministrator(), -1);
    EXPECT_EQ(RunningAsPowerUser(), -1);

    ModuleApi api = LoadModuleApi();
    ASSERT_NE(api.module, nullptr);
    EXPECT_EQ(api.runningAsAdministrator(), -1);
    EXPECT_EQ(api.runningAsPowerUser(), -1);
    FreeLibrary(api.module);

    char message[kMessageBufferForTests] = "";
    EXPECT_EQ(CheckConfigurePermission(message), 0);
    EXPECT_STREQ(message, kPermissionDenied);
}

TEST(GroupMembershipTest, AnEnabledAdministratorsEntryCountsWhenOnlyPowerUsersIsDenyOnly)
{
    DenyOnlyGroupsImpersonation elevated({DOMAIN_ALIAS_RID_POWER_USERS});
    ASSERT_TRUE(elevated.active);
    DWORD attributes = BuiltinGroupAttributes(elevated.token.get(), DOMAIN_ALIAS_RID_ADMINS);
    ASSERT_NE(attributes, kGroupAbsent);
    ASSERT_EQ(attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY), static_cast<DWORD>(SE_GROUP_ENABLED))
        << attributes;

    EXPECT_EQ(RunningAsAdministrator(), 0);
    EXPECT_EQ(RunningAsPowerUser(), 0);
    ModuleApi api = LoadModuleApi();
    ASSERT_NE(api.module, nullptr);
    EXPECT_EQ(api.runningAsAdministrator(), 0);
    EXPECT_EQ(api.runningAsPowerUser(), 0);
    FreeLibrary(api.module);
    char message[kMessageBufferForTests] = "caller's text";
    EXPECT_EQ(CheckConfigurePermission(message), 1);
    EXPECT_STREQ(message, "caller's text");
}

TEST(GroupMembershipTest, ImpersonatingThreadIsJudgedByItsOwnTokenAndNeverByTheProcess)
{
    // The process token is an administrator's; the thread's own token cannot be
    // opened. Falling back to the process token would wrongly answer 0.
    UnopenableThreadToken unopenable;
    ASSERT_TRUE(unopenable.active);
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(IsBuiltinGroupMember(DOMAIN_ALIAS_RID_ADMINS), -1);
    EXPECT_EQ(RunningAsAdministrator(), -1);
    EXPECT_EQ(RunningAsPowerUser(), -1);
}

TEST(GroupMembershipTest, AnonymousImpersonationAnswersNoToBoth)
{
    AnonymousImpersonation anonymous;
    ASSERT_TRUE(anonymous.active);
    EXPECT_EQ(RunningAsAdministrator(), -1);
    EXPECT_EQ(RunningAsPowerUser(), -1);
}

TEST(PermissionGateTest, AdministratorPassesAndTheMessageIsUntouched)
{
    char message[kMessageBufferForTests] = "caller's text";
    EXPECT_EQ(CheckConfigurePermission(message), 1);
    EXPECT_STREQ(message, "caller's text");
}

TEST(PermissionGateTest, UnreadableTokenIsDeniedWithTheExactThreeLineMessage)
{
    char message[kMessageBufferForTests];
    memset(message, 'x', sizeof(message));
    {
        UnopenableThreadToken unopenable;
        ASSERT_TRUE(unopenable.active);
        EXPECT_EQ(CheckConfigurePermission(message), 0);
    }
    EXPECT_STREQ(message, kPermissionDenied);
    // Nothing past the message's own terminator was written.
    EXPECT_EQ(message[strlen(kPermissionDenied) + 1], 'x');

    AnonymousImpersonation anonymous;
    ASSERT_TRUE(anonymous.active);
    message[0] = '\0';
    EXPECT_EQ(CheckConfigurePermission(message), 0);
    EXPECT_STREQ(message, kPermissionDenied);
}
