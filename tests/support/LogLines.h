#pragma once
// Counting lines of a log the tests read back (the recording window's lines,
// or DrLog.txt without its time stamps).

#include <algorithm>
#include <string>
#include <vector>

namespace VarnixTest {

// How many of `lines` start with `prefix`.
inline int countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return int(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

}  // namespace VarnixTest
