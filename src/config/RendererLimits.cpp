#include "config/RendererLimits.h"

#include "config/Registry.h"

namespace Varnix {

RendererLimits readRendererLimits() {
    RendererLimits limits;
    readRegistryDword(u"SOFTWARE/Varnix", u"rendererConnectSeconds", limits.connectSeconds);
    readRegistryDword(u"SOFTWARE/Varnix", u"rendererExitSeconds", limits.exitSeconds);
    readRegistryDword(u"SOFTWARE/Varnix", u"renderSeconds", limits.renderSeconds);
    readRegistryDword(u"SOFTWARE/Varnix", u"rendererIdleSeconds", limits.idleSeconds);
    readRegistryDword(u"SOFTWARE/Varnix", u"rendererMemoryMB", limits.memoryMB);
    return limits;
}

std::vector<std::pair<const char*, std::uint32_t>> namedLimits(const RendererLimits& limits) {
    return {{"rendererConnectSeconds", limits.connectSeconds},
            {"rendererExitSeconds", limits.exitSeconds},
            {"renderSeconds", limits.renderSeconds}};
}

}  // namespace Varnix
