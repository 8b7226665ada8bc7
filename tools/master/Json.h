#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Varnix::Peer {

// The pieces of drmaster's JSON reports, as text. Values are formatted when
// added; objects keep the order of their fields. Never fails. One thread.

// A JSON string: quoted, escaped; bytes that are not UTF-8 become U+FFFD, so
// the document stays valid whatever a path holds.
std::string jsonString(const std::string& text);
std::string jsonNumber(int64_t value);
// Seconds or milliseconds with three decimals.
std::string jsonNumber(double value);
std::string jsonBool(bool value);
// An array of values that are already JSON text.
std::string jsonArray(const std::vector<std::string>& values);

class JsonObject {
public:
    // Adds a field whose value is already JSON text (from the functions above).
    JsonObject& add(const std::string& key, std::string value) {
        fields.emplace_back(key, std::move(value));
        return *this;
    }
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> fields;
};

}  // namespace Varnix::Peer
