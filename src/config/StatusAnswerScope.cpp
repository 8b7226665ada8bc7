#include "config/StatusAnswerScope.h"

#include "config/Registry.h"

#include <algorithm>
#include <cctype>

namespace Varnix {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool dotted(const std::string& text, std::uint32_t& host) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::size_t digits = 0;
        std::uint32_t part = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 4) {
            part = part * 10 + std::uint32_t(text[i++] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || part > 255) return false;
        value = value << 8 | part;
        if (++parts < 4 && (i >= text.size() || text[i++] != '.')) return false;
    }
    if (i != text.size()) return false;
    host = value;
    return true;
}

bool entry(const std::string& text, std::pair<std::uint32_t, std::uint32_t>& range) {
    const std::size_t slash = text.find('/');
    const std::size_t dash = text.find('-');
    if (slash != std::string::npos) {
        std::uint32_t base = 0, mask = 0;
        const std::string bits = text.substr(slash + 1);
        if (!dotted(text.substr(0, slash), base)) return false;
        if (!bits.empty() && bits.size() <= 2 &&
            std::all_of(bits.begin(), bits.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
            const int count = std::stoi(bits);
            if (count > 32) return false;
            mask = count == 0 ? 0 : ~std::uint32_t(0) << (32 - count);
        } else if (!dotted(bits, mask) || (~mask & (~mask + 1)) != 0) {
            return false;  // a mask must be ones, then zeros
        }
        range = {base & mask, (base & mask) | ~mask};
        return true;
    }
    if (dash != std::string::npos)
        return dotted(text.substr(0, dash), range.first) && dotted(text.substr(dash + 1), range.second) &&
               range.first <= range.second;
    if (!dotted(text, range.first)) return false;
    range.second = range.first;
    return true;
}

}  // namespace

bool AddressScope::admits(std::uint32_t host) const {
    if (everyone) return true;
    for (const auto& range : ranges)
        if (host >= range.first && host <= range.second) return true;
    return false;
}

String readStatusAnswerScope() {
    String text;
    readRegistryString(u"SOFTWARE/Varnix", u"statusAnswer", text);
    text.trim();
    return text;
}

bool parseAddressScope(const std::string& text, AddressScope& scope) {
    std::string lower = trimmed(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    AddressScope parsed;
    if (lower.empty() || lower == "any") {
        scope = parsed;
        return true;
    }
    parsed.everyone = false;
    if (lower != "off") {
        for (std::size_t start = 0; start <= lower.size();) {
            std::size_t comma = std::min(lower.find(',', start), lower.size());
            std::pair<std::uint32_t, std::uint32_t> range;
            if (!entry(trimmed(lower.substr(start, comma - start)), range)) return false;
            parsed.ranges.push_back(range);
            start = comma + 1;
        }
    }
    scope = std::move(parsed);
    return true;
}

}  // namespace Varnix
