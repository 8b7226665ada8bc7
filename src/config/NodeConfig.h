#pragma once

#include "config/NodeSettings.h"
#include "core/LogTarget.h"
#include "core/String.h"

namespace Varnix {

// Fills settings.hostInstalls from the DrConfig.txt at `path` (lines
// "<year> <install directory>", "#" comments; text in the system's code page,
// or UTF-8 or UTF-16 when it starts with a byte-order mark). A directory
// without a trailing separator gets one. When there is no such file, writes
// a default one from the 3ds Max releases found in the registry; one that
// exists but cannot be read is left alone, with a log line saying why, and
// no release is configured. Years from 2011 to settings.newestHostYear (set
// by the caller) count, in the file and in the default scan; a line
// without one stops the reading (the lines before it count) and is logged with its number and
// text. False when the default file cannot be created, which is fatal: the
// caller shows `error` in a message box captioned fatalConfigCaption and
// ends the node. Logs through `window` (not null). GUI thread, before any
// worker reads the settings.
bool loadNodeConfig(NodeSettings& settings, const String& path, LogTarget* window, String& error);

// The caption of the box that shows loadNodeConfig's fatal error.
extern const char16_t* const fatalConfigCaption;

}  // namespace Varnix
