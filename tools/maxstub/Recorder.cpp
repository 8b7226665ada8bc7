#include "Recorder.h"

namespace Varnix::Peer {

Recorder::Recorder(const std::string& path) : filePath(path), out(path, std::ios::app | std::ios::binary) {}

void Recorder::line(const std::string& key, const std::string& value) {
    if (!out.is_open()) return;
    out << key;
    if (!value.empty()) out << ": " << value;
    out << '\n';
    out.flush();
}

}  // namespace Varnix::Peer
