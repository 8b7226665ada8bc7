#include "config/HostInstallDiscovery.h"

#include "config/Registry.h"
#include "core/Str.h"

namespace {

constexpr int suffixCount = 7;

// The installers add a language key below the version key; they are probed
// in this order after the version key itself.
const Varnix::String* languageSuffixes() {
    static const Varnix::String suffixes[suffixCount] = {
        Varnix::String(),
        Varnix::String(u"/MAX-1:409"),
        Varnix::String(u"/MAX-1:40C"),
        Varnix::String(u"/MAX-1:407"),
        Varnix::String(u"/MAX-1:411"),
        Varnix::String(u"/MAX-1:412"),
        Varnix::String(u"/MAX-1:804"),
    };
    return suffixes;
}

}  // namespace

bool findHostInstall(std::int32_t year, Varnix::String& directory) {
    // 3ds Max files its keys under its internal major version.
    Varnix::String version = Varnix::Str::toString(static_cast<int>(year - 1998)) + Varnix::String(u".0");
    const Varnix::String* suffixes = languageSuffixes();
    for (int i = 0; i < suffixCount; ++i) {
        if (readRegistryString(u"SOFTWARE/Autodesk/3dsMax/" + version + suffixes[i], u"Installdir", directory))
            return true;
        if (readRegistryString(u"SOFTWARE/Autodesk/3dsMaxDesign/" + version + suffixes[i], u"Installdir", directory))
            return true;
    }
    return false;
}
