#pragma once
// How long the node lets a renderer take, and what it may use, as the admin
// set it: REG_DWORD values under HKLM\SOFTWARE\Varnix (beside
// developmentVer). A missing value, or 0, means no limit: the node waits as
// long as the renderer lives.

#include <cstdint>
#include <utility>
#include <vector>

namespace Varnix {

struct RendererLimits {
    // From the renderer's start until 3ds Max connects back ("rendererConnectSeconds").
    std::uint32_t connectSeconds = 0;
    // From the end of the job (END forwarded, the master gone, or 3ds Max
    // closed its link) until the renderer has exited ("rendererExitSeconds").
    std::uint32_t exitSeconds = 0;
    // From the renderer's start until the job is over ("renderSeconds").
    std::uint32_t renderSeconds = 0;
    // How long the whole tree may go with almost no CPU (under
    // idleCpuPercent of one core) and no dump, from its start until the job
    // is over ("rendererIdleSeconds").
    std::uint32_t idleSeconds = 0;
    // The memory the whole tree may hold, in MiB ("rendererMemoryMB").
    std::uint32_t memoryMB = 0;
    // How long a dialog box of the renderer's tree may wait for a click
    // before the tree is ended ("rendererDialogSeconds").
    std::uint32_t dialogSeconds = 0;
    // Megabytes the data folder's disk keeps free beyond a scene
    // ("dataDiskMarginMB"): a scene that would leave less is refused. 0:
    // only a scene that does not fit at all is refused.
    std::uint32_t dataDiskMarginMB = 0;
};

// Every limit with its value's name, in the order the admin's documents
// list them: for whoever shows them all (the status answer's "limits").
struct NamedRendererLimit {
    const char* name;
    std::uint32_t RendererLimits::*value;
};
constexpr NamedRendererLimit namedRendererLimits[] = {
    {"rendererConnectSeconds", &RendererLimits::connectSeconds},
    {"rendererExitSeconds", &RendererLimits::exitSeconds},
    {"renderSeconds", &RendererLimits::renderSeconds},
    {"rendererIdleSeconds", &RendererLimits::idleSeconds},
    {"rendererMemoryMB", &RendererLimits::memoryMB},
    {"rendererDialogSeconds", &RendererLimits::dialogSeconds},
    {"dataDiskMarginMB", &RendererLimits::dataDiskMarginMB},
};

// Below this share of one core a renderer counts as doing nothing.
constexpr double idleCpuPercent = 2.0;

// Reads the values from the registry. Never fails: what cannot be read
// is no limit. Any thread.
RendererLimits readRendererLimits();

// Every limit by its registry value's name, in the order above; 0: unset.
// A new limit is added here too, so that whoever lists them (the status
// answer) lists it.
std::vector<std::pair<const char*, std::uint32_t>> namedLimits(const RendererLimits& limits);

}  // namespace Varnix
