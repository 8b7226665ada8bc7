#include "app/StartupReport.h"

#include "core/Str.h"
#include "node/DiscoveryReplier.h"
#include "node/HostListener.h"
#include "node/RenderService.h"

using Varnix::String;

const char16_t* const stoppedMessage = u"DR server stopped";

namespace {

void log(Varnix::NodeWindow* window, String text) {
    window->log(text.wideCString());
}

String port(int number) {
    return Varnix::Str::toString(number);
}

}  // namespace

void logStartupReport(Varnix::NodeWindow* window, const NodeSettings& settings) {
    log(window, String(u"Varnix DR node version " VARNIX_VERSION_TEXT));
    log(window, u"Data folder: " + settings.dataDirectory);
    log(window, "Ports: UDP " + port(DiscoveryReplier::port) + String(" (discovery), TCP ")
                    + port(RenderService::masterPort) + String(" (masters), TCP ") + port(HostListener::port)
                    + String(" on 127.0.0.1 only (3dsmax)"));
    String releases;
    for (int year = firstHostYear; year <= lastHostYear; ++year) {
        const String& directory = settings.hostInstalls[year - firstHostYear];
        if (directory.isEmpty()) continue;
        if (!releases.isEmpty()) releases += String(u"; ");
        releases += Varnix::Str::toString(year) + String(u" in ") + directory;
    }
    // Without any, every job is refused: say so where the admin looks first.
    if (releases.isEmpty()) releases = String(u"none (every job will be refused; see DrConfig.txt)");
    log(window, u"3dsmax releases configured: " + releases);
}
