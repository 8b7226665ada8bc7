#include "config/RendererLimits.h"

#include "config/Registry.h"

#include <string>

namespace Varnix {

RendererLimits readRendererLimits() {
    RendererLimits limits;
    for (const NamedRendererLimit& limit : namedRendererLimits) {
        // The names are ASCII.
        std::u16string name(limit.name, limit.name + std::char_traits<char>::length(limit.name));
        readRegistryDword(u"SOFTWARE/Varnix", name.c_str(), limits.*limit.value);
    }
    return limits;
}

std::vector<std::pair<const char*, std::uint32_t>> namedLimits(const RendererLimits& limits) {
    std::vector<std::pair<const char*, std::uint32_t>> named;
    for (const NamedRendererLimit& limit : namedRendererLimits) named.emplace_back(limit.name, limits.*limit.value);
    return named;
}

}  // namespace Varnix
