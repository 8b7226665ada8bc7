#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "node/ExrLayout.h"

namespace Varnix::Peer {

// How drmaster names and checks the dumps it saves. No I/O apart from
// earlierDumps and exrLayoutOf. Any thread.

// "frame<frame>_dump<number>.exr", the number with at least three digits.
std::string dumpFileName(int frame, int number);

// The names of saved dumps of `frame` in `folder` (frame<frame>_dump<digits>.exr),
// sorted. Empty when there are none or the folder cannot be listed.
std::vector<std::string> earlierDumps(const std::filesystem::path& folder, int frame);

// True when `bytes` start with the EXR magic number 76 2F 31 01.
bool startsLikeExr(const char* bytes, std::size_t count);

// The layout check of the EXR file at `path` (the node's own: header,
// offset table, the furthest chunk's header); notChecked when it cannot be
// opened.
ExrLayout exrLayoutOf(const std::filesystem::path& path);

}  // namespace Varnix::Peer
