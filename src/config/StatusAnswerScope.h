#pragma once
// Who is given the node's status answer on the discovery port, as the admin
// set it: REG_SZ "statusAnswer" under HKLM\SOFTWARE\Varnix (beside the
// renderer limits). Missing, empty or "any": every sender, the default;
// "off": nobody; else addresses written as the masters' firewall scope is:
// dotted addresses, ranges ("10.0.0.1-10.0.0.9") and subnets ("10.0.0.0/24",
// "10.0.0.0/255.255.255.0"), separated by commas.

#include "core/String.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Varnix {

struct AddressScope {
    bool everyone = true;
    // First and last address of each entry, in host byte order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;

    bool admits(std::uint32_t host) const;
};

// The value as stored, trimmed; empty when missing. Never fails. Any thread.
String readStatusAnswerScope();

// Reads `text` (see above; case does not matter). False, and `scope` left as
// it was, for anything else.
bool parseAddressScope(const std::string& text, AddressScope& scope);

}  // namespace Varnix
