#include <algorithm>
#include <array>
#include <cstdint>

#include "ImageFiles.h"

namespace Varnix::Peer {

namespace {

uint32_t crc32(const std::string& bytes, size_t from) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = from; i < bytes.size(); ++i)
        c = table[(c ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

uint32_t adler32(const std::string& bytes) {
    uint32_t a = 1, b = 0;
    for (unsigned char byte : bytes) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

void putBE32(std::string& out, uint32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void putChunk(std::string& out, const char* type, const std::string& data) {
    putBE32(out, static_cast<uint32_t>(data.size()));
    const size_t typeAt = out.size();
    out.append(type, 4);
    out.append(data);
    putBE32(out, crc32(out, typeAt));
}

unsigned char toByte(float linear) {
    return static_cast<unsigned char>(std::clamp(linear, 0.0f, 1.0f) * 255.0f + 0.5f);
}

}  // namespace

std::string encodePng(const RgbImage& image) {
    std::string raw;
    raw.reserve(static_cast<size_t>(image.height) * (1 + 3 * image.width));
    for (int y = 0; y < image.height; ++y) {
        raw.push_back('\0');  // filter: none
        for (int x = 0; x < image.width; ++x) {
            const size_t at = static_cast<size_t>(y) * image.width + x;
            raw.push_back(static_cast<char>(toByte(image.red[at])));
            raw.push_back(static_cast<char>(toByte(image.green[at])));
            raw.push_back(static_cast<char>(toByte(image.blue[at])));
        }
    }

    std::string zlib("\x78\x01", 2);
    size_t done = 0;
    do {
        const size_t piece = std::min<size_t>(raw.size() - done, 65535);
        const bool last = done + piece == raw.size();
        zlib.push_back(last ? '\x01' : '\x00');  // stored block
        zlib.push_back(static_cast<char>(piece & 0xFF));
        zlib.push_back(static_cast<char>(piece >> 8));
        zlib.push_back(static_cast<char>(~piece & 0xFF));
        zlib.push_back(static_cast<char>((~piece >> 8) & 0xFF));
        zlib.append(raw, done, piece);
        done += piece;
    } while (done < raw.size());
    putBE32(zlib, adler32(raw));

    std::string header;
    putBE32(header, static_cast<uint32_t>(image.width));
    putBE32(header, static_cast<uint32_t>(image.height));
    header.append("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace

    std::string out("\x89PNG\r\n\x1a\n", 8);
    putChunk(out, "IHDR", header);
    putChunk(out, "IDAT", zlib);
    putChunk(out, "IEND", std::string());
    return out;
}

}  // namespace Varnix::Peer
