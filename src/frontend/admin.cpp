// The administrator check: is S-1-5-32-544 among the token's groups?
#include "frontend/frontend.h"

namespace {

bool ListsAdministrators(const TOKEN_GROUPS* groups) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators))
        return false;
    // Whether the group is enabled does not matter: being listed is enough.
    const SID_AND_ATTRIBUTES* entries = groups->Groups;
    bool found = false;
    for (DWORD i = 0; i < groups->GroupCount && !found; ++i) found = EqualSid(entries[i].Sid, administrators) != FALSE;
    FreeSid(administrators);
    return found;
}

bool TokenListsAdministrators(HANDLE token) {
    DWORD size = 0;
    if (GetTokenInformation(token, TokenGroups, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    auto* groups = static_cast<TOKEN_GROUPS*>(LocalAlloc(LMEM_FIXED, size));
    if (!groups) return false;
    bool found = GetTokenInformation(token, TokenGroups, groups, size, &size) && ListsAdministrators(groups);
    LocalFree(groups);
    return found;
}

}  // namespace

bool IsAdministrator() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN) return false;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    }
    bool administrator = TokenListsAdministrators(token);
    CloseHandle(token);
    return administrator;
}
