#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace Varnix::Peer {

// The nodes a farm view expects to see: every node it has seen, kept in a
// text file the admin names so that a restart forgets none, one line per
// node: "ADDRESS<TAB>NAME<TAB>LAST-SEEN<TAB>STATE" (Unix seconds; "-" for a
// name or state never known). Deleting a line retires a node; so does
// retire(). One thread.
class Roster {
public:
    struct Node {
        std::string address;       // dotted
        std::string name;          // the node's own, "" not known
        std::time_t lastSeen = 0;  // 0: never answered
        std::string lastState;     // "" not known
    };

    // Reads `path`; a file not there yet is an empty roster. False with a
    // one-line `error` when it cannot be read or a line is no roster line.
    bool load(const std::string& path, std::string& error);

    // Writes the roster to the path load() read, whole or not at all (a
    // temporary file renamed into place). False with `error` when it cannot.
    bool save(std::string& error);

    // Adds `address` when new; never forgets a name or state it knew.
    void expect(const std::string& address);
    // Records an answer seen at `when`; changed() only when the name or state
    // is new, so that a steady farm does not rewrite the file every round.
    void seen(const std::string& address, const std::string& name, const std::string& state, std::time_t when);
    // Removes the nodes whose address or name is `node`. False when none is.
    bool retire(const std::string& node);

    const Node* find(const std::string& address) const;
    const std::vector<Node>& nodes() const { return list; }
    bool changed() const { return dirty; }  // since load() or save()

private:
    Node& entry(const std::string& address);

    std::string path;
    std::vector<Node> list;
    bool dirty = false;
};

}  // namespace Varnix::Peer
