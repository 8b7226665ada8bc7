#include "node/JobParameters.h"

#include "core/Str.h"
#include "port/shellquote.h"

#include <sstream>

namespace Varnix {

JobParameters parseJobParameters(const String& parameters) {
    JobParameters result;
    String text = parameters;
    std::istringstream in(text.toNarrow());
    // A failed extraction may store 0 or a clamped value; either way the
    // field counts as unread.
    if (!(in >> result.requestedVersion))
        result.requestedVersion = 0;
    else if (!(in >> result.frame))
        result.frame = 0;
    return result;
}

int chooseHostVersion(const NodeSettings& settings, int requested) {
    if (requested < firstHostYear) return 0;
    for (int v = requested; v <= settings.newestHostYear; ++v)
        if (!settings.hostInstalls[v - firstHostYear].isEmpty()) return v;
    return 0;
}

namespace {

// A piece taken from the file system, as plain text for the interpreter;
// `follower` is the character after it in the command line.
String quoted(const String& piece, char16_t follower) {
    String copy(piece);
    return String(Port::quoteForCommandLine(copy.wideCString(), follower).c_str());
}

}  // namespace

String buildRenderCommand(const String& installDirectory, const String& scenePath, const String& dataDirectory,
                          int frame) {
    String frameText = Str::toString(frame);
    String command = u"echo Starting 3dsmax DR... && \"";
    command += quoted(installDirectory, u'3');
    command += u"3dsmaxcmd.exe\" \"";
    command += quoted(scenePath, u'"');
    command += u"\" -o:\"";
    command += quoted(dataDirectory, u'/');
    command += u"/dr_out.png\" -start:";
    command += frameText;
    command += u" -end:";
    command += frameText;
    command += u" -continueOnError -gammaCorrection:1 -rfw:1 -sf ";
    command += u" >> \"";
    command += quoted(dataDirectory, u'/');
    command += u"/MaxLog.txt\"";
    return command;
}

std::u16string firstExpandedReference(const std::u16string& text,
                                      const std::function<bool(const std::u16string&)>& expands) {
    for (std::size_t open = text.find(u'%'); open != std::u16string::npos;) {
        std::size_t close = text.find(u'%', open + 1);
        if (close == std::u16string::npos) break;
        std::u16string name = text.substr(open + 1, close - open - 1);
        std::u16string base = name.substr(0, name.find(u':'));
        if (!base.empty() && expands(base)) return text.substr(open, close - open + 1);
        open = close;
    }
    return {};
}

}  // namespace Varnix
