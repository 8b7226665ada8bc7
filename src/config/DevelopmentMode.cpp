#include "config/DevelopmentMode.h"

#include "config/Registry.h"

namespace Varnix {

bool isDevelopmentMode() {
    // A function-local static is initialised exactly once, even when two
    // threads ask at the same time.
    static const bool on = [] {
        std::uint32_t value = 0;
        readRegistryDword(u"SOFTWARE/Varnix", u"developmentVer", value);
        return value == developmentMagicNumber;
    }();
    return on;
}

bool developmentFreeDiskMegabytes(std::uint32_t& megabytes) {
    static const std::int64_t figure = [] {
        std::uint32_t value = 0;
        if (!isDevelopmentMode() || !readRegistryDword(u"SOFTWARE/Varnix", u"developmentFreeDiskMB", value))
            return std::int64_t(-1);
        return std::int64_t(value);
    }();
    if (figure < 0) return false;
    megabytes = std::uint32_t(figure);
    return true;
}

}  // namespace Varnix
