#include <png.h>

#include <cmath>

#include "FrameImage.h"
#include "ImageFiles.h"
#include "peers/PeerTestSupport.h"

using namespace Varnix::Peer;

namespace {

class ImageFilesTest : public VarnixTest::TempDirectoryTest {};

TEST_F(ImageFilesTest, ExrReadsBackWithOpenExrPixelForPixel) {
    const RgbImage image = makeFrameImage(37, 21, 45, 0.5);
    const std::string file = pathOf("dump1.exr");
    ASSERT_TRUE(writeWholeFile(file, encodeExr(image)));

    PeerTest::ExrPicture picture;
    ASSERT_TRUE(PeerTest::readExr(file, picture));
    ASSERT_EQ(picture.width, 37);
    ASSERT_EQ(picture.height, 21);
    for (int y = 0; y < 21; ++y) {
        for (int x = 0; x < 37; ++x) {
            const size_t at = static_cast<size_t>(y) * 37 + x;
            ASSERT_NEAR(static_cast<float>(picture.pixels[y][x].r), image.red[at], 1e-3) << x << "," << y;
            ASSERT_NEAR(static_cast<float>(picture.pixels[y][x].g), image.green[at], 1e-3) << x << "," << y;
            ASSERT_NEAR(static_cast<float>(picture.pixels[y][x].b), image.blue[at], 1e-3) << x << "," << y;
        }
    }
}

TEST_F(ImageFilesTest, ExrLargerThanOneLinkPieceIsStillValid) {
    // 256 x 128 float RGB is about 393 KB: several 65536-byte pieces on the link.
    const std::string bytes = encodeExr(makeFrameImage(256, 128, 2014, 1.0));
    EXPECT_GT(bytes.size(), 65536u * 5);
    ASSERT_TRUE(writeWholeFile(pathOf("big.exr"), bytes));
    PeerTest::ExrPicture picture;
    ASSERT_TRUE(PeerTest::readExr(pathOf("big.exr"), picture));
    EXPECT_EQ(picture.width, 256);
    EXPECT_GT(PeerTest::brightPixels(picture), 0);
}

TEST(FrameImage, ShowsTheFrameNumberAndBrightensWithProgress) {
    const auto litMask = [](const RgbImage& image) {
        std::vector<bool> lit;
        for (float r : image.red) lit.push_back(r > 0.1f);
        return lit;
    };
    const RgbImage seven = makeFrameImage(64, 32, 7, 1.0);
    const RgbImage eight = makeFrameImage(64, 32, 8, 1.0);
    const RgbImage minusThree = makeFrameImage(64, 32, -3, 1.0);
    const RgbImage three = makeFrameImage(64, 32, 3, 1.0);
    EXPECT_NE(litMask(seven), litMask(eight));
    EXPECT_NE(litMask(minusThree), litMask(three));

    const RgbImage early = makeFrameImage(64, 32, 7, 0.0);
    EXPECT_EQ(litMask(early), litMask(seven));
    EXPECT_LT(*std::max_element(early.red.begin(), early.red.end()),
              *std::max_element(seven.red.begin(), seven.red.end()));

    // A number too long for the picture is cut, never drawn out of bounds.
    const RgbImage tiny = makeFrameImage(1, 1, -2147483647 - 1, 1.0);
    EXPECT_EQ(tiny.width, 8);
    EXPECT_EQ(tiny.red.size(), 64u);
}

TEST_F(ImageFilesTest, PngReadsBackWithLibpngAcrossSeveralDeflateBlocks) {
    // 300 x 100 RGB rows are 90,100 raw bytes: two stored deflate blocks.
    const RgbImage image = makeFrameImage(300, 100, 12, 1.0);
    const std::string file = pathOf("dr_out.png");
    ASSERT_TRUE(writeWholeFile(file, encodePng(image)));

    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&decoded, file.c_str())) << decoded.message;
    EXPECT_EQ(decoded.width, 300u);
    EXPECT_EQ(decoded.height, 100u);
    decoded.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(decoded));
    ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, rgb.data(), 0, nullptr)) << decoded.message;

    for (size_t at = 0; at < image.red.size(); ++at) {
        ASSERT_EQ(rgb[3 * at], static_cast<unsigned char>(std::lround(std::clamp(image.red[at], 0.f, 1.f) * 255)));
        ASSERT_EQ(rgb[3 * at + 2], static_cast<unsigned char>(std::lround(std::clamp(image.blue[at], 0.f, 1.f) * 255)));
    }
}

TEST_F(ImageFilesTest, WritingIntoAMissingDirectoryFails) {
    EXPECT_FALSE(writeWholeFile(pathOf("no/such/dir/x.exr"), "abc"));
    EXPECT_TRUE(writeWholeFile(pathOf("x.exr"), ""));
}

}  // namespace
