#pragma once
// Where the node serves /metrics and /status over HTTP, as the admin set it:
// REG_SZ "statusHttpAddress" under HKLM\SOFTWARE\Varnix (beside the renderer
// limits), "ADDRESS:PORT" such as "0.0.0.0:19670". Missing or empty: not
// served, the default.

#include "core/String.h"

#include <string>

namespace Varnix {

// The value as stored; empty when missing. Never fails. Any thread.
String readStatusHttpAddress();

// Splits "ADDRESS:PORT" (a dotted IPv4 address or a host name, a port from
// 1 to 65535). False, and both left as they were, for anything else.
bool parseHttpAddress(const std::string& text, std::string& address, int& port);

}  // namespace Varnix
