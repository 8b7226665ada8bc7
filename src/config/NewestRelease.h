#pragma once
// The admin's switch for 3ds Max releases after 2016: the REG_DWORD
// newestMaxRelease under HKLM\SOFTWARE\Varnix (beside developmentVer), the
// newest release year the node takes. Missing, or 2016 and below: 2016.

#include "core/String.h"

#include <cstdint>
#include <vector>

namespace Varnix {

// The newest release year the node takes, from lastHostYear to
// highestHostYear. A value past highestHostYear counts as highestHostYear and
// sets `note` to a line saying so (otherwise `note` is left alone). Never
// fails: what cannot be read is lastHostYear. Any thread.
std::int32_t readNewestHostYear(String& note);

// The releases after `newestYear`, up to highestHostYear, that the registry
// holds an install directory for (findHostInstall), oldest first. One thread
// at a time.
std::vector<std::int32_t> releasesPast(std::int32_t newestYear);

// What the node says at start when the registry holds releases it does not
// take: which they are and how to turn them on.
String releasesPastNote(const std::vector<std::int32_t>& years);

}  // namespace Varnix
