#include "CheckConfig.h"

#include "MasterExit.h"
#include "config/NewestRelease.h"
#include "config/NodeConfig.h"
#include "core/LogTarget.h"
#include "port/textfile.h"
#include "port/utf8.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace Varnix::Peer {

namespace {

// Keeps what the reader would have written to the node's log: for a file
// that exists, every line it logs is a fault.
class Collector : public LogTarget {
public:
    std::vector<std::string> lines;
    void log(const char16_t* text) override { lines.push_back(String(text).toNarrow()); }
    void showMessageBox(const String& text, const String&) override { lines.push_back(String(text).toNarrow()); }
};

void say(std::string& report, const char* path, const std::string& text) {
    report += std::string(path) + ": " + text + "\n";
}

}  // namespace

int checkConfig(const char* path, int newestYear, std::string& report) {
    auto refuse = [&](const std::string& why) {
        say(report, path, why);
        return masterBadConfig;
    };
    // UTF-8, as drmaster takes every path (a byte that is none stays itself).
    const int bytes = static_cast<int>(std::strlen(path));
    const auto bad = Port::Utf8::BadInput::escape;
    std::u16string wide(static_cast<std::size_t>(Port::Utf8::decode(path, bytes, nullptr, 0, bad)), u'\0');
    Port::Utf8::decode(path, bytes, wide.data(), static_cast<int>(wide.size()), bad);
    String file(wide.c_str());
    // The reader writes a default file where there is none: that is for a
    // node's own data folder, never for a file being checked.
    Port::Status readable = Port::canReadTextFile(file.wideCString());
    if (readable.isNotFound()) return refuse("no such file");
    if (!readable.isOk()) return refuse("cannot be read (" + readable.text() + ")");
    NodeSettings settings;
    String newestNote;
    settings.newestHostYear = newestYear == 0             ? readNewestHostYear(newestNote)
                              : newestYear < lastHostYear ? lastHostYear
                                                          : std::min(newestYear, highestHostYear);
    Collector collector;
    String error;
    if (!loadNodeConfig(settings, file, &collector, error)) return refuse(String(error).toNarrow());
    if (!collector.lines.empty()) {
        for (const std::string& line : collector.lines) say(report, path, line);
        return refuse("a node would not take every line of it");
    }
    int releases = 0;
    for (std::int32_t year = firstHostYear; year <= settings.newestHostYear; ++year) {
        String& directory = settings.hostInstalls[year - firstHostYear];
        if (directory.length() == 0) continue;
        say(report, path, "3ds Max " + std::to_string(year) + " in " + directory.toNarrow());
        ++releases;
    }
    if (releases == 0) return refuse("names no 3ds Max release: a node would refuse every job");
    return masterOk;
}

}  // namespace Varnix::Peer
