#include <cstdint>
#include <cstring>

#include "ImageFiles.h"

namespace Varnix::Peer {

namespace {

void put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void putFloat(std::string& out, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put32(out, bits);
}

void putText(std::string& out, const char* text) {
    out.append(text);
    out.push_back('\0');
}

void attributeHead(std::string& out, const char* name, const char* type, uint32_t size) {
    putText(out, name);
    putText(out, type);
    put32(out, size);
}

void putBox(std::string& out, const char* name, int width, int height) {
    attributeHead(out, name, "box2i", 16);
    put32(out, 0);
    put32(out, 0);
    put32(out, static_cast<uint32_t>(width - 1));
    put32(out, static_cast<uint32_t>(height - 1));
}

}  // namespace

std::string encodeExr(const RgbImage& image) {
    constexpr uint32_t floatPixels = 2;
    // Channels must be listed in name order; the pixel data follows that order.
    const char* const channelNames[3] = {"B", "G", "R"};
    const std::vector<float>* channelData[3] = {&image.blue, &image.green, &image.red};

    std::string out;
    out.append("\x76\x2f\x31\x01", 4);  // magic number
    put32(out, 2);                      // version 2, single-part scanline, short names

    attributeHead(out, "channels", "chlist", 3 * (2 + 16) + 1);
    for (const char* name : channelNames) {
        putText(out, name);
        put32(out, floatPixels);
        put32(out, 0);  // pLinear and three reserved bytes
        put32(out, 1);  // x sampling
        put32(out, 1);  // y sampling
    }
    out.push_back('\0');
    attributeHead(out, "compression", "compression", 1);
    out.push_back('\0');  // none
    putBox(out, "dataWindow", image.width, image.height);
    putBox(out, "displayWindow", image.width, image.height);
    attributeHead(out, "lineOrder", "lineOrder", 1);
    out.push_back('\0');  // increasing y
    attributeHead(out, "pixelAspectRatio", "float", 4);
    putFloat(out, 1.0f);
    attributeHead(out, "screenWindowCenter", "v2f", 8);
    putFloat(out, 0.0f);
    putFloat(out, 0.0f);
    attributeHead(out, "screenWindowWidth", "float", 4);
    putFloat(out, 1.0f);
    out.push_back('\0');  // end of header

    // Uncompressed files hold one scan line per chunk.
    const uint64_t lineBytes = 3ull * 4 * image.width;
    const uint64_t firstChunk = out.size() + 8ull * image.height;
    for (int y = 0; y < image.height; ++y) put64(out, firstChunk + static_cast<uint64_t>(y) * (8 + lineBytes));
    for (int y = 0; y < image.height; ++y) {
        put32(out, static_cast<uint32_t>(y));
        put32(out, static_cast<uint32_t>(lineBytes));
        for (const auto* channel : channelData)
            for (int x = 0; x < image.width; ++x) putFloat(out, (*channel)[static_cast<size_t>(y) * image.width + x]);
    }
    return out;
}

}  // namespace Varnix::Peer
