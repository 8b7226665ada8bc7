#include "port/account.h"

#include <windows.h>

#include <vector>

namespace Varnix::Port {

namespace {

// One kind of information about the process's token (its groups, its
// user); empty when it cannot be read.
std::vector<unsigned char> tokenInformation(TOKEN_INFORMATION_CLASS kind) {
    std::vector<unsigned char> buffer;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return buffer;
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    if (size != 0) {
        buffer.resize(size);
        if (!GetTokenInformation(token, kind, buffer.data(), size, &size)) buffer.clear();
    }
    CloseHandle(token);
    return buffer;
}

}  // namespace

bool runsAsAdministrator() {
    std::vector<unsigned char> buffer = tokenInformation(TokenGroups);
    if (buffer.empty()) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators))
        return false;
    // CheckTokenMembership ignores a deny-only group, which is how a filtered
    // token holds it: the group list itself tells membership either way.
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    bool member = false;
    for (DWORD i = 0; i < groups->GroupCount && !member; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if (EqualSid(group.Sid, administrators) &&
            (group.Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)) != 0)
            member = true;
    }
    FreeSid(administrators);
    return member;
}

std::u16string accountName() {
    std::vector<unsigned char> buffer = tokenInformation(TokenUser);
    if (buffer.empty()) return {};
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, name, &nameSize,
                           domain, &domainSize, &use))
        return {};
    std::u16string result(reinterpret_cast<const char16_t*>(domain), domainSize);
    if (!result.empty()) result += u'\\';
    result.append(reinterpret_cast<const char16_t*>(name), nameSize);
    return result;
}

}  // namespace Varnix::Port
