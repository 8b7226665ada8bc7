#include "app/StartupReport.h"

#include "core/Str.h"
#include "node/DiscoveryReplier.h"
#include "node/HostListener.h"
#include "node/RenderService.h"

using Varnix::String;

const char16_t* const stoppedMessage = u"DR server stopped";

namespace {

String port(int number) { return Varnix::Str::toString(number); }

}  // namespace

void logStartupReport(Varnix::NodeWindow* window, const NodeSettings& settings) {
    window->log(String(u"Varnix DR node version " VARNIX_VERSION_TEXT));
    window->log(u"Data folder: " + settings.dataDirectory);
    window->log("Ports: UDP " + port(DiscoveryReplier::port) + String(" (discovery), TCP ") +
                port(RenderService::masterPort) + String(" (masters), TCP ") + port(HostListener::port) +
                String(" on 127.0.0.1 only (3dsmax)"));
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
