#pragma once

#include "config/RendererLimits.h"
#include "core/String.h"

#include <cstdint>

namespace Varnix {

// The 3ds Max release years a node can be configured for.
constexpr std::int32_t firstHostYear = 2011;
constexpr std::int32_t lastHostYear = 2016;
constexpr std::int32_t hostYearCount = lastHostYear - firstHostYear + 1;

// One configured 3ds Max installation: its install directory, exactly as
// configured; empty when that release is not configured.
using HostInstall = String;

// What the render service knows about its machine. Filled once on the GUI
// thread while the service is built, read-only afterwards (any thread).
struct NodeSettings {
    // The working directory followed by "/drData/"; always ends in a slash.
    String dataDirectory;
    // Index year - firstHostYear; filled by loadNodeConfig.
    HostInstall hostInstalls[hostYearCount];
    // How long a renderer may take; read from the registry at start.
    RendererLimits limits;
};

}  // namespace Varnix
