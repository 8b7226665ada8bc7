#pragma once

#include "core/LogTarget.h"
#include "node/RenderService.h"

// What an admin needs to know from a log that a node started right: one line
// each for the program's version, how it runs (Mode), the data folder, the ports held (and those
// that could not be bound) and the 3ds Max releases configured. Logs through
// `window`; the thread that starts the node, while `service` is not being torn
// down; never fails.
void logStartupReport(Varnix::LogTarget* window, const Varnix::RenderService& service);

// The line that ends a clean stop, once the service's threads have ended.
extern const char16_t* const stoppedMessage;
