#include "node/ExrLayout.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Varnix {

namespace {

constexpr unsigned char magic[4] = {0x76, 0x2F, 0x31, 0x01};
constexpr std::uint32_t tiledFlag = 0x200, deepFlag = 0x800, multiPartFlag = 0x1000;
// A header is a few hundred bytes; one read of this size takes it whole.
constexpr std::size_t firstRead = 4096;
// Past this a header is no dump this check knows.
constexpr std::size_t largestHeader = 1 << 20;
constexpr std::int64_t mostChunks = 1 << 24;

std::int64_t get32(const unsigned char* p) {
    return std::int32_t(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                        std::uint32_t(p[3]) << 24);
}

std::uint64_t get64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Scan lines per chunk of each compression method, by its number.
int linesPerChunk(int compression) {
    static const int lines[] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};
    return compression >= 0 && compression < 10 ? lines[compression] : 0;
}

// The header, read as far as parsing needs.
class HeaderBytes {
public:
    HeaderBytes(std::int64_t fileSize, const ReadAt& readAt) : fileSize(fileSize), readAt(readAt) {}
    enum class Load { ok, pastEnd, failed };
    // Makes bytes [0, end) available.
    Load need(std::size_t end) {
        if (end <= bytes.size()) return Load::ok;
        if (std::int64_t(end) > fileSize) return Load::pastEnd;
        if (end > largestHeader) return Load::failed;
        std::size_t want = std::min<std::size_t>(std::max(end, bytes.size() * 2 + firstRead), std::size_t(fileSize));
        std::size_t had = bytes.size();
        bytes.resize(want);
        long long got = readAt(std::int64_t(had), bytes.data() + had, want - had);
        if (got < 0 || std::size_t(got) != want - had) return Load::failed;
        return Load::ok;
    }
    const unsigned char* at(std::size_t offset) const { return bytes.data() + offset; }

private:
    std::int64_t fileSize;
    const ReadAt& readAt;
    std::vector<unsigned char> bytes;
};

ExrLayout cut(const std::string& lacks) {
    ExrLayout layout;
    layout.verdict = ExrLayout::Verdict::cut;
    layout.lacks = lacks;
    return layout;
}

ExrLayout notChecked() { return ExrLayout(); }

// Tiles of one level: ceil(size / tileSize) per axis.
std::int64_t tilesAcross(std::int64_t size, std::int64_t tile) { return (size + tile - 1) / tile; }

std::int64_t levelSize(std::int64_t size, int level, bool roundUp) {
    std::int64_t s = roundUp ? (size + (std::int64_t(1) << level) - 1) >> level : size >> level;
    return std::max<std::int64_t>(s, 1);
}

int levelCount(std::int64_t size, bool roundUp) {
    int levels = 1;
    while (levelSize(size, levels - 1, roundUp) > 1) ++levels;
    return levels;
}

std::int64_t tileChunks(std::int64_t width, std::int64_t height, std::int64_t tileX, std::int64_t tileY, int mode) {
    int levelMode = mode & 0x0F;
    bool roundUp = (mode >> 4) == 1;
    if (levelMode == 0) return tilesAcross(width, tileX) * tilesAcross(height, tileY);
    std::int64_t count = 0;
    if (levelMode == 1) {
        int levels = levelCount(std::max(width, height), roundUp);
        for (int l = 0; l < levels; ++l)
            count +=
                tilesAcross(levelSize(width, l, roundUp), tileX) * tilesAcross(levelSize(height, l, roundUp), tileY);
        return count;
    }
    if (levelMode == 2) {
        int levelsX = levelCount(width, roundUp), levelsY = levelCount(height, roundUp);
        for (int ly = 0; ly < levelsY; ++ly)
            for (int lx = 0; lx < levelsX; ++lx)
                count += tilesAcross(levelSize(width, lx, roundUp), tileX) *
                         tilesAcross(levelSize(height, ly, roundUp), tileY);
        return count;
    }
    return -1;
}

}  // namespace

