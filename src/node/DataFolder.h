#pragma once

#include "core/String.h"

// The node keeps its files in drData under the folder it was started in:
// that folder's name followed by "/drData/" (always ending in a slash), as
// found, even when its bytes are not UTF-8. The thread that starts the node.
Varnix::String dataDirectoryOfWorkingDirectory();
