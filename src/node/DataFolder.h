#pragma once

#include "core/String.h"

#include <cstdint>

// The node keeps its files in drData under the folder it was started in:
// that folder's name followed by "/drData/" (always ending in a slash), as
// found, even when its bytes are not UTF-8. The thread that starts the node.
Varnix::String dataDirectoryOfWorkingDirectory();

// The bytes still free for the node's files on the disk of `dataDirectory`
// (in development mode the figure set for tests, see DevelopmentMode.h); -1
// when the system cannot tell. Any thread.
std::int64_t dataDiskFreeBytes(const Varnix::String& dataDirectory);
