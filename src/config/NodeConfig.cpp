#include "config/NodeConfig.h"

#include "config/HostInstallDiscovery.h"
#include "core/Exception.h"
#include "core/InputTextFile.h"
#include "core/OutputTextFile.h"
#include "core/Str.h"

#include <wx/msgdlg.h>
#include <wx/string.h>

#include <locale>
#include <memory>
#include <sstream>

namespace {

const char16_t* const cannotReadMessage = u"Cannot read the config file, default one will be created";
const char16_t* const badLineMessage = u"Error in the config file";
const char16_t* const noVersionsMessage =
    u"Warning: no 3dsmax versions detected on the machine. You can add them by hand in the config.txt "
    u"file. Example syntax: 2013 C:/Program Files/Autodesk/3ds max 2013";
const char* const fatalCaption = "Fatal error: Cannot create default config file.";

void log(Varnix::NodeWindow* window, Varnix::String text)
{
    window->log(text.wideCString());
}

wxString toWxString(Varnix::String text)
{
    const char16_t* units = text.wideCString();
    return wxString(reinterpret_cast<const char*>(units), wxMBConvUTF16LE(),
                    static_cast<std::size_t>(text.length()) * 2);
}

// Reads the lines of an open DrConfig.txt into settings. A line without a
// supported year ends the reading; the entries before it stay.
void readConfig(NodeSettings& settings, Varnix::InputTextFile& file, Varnix::NodeWindow* window)
{
    Varnix::String line;
    while (!file.atEnd()) {
        file.readLine(line);
        line.trim();
        if (line.length() == 0 || line[0] == u'#')
            continue;
        const char* narrow = line.toNarrow();
        std::int32_t narrowLength = line.narrowLength() - 1;
        int year = 0;  // stays 0 when the line does not start with a number
        std::istringstream stream(narrow);
        stream.imbue(std::locale::classic());
        stream >> year;
        if (year < firstHostYear || year > lastHostYear) {
            log(window, badLineMessage);
            return;
        }
        // The directory starts at the fifth character; whatever separates it
        // from the year goes with the trimming.
        Varnix::String directory =
            narrowLength > 4 ? Varnix::String::fromNarrow(narrow + 4, narrowLength - 4) : Varnix::String();
        directory.trim();
        settings.hostInstalls[year - firstHostYear] = directory;
    }
}

// Writes a DrConfig.txt listing every release the registry knows of, and
// takes them as the settings.
void createDefaultConfig(NodeSettings& settings, const Varnix::String& path, Varnix::NodeWindow* window)
{
    log(window, cannotReadMessage);
    std::unique_ptr<Varnix::OutputTextFile> file;
    try {
        file = std::make_unique<Varnix::OutputTextFile>(path);
    } catch (const Varnix::Exception& error) {
        wxMessageBox(toWxString(error.getMessage()), fatalCaption, wxOK | wxCENTRE);
        window->forceClose();
        return;
    }
    int found = 0;
    for (std::int32_t year = firstHostYear; year <= lastHostYear; ++year) {
        Varnix::String directory;
        if (!findHostInstall(year, directory))
            continue;
        *file << static_cast<int>(year) << " " << directory << Varnix::lineEnd;
        settings.hostInstalls[year - firstHostYear] = directory;
        ++found;
    }
    file->close();
    if (found > 0)
        log(window, "Creating default DrConfig.txt: found " + Varnix::Str::toString(found)
                        + Varnix::String(" 3dsmax versions"));
    else
        log(window, noVersionsMessage);
}

}  // namespace

void loadNodeConfig(NodeSettings& settings, const Varnix::String& path, Varnix::NodeWindow* window)
{
    std::unique_ptr<Varnix::InputTextFile> file;
    try {
        file = std::make_unique<Varnix::InputTextFile>(path);
    } catch (const Varnix::Exception&) {
        createDefaultConfig(settings, path, window);
        return;
    }
    readConfig(settings, *file, window);
}
