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

}  // namespace Varnix
