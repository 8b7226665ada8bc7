#pragma once

#include "ConfigTestSupport.h"

#include "config/NodeConfig.h"

#include <array>

namespace ConfigTest {

// Loads DrConfig.txt from the test's directory into fresh settings.
template <typename Base>
class NodeConfigTestOn : public Base {
protected:
    // The six entries, 2011 first, as UTF-8.
    std::array<std::string, 6> load() {
        Varnix::NodeSettings settings;
        settings.newestHostYear = newest;
        loaded = loadNodeConfig(settings, Varnix::String(configPath().c_str()), &window, fatalError);
        std::array<std::string, 6> entries;
        for (int i = 0; i < 6; ++i) entries[i] = utf8(settings.hostInstalls[i]);
        return entries;
    }

    std::string configPath() const { return this->pathOf("DrConfig.txt"); }
    void writeConfig(const std::string& bytes) const { this->writeBytes("DrConfig.txt", bytes); }
    std::string readConfig() const { return this->readBytes("DrConfig.txt"); }

    RecordingWindow window;
    // The newest release the node takes (newestMaxRelease).
    std::int32_t newest = Varnix::lastHostYear;
    // What the last load() returned: false for the fatal error in fatalError.
    bool loaded = false;
    Varnix::String fatalError;
};

using NodeConfigTest = NodeConfigTestOn<VarnixTest::TempDirectoryTest>;

inline const std::string cannotReadLine = "Cannot read the config file, default one will be created";
inline const std::string badLine = "Error in the config file";
// The line after badLine: which line of the file it was, and its text.
inline std::string badLineDetail(int number, const std::string& text) {
    return "DrConfig.txt line " + std::to_string(number) +
           " is not a year from 2011 to 2016 followed by an install directory: " + text;
}
inline const std::string noVersionsLine =
    "Warning: no 3dsmax versions detected on the machine. You can add them by hand in the config.txt file. "
    "Example syntax: 2013 C:/Program Files/Autodesk/3ds max 2013";

}  // namespace ConfigTest
