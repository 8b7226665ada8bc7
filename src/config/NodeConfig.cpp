#include "config/NodeConfig.h"

#include "config/ConfigUtf8.h"
#include "config/HostInstallDiscovery.h"
#include "core/Exception.h"
#include "core/InputTextFile.h"
#include "core/OutputTextFile.h"
#include "core/Str.h"
#include "port/textfile.h"

#include <cstdio>
#include <functional>
#include <locale>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace Varnix {

namespace {

const char16_t* const cannotReadMessage = u"Cannot read the config file, default one will be created";
const char16_t* const badLineMessage = u"Error in the config file";
const char16_t* const noVersionsMessage =
    u"Warning: no 3dsmax versions detected on the machine. You can add them by hand in the config.txt "
    u"file. Example syntax: 2013 C:/Program Files/Autodesk/3ds max 2013";

// The job appends the renderer's file name to the directory as it stands, so
// a directory typed without its last separator gets one: the kind it already
// uses, else a slash (which Windows takes as well).
String withTrailingSeparator(String directory) {
    std::int32_t length = directory.length();
    if (length == 0) return directory;
    char16_t last = directory[length - 1];
    if (last == u'\\' || last == u'/') return directory;
    char16_t separator = u'/';
    for (std::int32_t i = length - 1; i >= 0; --i) {
        if (directory[i] == u'\\' || directory[i] == u'/') {
            separator = directory[i];
            break;
        }
    }
    return directory.append(separator);
}

// Gives the next line of the file, without its line end; false after the last.
using LineSource = std::function<bool(String&)>;

// Reads the lines into settings. A line without a supported year ends the
// reading; the entries before it stay.
void readConfig(NodeSettings& settings, const LineSource& nextLine, LogTarget* window) {
    String line;
    for (int number = 1; nextLine(line); ++number) {
        line.trim();
        if (line.length() == 0 || line[0] == u'#') continue;
        int year = 0;  // stays 0 when the line does not start with a number
        std::istringstream stream(line.toNarrow());
        stream.imbue(std::locale::classic());
        stream >> year;
        if (year < firstHostYear || year > settings.newestHostYear) {
            window->log(badLineMessage);
            // Which line it was, so the admin need not guess.
            window->log("DrConfig.txt line " + Str::toString(number) + String(" is not a year from ") +
                        Str::toString(firstHostYear) + u" to " + Str::toString(settings.newestHostYear) +
                        u" followed by an install directory: " + line);
            return;
        }
        // The directory starts at the fifth character (the year's digits are
        // one byte each in every code page); whatever separates it from the
        // year goes with the trimming.
        String directory = line.substring(4, line.length());
        directory.trim();
        settings.hostInstalls[year - firstHostYear] = withTrailingSeparator(directory);
    }
}

// The whole file as bytes; empty when it cannot be read.
std::string readBytes(String path) {
    std::string bytes;
    std::FILE* file = Varnix::Port::openBytesForReading(path.wideCString());
    if (file == nullptr) return bytes;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

// Notepad's "UTF-8 with BOM" and PowerShell's UTF-16 say what they are with a
// byte-order mark; such a file is decoded accordingly into `lines`. False
// (nothing done) for a file without a mark: that is text in the system's code
// page, read line by line as always.
bool readMarkedLines(const String& path, std::vector<String>& lines) {
    std::string bytes = readBytes(path);
    String text;
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        text = decodeConfigUtf8(bytes.data() + 3, bytes.size() - 3);
    } else if (bytes.size() >= 2 && ((at(0) == 0xFF && at(1) == 0xFE) || (at(0) == 0xFE && at(1) == 0xFF))) {
        bool bigEndian = at(0) == 0xFE;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            text.append(static_cast<char16_t>(bigEndian ? at(i) << 8 | at(i + 1) : at(i + 1) << 8 | at(i)));
    } else {
        return false;
    }
    String line;
    for (std::int32_t i = 0; i < text.length(); ++i) {
        if (text[i] != u'\n') {
            line.append(text[i]);
            continue;
        }
        if (line.length() > 0 && line[line.length() - 1] == u'\r') line.erase(line.length() - 1);
        lines.push_back(line);
        line.clear();
    }
    if (line.length() > 0) lines.push_back(line);
    return true;
}

// Writes a DrConfig.txt listing every release the registry knows of, and
// takes them as the settings. False, with `error` set, when the file cannot
// be created.
bool createDefaultConfig(NodeSettings& settings, const String& path, LogTarget* window, String& error) {
    window->log(cannotReadMessage);
    std::unique_ptr<OutputTextFile> file;
    try {
        // Only where nothing is yet: never through a link planted there,
        // never over a file that appeared meanwhile.
        file = std::make_unique<OutputTextFile>();
        file->createNew(path);
    } catch (const Exception& failure) {
        error = failure.getMessage();
        return false;
    }
    int found = 0;
    for (std::int32_t year = firstHostYear; year <= settings.newestHostYear; ++year) {
        String directory;
        if (!findHostInstall(year, directory)) continue;
        // The file gets the directory exactly as the registry holds it.
        *file << static_cast<int>(year) << " " << directory << lineEnd;
        settings.hostInstalls[year - firstHostYear] = withTrailingSeparator(directory);
        ++found;
    }
    file->close();
    if (found > 0)
        window->log("Creating default DrConfig.txt: found " + Str::toString(found) + String(" 3dsmax versions"));
    else
        window->log(noVersionsMessage);
    return true;
}

}  // namespace

const char16_t* const fatalConfigCaption = u"Fatal error: Cannot create default config file.";

bool loadNodeConfig(NodeSettings& settings, const String& path, LogTarget* window, String& error) {
    std::unique_ptr<InputTextFile> file;
    for (int attempt = 1; !file; ++attempt) {
        try {
            file = std::make_unique<InputTextFile>(path);
        } catch (const Exception&) {
            // Only a missing file gets the default: one that is there but
            // cannot be read now (held by another program, read denied)
            // holds the admin's lines, which must never be overwritten.
            Port::Status readable = Port::canReadTextFile(String(path).wideCString());
            if (readable.isNotFound()) return createDefaultConfig(settings, path, window, error);
            if (readable.isOk() && attempt == 1) continue;  // let go of meanwhile: read it now
            const std::string& why = readable.text();
            window->log("Cannot read the config file (" + String(why.empty() ? "reason unknown" : why.c_str()) +
                        String("): it is left as it is and no 3dsmax versions are configured"));
            return true;
        }
    }
    std::vector<String> marked;
    if (readMarkedLines(path, marked)) {
        std::size_t next = 0;
        readConfig(
            settings,
            [&](String& line) {
                if (next == marked.size()) return false;
                line = marked[next++];
                return true;
            },
            window);
        return true;
    }
    readConfig(
        settings,
        [&](String& line) {
            if (file->atEnd()) return false;
            file->readLine(line);
            return true;
        },
        window);
    return true;
}

}  // namespace Varnix