ExrLayout checkExrLayout(std::int64_t fileSize, const ReadAt& readAt) {
    // Shorter than the magic number and the version no file is an EXR image:
    // an empty or nearly empty dump is what an in-place write leaves on a
    // full disk.
    if (fileSize < 8) return cut("the 8 bytes every EXR file begins with");
    HeaderBytes header(fileSize, readAt);
    if (header.need(8) != HeaderBytes::Load::ok || std::memcmp(header.at(0), magic, 4) != 0) return notChecked();
    std::uint32_t version = std::uint32_t(get32(header.at(4)));
    if ((version & 0xFF) != 2 || (version & (deepFlag | multiPartFlag)) != 0) return notChecked();
    bool tiled = (version & tiledFlag) != 0;

    // Attributes: name NUL, type NUL, size, value; an empty name ends them.
    std::size_t at = 8;
    bool haveWindow = false, haveCompression = false, haveTiles = false;
    std::int64_t xMin = 0, yMin = 0, xMax = -1, yMax = -1, tileX = 0, tileY = 0, declaredChunks = -1;
    int compression = -1, tileMode = 0;
    auto text = [&](std::string& out) {
        for (;;) {
            HeaderBytes::Load load = header.need(at + 1);
            if (load != HeaderBytes::Load::ok) return load;
            char c = char(*header.at(at++));
            if (c == '\0') return HeaderBytes::Load::ok;
            if (out.size() >= 255) return HeaderBytes::Load::failed;
            out.push_back(c);
        }
    };
    for (;;) {
        std::string name, type;
        HeaderBytes::Load load = text(name);
        if (load == HeaderBytes::Load::ok && name.empty()) break;
        if (load == HeaderBytes::Load::ok) load = text(type);
        if (load == HeaderBytes::Load::ok) load = header.need(at + 4);
        if (load == HeaderBytes::Load::pastEnd) return cut("the rest of its header");
        if (load == HeaderBytes::Load::failed) return notChecked();
        std::int64_t size = get32(header.at(at));
        at += 4;
        if (size < 0 || size > std::int64_t(largestHeader)) return notChecked();
        load = header.need(at + std::size_t(size));
        if (load == HeaderBytes::Load::pastEnd) return cut("the rest of its header");
        if (load == HeaderBytes::Load::failed) return notChecked();
        const unsigned char* value = header.at(at);
        if (name == "dataWindow" && type == "box2i" && size == 16) {
            xMin = get32(value), yMin = get32(value + 4), xMax = get32(value + 8), yMax = get32(value + 12);
            haveWindow = true;
        } else if (name == "compression" && size == 1) {
            compression = value[0];
            haveCompression = true;
        } else if (name == "tiles" && type == "tiledesc" && size == 9) {
            tileX = std::uint32_t(get32(value)), tileY = std::uint32_t(get32(value + 4)), tileMode = value[8];
            haveTiles = true;
        } else if (name == "chunkCount" && size == 4) {
            declaredChunks = get32(value);
        }
        at += std::size_t(size);
    }
    if (!haveWindow || !haveCompression || xMax < xMin || yMax < yMin || (tiled && !haveTiles)) return notChecked();

    std::int64_t width = xMax - xMin + 1, height = yMax - yMin + 1, chunks = -1;
    if (tiled) {
        if (tileX <= 0 || tileY <= 0) return notChecked();
        chunks = tileChunks(width, height, tileX, tileY, tileMode);
    } else if (int lines = linesPerChunk(compression); lines > 0) {
        chunks = (height + lines - 1) / lines;
    }
    if (chunks <= 0 && declaredChunks > 0) chunks = declaredChunks;
    if (chunks <= 0 || chunks > mostChunks) return notChecked();

    // The offset table: one 64-bit file offset per chunk.
    std::int64_t tableStart = std::int64_t(at), tableEnd = tableStart + chunks * 8;
    if (tableEnd > fileSize) return cut("its chunk offset table");
    std::vector<unsigned char> table(std::size_t(chunks * 8));
    if (readAt(tableStart, table.data(), table.size()) != (long long)table.size()) return notChecked();
    // Offsets that are unfilled (a writer that never finished) or point past
    // the end, and the furthest chunk that starts within the file.
    std::int64_t missing = 0;
    std::uint64_t furthest = 0;
    for (std::int64_t i = 0; i < chunks; ++i) {
        std::uint64_t offset = get64(table.data() + i * 8);
        if (offset < std::uint64_t(tableEnd) || offset >= std::uint64_t(fileSize))
            ++missing;
        else
            furthest = std::max(furthest, offset);
    }
    std::size_t headBytes = tiled ? 20 : 8;
    // That chunk must end within the file: its header (tile coordinates or
    // the first scan line, then the data size) and its data.
    if (furthest > 0) {
        unsigned char head[20];
        std::int64_t headEnd = std::int64_t(furthest) + std::int64_t(headBytes);
        if (headEnd > fileSize) {
            ++missing;
        } else {
            if (readAt(std::int64_t(furthest), head, headBytes) != (long long)headBytes) return notChecked();
            std::int64_t dataSize = get32(head + headBytes - 4);
            if (dataSize < 0) return notChecked();
            if (headEnd + dataSize > fileSize) ++missing;
        }
    }
    if (missing > 0)
        return cut(std::to_string(std::min(missing, chunks)) + " of its " + std::to_string(chunks) +
                   " chunks of pixel data");
    ExrLayout whole;
    whole.verdict = ExrLayout::Verdict::whole;
    return whole;
}

}  // namespace Varnix
