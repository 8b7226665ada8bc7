#pragma once

#include "core/String.h"
#include "support/RecordingWindow.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace ConfigTest {

// UTF-8 text of a String, for comparisons with readable failure messages.
inline std::string utf8(Varnix::String text) { return text.toNarrow(); }

using VarnixTest::RecordingWindow;

}  // namespace ConfigTest
