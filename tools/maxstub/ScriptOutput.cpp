#include "ScriptOutput.h"

#include "port/utf8.h"

namespace Varnix::Peer {

bool writeScriptOutput(const std::string& text) {
    const std::string line = text + "\r\n";
    const int bytes = static_cast<int>(line.size());
    const auto bad = Port::Utf8::BadInput::replace;
    std::u16string wide(static_cast<std::size_t>(Port::Utf8::decode(line.data(), bytes, nullptr, 0, bad)), u'\0');
    Port::Utf8::decode(line.data(), bytes, wide.data(), static_cast<int>(wide.size()), bad);
    std::string encoded;
    for (char16_t unit : wide) {
        encoded += static_cast<char>(unit & 0xFF);
        encoded += static_cast<char>(unit >> 8);
    }
    return writeRawOutput(encoded);
}

}  // namespace Varnix::Peer
