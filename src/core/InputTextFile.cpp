#include "core/InputTextFile.h"

#include "core/Exception.h"
#include "port/textfile.h"

#include <cstring>
#include <string>

namespace Varnix {

InputTextFile::InputTextFile(const String& path) : file(nullptr), path(path) {
    file = Port::openTextForReading(this->path.wideCString());
    if (file == nullptr) throw Exception::fileError(path);
    try {
        lineBuffer.resize(256);
    } catch (...) {
        std::fclose(file);
        throw;
    }
}

InputTextFile::~InputTextFile() { std::fclose(file); }

void InputTextFile::readLine(String& line) {
    line.clear();
    // The chunks of one line are joined as bytes and converted once, so that
    // a multi-byte character cut at a chunk boundary comes back whole.
    std::string bytes;
    while (Port::readTextChunk(lineBuffer.data, lineBuffer.capacity, file) != nullptr) {
        size_t chunkLength = std::strlen(lineBuffer.data);
        bytes.append(lineBuffer.data, chunkLength);
        if (chunkLength > 0 && lineBuffer.data[chunkLength - 1] == '\n') break;
    }
    line.append(String::fromNarrow(bytes.data(), static_cast<std::int32_t>(bytes.size())));
    if (line.length() > 0 && line[line.length() - 1] == u'\n') line.erase(line.length() - 1);
}

bool InputTextFile::atEnd() const { return std::feof(file) != 0 || std::ferror(file) != 0; }

}  // namespace Varnix
