// Platform family, group membership and the permission gate, against Wine's real
// version and token APIs. Under Wine every process runs as an administrator, so
// "not a member" is shown with Guests and with threads whose token cannot be read.
#include "common/holders.h"
#include "privilege/checks.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace qeltest;

namespace {

constexpr unsigned long kGuestsRid = 546;

// Runs a copy of family_probe.exe under a name for which Wine reports `version`,
// and returns its exit code: family * 10 + gate result.
DWORD RunProbeAs(const std::string& version)
{
    ProgramAsVersion probe("family_probe.exe", version);
    return RunProgram("\"" + probe.path + "\"");
}

// A restricted copy of the process token in which Administrators is deny-only.
HANDLE MakeDenyOnlyAdministratorsToken()
{
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process)) return nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    HANDLE restricted = nullptr;
    CreateRestrictedToken(process, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted);
    FreeSid(administrators);
    CloseHandle(process);
    HANDLE impersonation = nullptr;
    if (restricted) {
        DuplicateToken(restricted, SecurityImpersonation, &impersonation);
        CloseHandle(restricted);
    }
    return impersonation;
}

// The attributes of the Administrators entry in a token's group list; 0 when the
// token has no such entry.
DWORD AdministratorsEntryAttributes(HANDLE token)
{
    DWORD length = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &length);
    std::vector<DWORD> buffer(length / sizeof(DWORD) + 1);
    if (length == 0 || !GetTokenInformation(token, TokenGroups, buffer.data(), length, &length)) return 0;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID raw = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &raw))
        return 0;
    SidHolder administrators(raw);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        if (EqualSid(groups->Groups[i].Sid, administrators.get())) return groups->Groups[i].Attributes;
    return 0;
}

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

TEST(GroupMembershipTest, DenyOnlyAdministratorsInAnImpersonatedTokenStillCounts)
{
    HandleHolder token(MakeDenyOnlyAdministratorsToken());
    ASSERT_TRUE(token);
    // Only a token whose Administrators entry is there for denying alone shows anything.
    DWORD attributes = AdministratorsEntryAttributes(token.get());
    ASSERT_NE(attributes & SE_GROUP_USE_FOR_DENY_ONLY, 0u) << attributes;
    ASSERT_EQ(attributes & SE_GROUP_ENABLED, 0u) << attributes;
    ASSERT_TRUE(SetThreadToken(nullptr, token.get()));
    EXPECT_EQ(RunningAsAdministrator(), 0);
    EXPECT_EQ(RunningAsPowerUser(), 0);
    char message[kMessageBufferForTests] = "";
    EXPECT_EQ(CheckConfigurePermission(message), 1);
    EXPECT_STREQ(message, "");
    RevertToSelf();
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
