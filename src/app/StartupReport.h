#pragma once

#include "config/NodeSettings.h"
#include "core/NodeWindow.h"

// What an admin needs to know from a log that a node started right: one line
// each for the program's version, the data folder, the ports and the 3ds Max
// releases configured. Logs through `window`; any thread, never fails.
void logStartupReport(Varnix::NodeWindow* window, const NodeSettings& settings);

// The line that ends a clean stop, once the service's threads have ended.
extern const char16_t* const stoppedMessage;
