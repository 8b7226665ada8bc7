#include "app/StartupReport.h"

#include "core/Str.h"
#include "node/DiscoveryReplier.h"
#include "node/HostListener.h"
#include "node/RenderService.h"

using Varnix::String;

const char16_t* const stoppedMessage = u"DR server stopped";

namespace {

String port(int number) { return Varnix::Str::toString(number); }

// "Ports: " and the ports held; those that could not be bound follow, named
// as such, so that the line never claims a port another program holds.
String portsLine(const RenderService& service) {
    struct {
        bool held;
        String text;
    } ports[] = {
        {service.discoveryReplier && service.discoveryReplier->bound(),
         "UDP " + port(DiscoveryReplier::port) + String(" (discovery)")},
        {service.masterServer && service.masterServer->IsOk(),
         "TCP " + port(RenderService::masterPort) + String(" (masters)")},
        {service.hostListener && service.hostListener->listener->IsOk(),
         "TCP " + port(HostListener::port) + String(" on 127.0.0.1 only (3dsmax)")},
    };
    String held, failed;
    for (const auto& entry : ports) {
        String& list = entry.held ? held : failed;
        if (!list.isEmpty()) list += String(u", ");
        list += entry.text;
    }
    String line = u"Ports: " + (held.isEmpty() ? String(u"none") : held);
    if (!failed.isEmpty()) line += u"; cannot bind " + failed;
    return line;
}

}  // namespace

void logStartupReport(Varnix::NodeWindow* window, const RenderService& service) {
    const NodeSettings& settings = service.settings;
    window->log(String(u"Varnix DR node version " VARNIX_VERSION_TEXT));
    window->log(u"Data folder: " + settings.dataDirectory);
    window->log(portsLine(service));
    String releases;
    for (int year = firstHostYear; year <= lastHostYear; ++year) {
        const String& directory = settings.hostInstalls[year - firstHostYear];
        if (directory.isEmpty()) continue;
        if (!releases.isEmpty()) releases += String(u"; ");
        releases += Varnix::Str::toString(year) + String(u" in ") + directory;
    }
    // Without any, every job is refused: say so where the admin looks first.
    if (releases.isEmpty()) releases = String(u"none (every job will be refused; see DrConfig.txt)");
    window->log(u"3dsmax releases configured: " + releases);
}
