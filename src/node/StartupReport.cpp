#include "node/StartupReport.h"

#include "core/Str.h"
#include "node/DataFolder.h"
#include "node/RenderService.h"

using Varnix::firstHostYear;
using Varnix::lastHostYear;
using Varnix::NodeSettings;
using Varnix::RendererLimits;
using Varnix::RenderService;
using Varnix::String;

const char16_t* const stoppedMessage = u"DR server stopped";

namespace {

String port(int number) { return Varnix::Str::toString(number); }

// "Ports: " and the ports held; those that could not be bound follow, named
// as such, so that the line never claims a port another program holds. A
// start that stopped before binding names none.
String portsLine(const RenderService& service) {
    RenderService::HeldPorts held = service.heldPorts();
    // In the order the admin knows them from earlier versions' line.
    struct {
        std::uint16_t held, asked;
        const char* kind;
        const char* use;
    } ports[] = {
        {held.discovery, service.setup.discoveryPort, "UDP ", " (discovery)"},
        {held.master, service.setup.masterPort, "TCP ", " (masters)"},
        {held.host, service.setup.hostPort, "TCP ", " on 127.0.0.1 only (3dsmax)"},
    };
    String heldList, failed;
    for (const auto& entry : ports) {
        if (entry.held == 0 && service.startFailed) continue;
        String& list = entry.held != 0 ? heldList : failed;
        if (!list.isEmpty()) list += String(u", ");
        list += entry.kind + port(entry.held != 0 ? entry.held : entry.asked) + String(entry.use);
    }
    String line = u"Ports: " + (heldList.isEmpty() ? String(u"none") : heldList);
    if (!failed.isEmpty()) line += u"; cannot bind " + failed;
    return line;
}

String limitText(std::uint32_t seconds) {
    return seconds == 0 ? String(u"none") : Varnix::Str::toString(int(seconds)) + String(u" s");
}

// The admin's limits, named as they are set (HKLM\SOFTWARE\Varnix); "none"
// is the node's own behaviour: it waits as long as the renderer lives.
String limitsText(const RendererLimits& limits) {
    return u"connect " + limitText(limits.connectSeconds) + u", exit after the job " + limitText(limits.exitSeconds) +
           u", render " + limitText(limits.renderSeconds) + u", dialog box " + limitText(limits.dialogSeconds);
}

// What the data folder's disk has free now, and what a scene must leave.
String diskText(const NodeSettings& settings) {
    std::int64_t free = dataDiskFreeBytes(settings.dataDirectory);
    String text = free < 0 ? String(u"free space unknown")
                           : Varnix::Str::getFormatted(std::uint64_t(free >> 20)) + String(u" MB free");
    std::uint32_t margin = settings.limits.dataDiskMarginMB;
    if (margin == 0) return text + u"; a scene that does not fit is refused";
    return text + u"; a scene that would leave less than " + Varnix::Str::getFormatted(margin) + u" MB free is refused";
}

// The limits on what the renderer does rather than how long it takes.
String watchText(const RendererLimits& limits) {
    String idle = limits.idleSeconds == 0 ? String(u"none")
                                          : limitText(limits.idleSeconds) + u" under " +
                                                Varnix::Str::toString(int(Varnix::idleCpuPercent)) + u" % CPU";
    String memory = limits.memoryMB == 0 ? String(u"none") : Varnix::Str::toString(int(limits.memoryMB)) + u" MB";
    return u"idle " + idle + u", memory " + memory;
}

}  // namespace

void logStartupReport(Varnix::LogTarget* window, const RenderService& service) {
    const NodeSettings& settings = service.settings;
    window->log(String(u"Varnix DR node version " VARNIX_VERSION_TEXT));
    window->log(u"Mode: " + service.setup.mode);
    window->log(u"Data folder: " + settings.dataDirectory);
    window->log(portsLine(service));
    String releases;
    for (int year = firstHostYear; year <= settings.newestHostYear; ++year) {
        const String& directory = settings.hostInstalls[year - firstHostYear];
        if (directory.isEmpty()) continue;
        if (!releases.isEmpty()) releases += String(u"; ");
        releases += Varnix::Str::toString(year) + String(u" in ") + directory;
    }
    // Without any, every job is refused: say so where the admin looks first.
    if (releases.isEmpty()) releases = String(u"none (every job will be refused; see DrConfig.txt)");
    window->log(u"3dsmax releases configured: " + releases);
    if (settings.newestHostYear != lastHostYear)
        window->log(u"3dsmax releases taken: " + Varnix::Str::toString(firstHostYear) + u" to " +
                    Varnix::Str::toString(settings.newestHostYear) + u" (newestMaxRelease)");
    window->log(u"3dsmax time limits: " + limitsText(settings.limits));
    window->log(u"3dsmax idle and memory limits: " + watchText(settings.limits));
    window->log(u"Data disk: " + diskText(settings));
}
