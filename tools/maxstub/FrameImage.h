#pragma once

#include <vector>

namespace Varnix::Peer {

// A small linear-light RGB picture, one float per channel and pixel, rows
// from the top. Pixel (x, y) is at index y * width + x of each channel.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<float> red, green, blue;
};

// Draws the frame number in large digits (and a minus sign when negative),
// light on a dark background. `progress` from 0 to 1 scales the brightness
// of the digits, so successive dumps of one frame look like a render that
// refines. Sizes below 8x8 are raised to 8x8. Never fails.
RgbImage makeFrameImage(int width, int height, int frame, double progress);

}  // namespace Varnix::Peer
