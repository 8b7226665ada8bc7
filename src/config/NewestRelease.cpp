#include "config/NewestRelease.h"

#include "config/HostInstallDiscovery.h"
#include "config/NodeSettings.h"
#include "config/Registry.h"
#include "core/Str.h"

namespace Varnix {

std::int32_t readNewestHostYear(String& note) {
    std::uint32_t value = 0;
    readRegistryDword(u"SOFTWARE/Varnix", u"newestMaxRelease", value);
    if (value <= std::uint32_t(lastHostYear)) return lastHostYear;
    if (value <= std::uint32_t(highestHostYear)) return std::int32_t(value);
    note = u"newestMaxRelease is " + Str::toString((long long)value) + u", past " + Str::toString(highestHostYear) +
           u", the newest 3dsmax release this node knows: it takes releases up to " + Str::toString(highestHostYear);
    return highestHostYear;
}

std::vector<std::int32_t> releasesPast(std::int32_t newestYear) {
    std::vector<std::int32_t> years;
    for (std::int32_t year = newestYear + 1; year <= highestHostYear; ++year) {
        String directory;
        if (findHostInstall(year, directory)) years.push_back(year);
    }
    return years;
}

String releasesPastNote(const std::vector<std::int32_t>& years) {
    String list;
    for (std::int32_t year : years) list += (list.isEmpty() ? String() : String(u", ")) + Str::toString(year);
    return u"The registry also holds 3dsmax " + list + u", which this node does not take: it takes releases up to " +
           Str::toString(lastHostYear) +
           u". To render with them, set the REG_DWORD newestMaxRelease under HKLM\\SOFTWARE\\Varnix to the newest "
           u"release year (the installer's /NEWESTMAX= does) and start the node again";
}

}  // namespace Varnix
