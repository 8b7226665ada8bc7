#include "config/StatusHttpAddress.h"

#include "config/Registry.h"

namespace Varnix {

String readStatusHttpAddress() {
    String text;
    readRegistryString(u"SOFTWARE/Varnix", u"statusHttpAddress", text);
    text.trim();
    return text;
}

bool parseHttpAddress(const std::string& text, std::string& address, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon > 6) return false;
    int value = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    for (size_t i = 0; i < colon; ++i)
        if (!((text[i] >= 'a' && text[i] <= 'z') || (text[i] >= 'A' && text[i] <= 'Z') ||
              (text[i] >= '0' && text[i] <= '9') || text[i] == '.' || text[i] == '-'))
            return false;
    if (value < 1 || value > 65535) return false;
    address = text.substr(0, colon);
    port = value;
    return true;
}

}  // namespace Varnix
