#pragma once

#include "core/String.h"

namespace Varnix {

// Stand-in until the render service exists, which owns this job: makes sure
// the data directory exists and returns it, the working directory followed by
// "/drData/" (so it always ends in a slash). If it cannot be created the path
// is returned anyway and opening a file in it fails. GUI thread only.
String prepareDataDirectory();

}  // namespace Varnix
