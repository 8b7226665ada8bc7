#include "port/account.h"

#include <pwd.h>
#include <unistd.h>

namespace Varnix::Port {

// No logon task starts the node here: nobody's logon is left alone.
bool runsAsAdministrator() { return false; }

std::u16string accountName() {
    const passwd* entry = getpwuid(getuid());
    std::u16string name;
    if (entry != nullptr)
        for (const char* c = entry->pw_name; *c != '\0'; ++c) name += char16_t(static_cast<unsigned char>(*c));
    return name;
}

}  // namespace Varnix::Port
