// Tokens that a test's thread takes on: one that cannot be opened, an anonymous one,
// and an administrator's filtered one.
#include "support/test_support.h"

#include "common/holders.h"

#include <gtest/gtest.h>

#include <vector>

namespace qeltest {

UnopenableThreadToken::UnopenableThreadToken()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &raw)) return;
    HandleHolder process(raw);
    HANDLE rawCopy = nullptr;
    if (!DuplicateTokenEx(process.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation,
                          &rawCopy))
        return;
    HandleHolder copy(rawCopy);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ACL acl;
    InitializeAcl(&acl, sizeof(acl), ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE);
    if (SetKernelObjectSecurity(copy.get(), DACL_SECURITY_INFORMATION, &descriptor))
        active = SetThreadToken(nullptr, copy.get()) != 0;
}

UnopenableThreadToken::~UnopenableThreadToken()
{
    if (active) RevertToSelf();
}

AnonymousImpersonation::AnonymousImpersonation()
{
    active = ImpersonateSelf(SecurityAnonymous) != 0;
}

AnonymousImpersonation::~AnonymousImpersonation()
{
    if (active) RevertToSelf();
}

namespace {

PSID MakeBuiltinGroupSid(DWORD rid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, rid, 0, 0, 0, 0, 0, 0, &sid)) return nullptr;
    return sid;
}

}  // namespace

DenyOnlyGroupsImpersonation::DenyOnlyGroupsImpersonation(std::initializer_list<DWORD> rids)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &raw)) return;
    HandleHolder process(raw);
    std::vector<SidHolder> sids;
    std::vector<SID_AND_ATTRIBUTES> disable;
    for (DWORD rid : rids) {
        sids.emplace_back(MakeBuiltinGroupSid(rid));
        if (!sids.back()) return;
        disable.push_back({sids.back().get(), 0});
    }
    HANDLE rawRestricted = nullptr;
    if (!CreateRestrictedToken(process.get(), 0, static_cast<DWORD>(disable.size()), disable.data(), 0, nullptr, 0,
                               nullptr, &rawRestricted))
        return;
    HandleHolder restricted(rawRestricted);
    HANDLE rawImpersonation = nullptr;
    if (!DuplicateTokenEx(restricted.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenImpersonation,
                          &rawImpersonation))
        return;
    token.reset(rawImpersonation);
    active = SetThreadToken(nullptr, token.get()) != 0;
}

DenyOnlyGroupsImpersonation::~DenyOnlyGroupsImpersonation()
{
    if (active) RevertToSelf();
}

DWORD BuiltinGroupAttributes(HANDLE token, DWORD rid)
{
    DWORD length = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &length);
    if (length == 0) return kGroupAbsent;
    std::vector<DWORD> buffer(length / sizeof(DWORD) + 1);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), length, &length)) return kGroupAbsent;
    SidHolder group(MakeBuiltinGroupSid(rid));
    if (!group) return kGroupAbsent;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        if (EqualSid(groups->Groups[i].Sid, group.get())) return groups->Groups[i].Attributes;
    return kGroupAbsent;
}

}  // namespace qeltest
