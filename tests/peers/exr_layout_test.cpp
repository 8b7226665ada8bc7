// The EXR layout check that the node and drmaster share, held against
// OpenEXR: a file OpenEXR reads whole is whole, and every cut of it that
// OpenEXR cannot read is cut, whatever the compression or tiling.
#include <ImfArray.h>
#include <ImfRgbaFile.h>
#include <ImfTiledRgbaFile.h>

#include "FrameImage.h"
#include "ImageFiles.h"
#include "node/ExrLayout.h"
#include "peers/PeerTestSupport.h"

#include <cstring>
#include <fstream>
#include <sstream>

using Varnix::ExrLayout;

namespace {

class ExrLayoutTest : public VarnixTest::TempDirectoryTest {
protected:
    static ExrLayout::Verdict verdictOf(const std::string& bytes) {
        return Varnix::checkExrLayout(std::int64_t(bytes.size()),
                                      [&bytes](std::int64_t offset, void* buffer, std::size_t count) -> long long {
                                          if (offset >= std::int64_t(bytes.size())) return 0;
                                          std::size_t n = std::min(count, bytes.size() - std::size_t(offset));
                                          std::memcpy(buffer, bytes.data() + offset, n);
                                          return static_cast<long long>(n);
                                      })
            .verdict;
    }

    std::string fileBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

    // Every level of a tiled file: each pair for a ripmap, else the diagonal.
    template <class File, class Each>
    static void forEachLevel(File& file, Each each) {
        for (int ly = 0; ly < file.numYLevels(); ++ly)
            for (int lx = 0; lx < file.numXLevels(); ++lx)
                if (file.levelMode() == Imf::RIPMAP_LEVELS || lx == ly) each(lx, ly);
    }

    // True when OpenEXR reads every pixel of every level.
    bool openExrReadsAll(const std::string& path, bool tiled) {
        try {
            Imf::Array2D<Imf::Rgba> pixels;
            if (!tiled) {
                Imf::RgbaInputFile file(path.c_str());
                const Imath::Box2i window = file.dataWindow();
                pixels.resizeErase(window.max.y - window.min.y + 1, window.max.x - window.min.x + 1);
                file.setFrameBuffer(&pixels[0][0], 1, window.max.x - window.min.x + 1);
                file.readPixels(window.min.y, window.max.y);
                return file.isComplete();
            }
            Imf::TiledRgbaInputFile file(path.c_str());
            const Imath::Box2i window = file.dataWindow();
            pixels.resizeErase(window.max.y - window.min.y + 1, window.max.x - window.min.x + 1);
            file.setFrameBuffer(&pixels[0][0], 1, window.max.x - window.min.x + 1);
            forEachLevel(file, [&](int lx, int ly) {
                file.readTiles(0, file.numXTiles(lx) - 1, 0, file.numYTiles(ly) - 1, lx, ly);
            });
            return file.isComplete();
        } catch (const std::exception&) {
            return false;
        }
    }

    // A 97 x 61 picture written by OpenEXR itself.
    std::string writeWithOpenExr(const std::string& name, Imf::Compression compression, int tileSize,
                                 Imf::LevelMode levels) {
        const int width = 97, height = 61;
        Imf::Array2D<Imf::Rgba> pixels(height, width);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) pixels[y][x] = Imf::Rgba(float(x) / width, float(y) / height, 0.5f, 1.0f);
        const std::string path = pathOf(name);
        if (tileSize == 0) {
            Imf::RgbaOutputFile file(path.c_str(), width, height, Imf::WRITE_RGBA, 1, Imath::V2f(0, 0), 1,
                                     Imf::INCREASING_Y, compression);
            file.setFrameBuffer(&pixels[0][0], 1, width);
            file.writePixels(height);
        } else {
            Imf::TiledRgbaOutputFile file(path.c_str(), width, height, tileSize, tileSize, levels, Imf::ROUND_DOWN,
                                          Imf::WRITE_RGBA, 1, Imath::V2f(0, 0), 1, Imf::INCREASING_Y, compression);
            file.setFrameBuffer(&pixels[0][0], 1, width);
            forEachLevel(file, [&](int lx, int ly) {
                file.writeTiles(0, file.numXTiles(lx) - 1, 0, file.numYTiles(ly) - 1, lx, ly);
            });
        }
        return path;
    }
};

TEST_F(ExrLayoutTest, EveryCutOfAFileOpenExrCannotReadIsCutAndTheWholeFileIsWhole) {
    struct Sample {
        std::string path;
        bool tiled;
    };
    std::vector<Sample> samples;
    // The stand-in's own writer: uncompressed, one scan line per chunk.
    samples.push_back({pathOf("standin.exr"), false});
    ASSERT_TRUE(Varnix::Peer::writeWholeFile(samples.back().path,
                                             Varnix::Peer::encodeExr(Varnix::Peer::makeFrameImage(128, 64, 3, 1.0))));
    samples.push_back({writeWithOpenExr("zip.exr", Imf::ZIP_COMPRESSION, 0, Imf::ONE_LEVEL), false});
    samples.push_back({writeWithOpenExr("piz.exr", Imf::PIZ_COMPRESSION, 0, Imf::ONE_LEVEL), false});
    samples.push_back({writeWithOpenExr("tiled.exr", Imf::NO_COMPRESSION, 16, Imf::ONE_LEVEL), true});
    samples.push_back({writeWithOpenExr("mipmap.exr", Imf::ZIP_COMPRESSION, 16, Imf::MIPMAP_LEVELS), true});
    samples.push_back({writeWithOpenExr("ripmap.exr", Imf::RLE_COMPRESSION, 32, Imf::RIPMAP_LEVELS), true});

    for (const Sample& sample : samples) {
        const std::string whole = fileBytes(sample.path);
        ASSERT_TRUE(openExrReadsAll(sample.path, sample.tiled)) << sample.path;
        EXPECT_EQ(verdictOf(whole), ExrLayout::Verdict::whole) << sample.path;
        // Inside the header, the offset table, the first chunk, the middle,
        // and one byte short.
        for (std::size_t size : {std::size_t(8), std::size_t(40), std::size_t(330), std::size_t(360), whole.size() / 2,
                                 whole.size() - 1}) {
            if (size >= whole.size()) continue;
            const std::string cut = whole.substr(0, size);
            const std::string cutPath = sample.path + ".cut";
            ASSERT_TRUE(Varnix::Peer::writeWholeFile(cutPath, cut));
            EXPECT_FALSE(openExrReadsAll(cutPath, sample.tiled)) << sample.path << " cut at " << size;
            EXPECT_EQ(verdictOf(cut), ExrLayout::Verdict::cut) << sample.path << " cut at " << size;
        }
    }
    // Too short for any EXR: cut, whatever its bytes; what the check does
    // not judge is left as it is.
    EXPECT_EQ(verdictOf(""), ExrLayout::Verdict::cut);
    EXPECT_EQ(verdictOf(std::string("\x76\x2f\x31\x01", 4)), ExrLayout::Verdict::cut);
    EXPECT_EQ(verdictOf("GIF89"), ExrLayout::Verdict::cut);
    EXPECT_EQ(verdictOf("GIF89a and so on"), ExrLayout::Verdict::notChecked);
}

}  // namespace
