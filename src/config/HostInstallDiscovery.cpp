#include "config/HostInstallDiscovery.h"

#include "config/Registry.h"
#include "core/Str.h"

namespace Varnix {

namespace {

constexpr int suffixCount = 7;

// The installers add a language key below the version key; they are probed
// in this order after the version key itself.
const String* languageSuffixes() {
    static const String suffixes[suffixCount] = {
        String(),
        String(u"/MAX-1:409"),
        String(u"/MAX-1:40C"),
        String(u"/MAX-1:407"),
        String(u"/MAX-1:411"),
        String(u"/MAX-1:412"),
        String(u"/MAX-1:804"),
    };
    return suffixes;
}

}  // namespace

bool findHostInstall(std::int32_t year, String& directory) {
    // 3ds Max files its keys under its internal major version.
    String version = Str::toString(static_cast<int>(year - 1998)) + String(u".0");
    const String* suffixes = languageSuffixes();
    for (int i = 0; i < suffixCount; ++i) {
        if (readRegistryString(u"SOFTWARE/Autodesk/3dsMax/" + version + suffixes[i], u"Installdir", directory))
            return true;
        if (readRegistryString(u"SOFTWARE/Autodesk/3dsMaxDesign/" + version + suffixes[i], u"Installdir", directory))
            return true;
    }
    return false;
}

}  // namespace Varnix
