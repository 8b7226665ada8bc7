#include "Roster.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace Varnix::Peer {

namespace {

const char* const header =
    "# drmaster roster: the nodes a farm view expects to answer. One line each:\n"
    "# ADDRESS<TAB>NAME<TAB>LAST-SEEN (Unix seconds)<TAB>STATE. Delete a line to retire a node.\n";

// A field as written: tabs and line ends would break the line apart.
std::string field(const std::string& text) {
    if (text.empty()) return "-";
    std::string out = text;
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return out;
}

std::string unfield(const std::string& text) { return text == "-" ? std::string() : text; }

}  // namespace

bool Roster::load(const std::string& file, std::string& error) {
    path = file;
    list.clear();
    dirty = false;
    std::ifstream in(std::filesystem::u8path(file), std::ios::binary);
    if (!in) {
        std::error_code ignored;
        if (!std::filesystem::exists(std::filesystem::u8path(file), ignored)) return true;
        error = "cannot read the roster '" + file + "'";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string part; std::getline(parts, part, '\t');) fields.push_back(part);
        // A line the admin typed may hold the address alone.
        Node node;
        node.address = fields.empty() ? std::string() : fields[0];
        if (fields.size() > 1) node.name = unfield(fields[1]);
        if (fields.size() > 2) {
            char* end = nullptr;
            node.lastSeen = static_cast<std::time_t>(std::strtoll(fields[2].c_str(), &end, 10));
            if (end == fields[2].c_str() || *end != '\0') node.lastSeen = -1;
        }
        if (fields.size() > 3) node.lastState = unfield(fields[3]);
        if (node.address.empty() || node.address.find(' ') != std::string::npos || node.lastSeen < 0 ||
            fields.size() > 4) {
            error = "the roster '" + file + "' line " + std::to_string(number) + " is no roster line: " + line;
            return false;
        }
        if (!find(node.address)) list.push_back(node);
    }
    return true;
}

bool Roster::save(std::string& error) {
    const std::filesystem::path target = std::filesystem::u8path(path);
    const std::filesystem::path part = std::filesystem::u8path(path + ".part");
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << header;
        for (const Node& node : list)
            out << field(node.address) << '\t' << field(node.name) << '\t' << node.lastSeen << '\t'
                << field(node.lastState) << '\n';
        out.flush();
        if (!out) {
            error = "cannot write the roster '" + path + ".part'";
            return false;
        }
    }
    std::error_code failed;
    std::filesystem::rename(part, target, failed);
    if (failed) {
        error = "cannot replace the roster '" + path + "': " + failed.message();
        return false;
    }
    dirty = false;
    return true;
}

Roster::Node& Roster::entry(const std::string& address) {
    for (Node& node : list)
        if (node.address == address) return node;
    list.push_back(Node{address, "", 0, ""});
    dirty = true;
    return list.back();
}

void Roster::expect(const std::string& address) { entry(address); }

void Roster::seen(const std::string& address, const std::string& name, const std::string& state, std::time_t when) {
    Node& node = entry(address);
    if (node.name != name || node.lastState != state) dirty = true;
    node.name = name;
    node.lastState = state;
    node.lastSeen = when;
}

bool Roster::retire(const std::string& node) {
    const auto before = list.size();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Node& n) { return n.address == node || (!n.name.empty() && n.name == node); }),
               list.end());
    dirty = dirty || list.size() != before;
    return list.size() != before;
}

const Roster::Node* Roster::find(const std::string& address) const {
    for (const Node& node : list)
        if (node.address == address) return &node;
    return nullptr;
}

}  // namespace Varnix::Peer
