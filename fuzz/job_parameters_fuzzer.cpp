// The job parameters a master sends: widened byte by byte as the string frame
// is read, parsed, mapped to a configured 3ds Max version, and turned into
// the renderer's command line. The text must never reach the command line
// except as the two numbers it parses to.

#include "FuzzSupport.h"

#include "config/NodeSettings.h"
#include "core/Str.h"
#include "core/String.h"
#include "node/JobParameters.h"

#include <string>

using Varnix::buildRenderCommand;
using Varnix::chooseHostVersion;
using Varnix::firstHostYear;
using Varnix::JobParameters;
using Varnix::lastHostYear;
using Varnix::NodeSettings;
using Varnix::parseJobParameters;

namespace {

const NodeSettings& settings() {
    static const NodeSettings configured = [] {
        NodeSettings s;
        s.hostInstalls[2012 - firstHostYear] = Varnix::String(u"/opt/max 2012/");
        s.hostInstalls[2014 - firstHostYear] = Varnix::String(u"/opt/max 2014/");
        s.hostInstalls[2016 - firstHostYear] = Varnix::String(u"/opt/max 2016/");
        return s;
    }();
    return configured;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // As the string frame arrives: up to the NUL, each byte widened alone.
    Varnix::String text;
    for (std::size_t i = 0; i < size && data[i] != 0; ++i) {
        char byte = static_cast<char>(data[i]);
        if (data[i] < 0x80)
            text.append(static_cast<char16_t>(byte));
        else
            text.append(Varnix::String::fromNarrow(&byte, 1));
    }

    JobParameters parameters = parseJobParameters(text);

    int version = chooseHostVersion(settings(), parameters.requestedVersion);
    if (version != 0) {
        if (version < parameters.requestedVersion || version < firstHostYear || version > lastHostYear ||
            settings().hostInstalls[version - firstHostYear].isEmpty())
            std::abort();
    } else if (parameters.requestedVersion >= firstHostYear && parameters.requestedVersion <= 2016) {
        std::abort();  // 2016 is configured, so every version up to it has one
    }

    Varnix::String dataDirectory(u"/srv/node/drData/");
    Varnix::String install = version ? settings().hostInstalls[version - firstHostYear] : Varnix::String(u"/x/");
    Varnix::String command = buildRenderCommand(install, dataDirectory + Varnix::String(u"/received_scene.max"),
                                                dataDirectory, parameters.frame);
    Varnix::String frameText = Varnix::Str::toString(parameters.frame);
    Varnix::String expected = u"echo Starting 3dsmax DR... && \"" + install +
                              Varnix::String(u"3dsmaxcmd.exe\" \"/srv/node/drData//received_scene.max\" -o:\"") +
                              dataDirectory + Varnix::String(u"/dr_out.png\" -start:") + frameText +
                              Varnix::String(u" -end:") + frameText +
                              Varnix::String(u" -continueOnError -gammaCorrection:1 -rfw:1 -sf  >> \"") +
                              dataDirectory + Varnix::String(u"/MaxLog.txt\"");
    if (!(command == expected)) std::abort();
    return 0;
}
