#include "FrameImage.h"

#include <algorithm>
#include <string>

namespace Varnix::Peer {

namespace {

constexpr int glyphWidth = 5;
constexpr int glyphHeight = 7;

// 5x7 glyphs, one string per row, '#' for a lit pixel: digits 0-9, then '-'.
const char* const glyphs[11][glyphHeight] = {
    {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "},
    {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "},
    {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"},
    {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "},
    {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "},
    {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "},
    {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "},
    {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "},
    {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "},
    {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "},
    {"     ", "     ", "     ", "#####", "     ", "     ", "     "},
};

int glyphIndex(char c) { return c == '-' ? 10 : c - '0'; }

}  // namespace

RgbImage makeFrameImage(int width, int height, int frame, double progress) {
    RgbImage image;
    image.width = std::max(width, 8);
    image.height = std::max(height, 8);
    const size_t count = static_cast<size_t>(image.width) * image.height;
    image.red.assign(count, 0.02f);
    image.green.assign(count, 0.03f);
    image.blue.assign(count, 0.12f);

    const std::string text = std::to_string(frame);
    const int cells = static_cast<int>(text.size()) * (glyphWidth + 1) - 1;
    const int scale = std::max(1, std::min((image.width - 2) / cells, (image.height - 2) / glyphHeight));
    const int left = std::max(0, (image.width - cells * scale) / 2);
    const int top = std::max(0, (image.height - glyphHeight * scale) / 2);
    const float level = static_cast<float>(0.2 + 0.8 * std::clamp(progress, 0.0, 1.0));

    for (size_t i = 0; i < text.size(); ++i) {
        const auto& glyph = glyphs[glyphIndex(text[i])];
        const int glyphLeft = left + static_cast<int>(i) * (glyphWidth + 1) * scale;
        for (int gy = 0; gy < glyphHeight; ++gy) {
            for (int gx = 0; gx < glyphWidth; ++gx) {
                if (glyph[gy][gx] != '#') continue;
                for (int y = top + gy * scale; y < top + (gy + 1) * scale && y < image.height; ++y) {
                    for (int x = glyphLeft + gx * scale; x < glyphLeft + (gx + 1) * scale && x < image.width; ++x) {
                        const size_t at = static_cast<size_t>(y) * image.width + x;
                        image.red[at] = level;
                        image.green[at] = level;
                        image.blue[at] = level * 0.8f;
                    }
                }
            }
        }
    }
    return image;
}

}  // namespace Varnix::Peer
