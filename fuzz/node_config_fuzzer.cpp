// DrConfig.txt as the node reads it at start: any bytes on disk must give a
// settings record (possibly partial) and a log line, never a crash.

#include "FuzzSupport.h"

#include "config/NodeConfig.h"
#include "config/NodeSettings.h"
#include "core/String.h"

using Varnix::HostInstall;
using Varnix::NodeSettings;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = FuzzSupport::scratchDirectory() + "/DrConfig.txt";
    FuzzSupport::writeFile(path, data, size);

    NodeSettings settings;
    FuzzSupport::NullWindow window;
    Varnix::String error;
    (void)loadNodeConfig(settings, Varnix::String(path.c_str()), &window, error);

    // Every configured directory must be whole text that can be used again,
    // as the render job will when it builds the command line.
    for (const HostInstall& install : settings.hostInstalls) {
        Varnix::String copy = install + Varnix::String(u"/3dsmaxcmd.exe");
        if (copy.length() != install.length() + 14) std::abort();
        (void)copy.toNarrow();
    }
    return 0;
}
