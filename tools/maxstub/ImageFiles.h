#pragma once

#include <string>

#include "FrameImage.h"

namespace Varnix::Peer {

// The EXR writer is our own, small, uncompressed, single-part scanline
// writer with 32-bit float R, G, B channels: the same bytes on every
// platform and no image library to cross-build.

// The complete bytes of an EXR file holding `image`. Never fails.
std::string encodeExr(const RgbImage& image);

// The complete bytes of an 8-bit RGB PNG file holding `image` (stored,
// uncompressed deflate blocks). Never fails.
std::string encodePng(const RgbImage& image);

// Writes `bytes` to `path`, replacing it. False when the file cannot be
// created or fully written; a partial file may then remain.
bool writeWholeFile(const std::string& path, const std::string& bytes);

}  // namespace Varnix::Peer
