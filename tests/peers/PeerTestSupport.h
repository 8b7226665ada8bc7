#pragma once

// Helpers shared by the peers tests: whole-file reads and writes, and
// reading EXR files back with OpenEXR (an independent reader, so that a fault
// in our writer cannot hide).

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <ImfArray.h>
#include <ImfRgbaFile.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace PeerTest {

namespace fs = std::filesystem;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A decoded EXR picture: width, height and the pixels, rows from the top.
struct ExrPicture {
    int width = 0;
    int height = 0;
    Imf::Array2D<Imf::Rgba> pixels;
};

// Reads an EXR file with OpenEXR; fails the test (and returns false) when
// OpenEXR refuses it.
inline bool readExr(const std::string& path, ExrPicture& picture) {
    try {
        Imf::RgbaInputFile file(path.c_str());
        const Imath::Box2i window = file.dataWindow();
        picture.width = window.max.x - window.min.x + 1;
        picture.height = window.max.y - window.min.y + 1;
        picture.pixels.resizeErase(picture.height, picture.width);
        file.setFrameBuffer(&picture.pixels[0][0] - window.min.x - window.min.y * picture.width, 1, picture.width);
        file.readPixels(window.min.y, window.max.y);
        return true;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "OpenEXR cannot read " << path << ": " << error.what();
        return false;
    }
}

// Counts the pixels brighter than the background: the drawn digits.
inline int brightPixels(const ExrPicture& picture) {
    int count = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            if (static_cast<float>(picture.pixels[y][x].r) > 0.1f) ++count;
    return count;
}

}  // namespace PeerTest
