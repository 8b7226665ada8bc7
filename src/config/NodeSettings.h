#pragma once

#include "config/RendererLimits.h"
#include "core/String.h"

#include <cstdint>

namespace Varnix {

// The 3ds Max release years a node can be configured for: 2011 to
// lastHostYear, and up to highestHostYear once the admin raises the newest
// one (newestMaxRelease, see NewestRelease.h).
constexpr std::int32_t firstHostYear = 2011;
constexpr std::int32_t lastHostYear = 2016;
constexpr std::int32_t highestHostYear = 2030;
constexpr std::int32_t hostYearCount = highestHostYear - firstHostYear + 1;

// One configured 3ds Max installation: its install directory, exactly as
// configured; empty when that release is not configured.
using HostInstall = String;

// What the render service knows about its machine. Filled once on the GUI
// thread while the service is built, read-only afterwards (any thread).
struct NodeSettings {
    // The working directory followed by "/drData/"; always ends in a slash.
    String dataDirectory;
    // The newest release the node takes, in DrConfig.txt, the default scan
    // and jobs: lastHostYear unless the admin raised it.
    std::int32_t newestHostYear = lastHostYear;
    // Index year - firstHostYear; filled by loadNodeConfig. Entries past
    // newestHostYear stay empty.
    HostInstall hostInstalls[hostYearCount];
    // How long a renderer may take; read from the registry at start.
    RendererLimits limits;
};

}  // namespace Varnix
