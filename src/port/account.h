#pragma once
// Who the process runs as: the logon task's node leaves an administrator's
// logon alone unless the admin named that account at install.

#include <string>

namespace Varnix::Port {

// True when the process's user belongs to the local Administrators group:
// enabled in its token (elevated, or UAC off) or for denial only (UAC's
// filtered token of an administrator's ordinary logon, where a membership
// check says no). Windows only; false elsewhere, and when the token cannot
// be read. Any thread.
bool runsAsAdministrator();

// The process's account as DOMAIN\name (UTF-16); empty when it cannot be
// told. Any thread.
std::u16string accountName();

}  // namespace Varnix::Port
