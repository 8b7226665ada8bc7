// What drmaster writes about a job: its JSON text and how it names and
// checks saved dumps.
#include <gtest/gtest.h>

#include "DumpFiles.h"
#include "Json.h"
#include "peers/PeerTestSupport.h"

using namespace Varnix::Peer;

namespace {

TEST(MasterJson, StringsStayValidWhateverTheyHold) {
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("a \"b\" \\ c\n\t\x01"), "\"a \\\"b\\\" \\\\ c\\n\\t\\u0001\"");
    EXPECT_EQ(jsonString("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5"), "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5\"");
    // A Latin-1 byte, a cut sequence, an overlong form and a surrogate are no UTF-8.
    EXPECT_EQ(jsonString("\xE9t\xE9"), "\"\\ufffdt\\ufffd\"");
    EXPECT_EQ(jsonString("x\xE2\x82"), "\"x\\ufffd\\ufffd\"");
    EXPECT_EQ(jsonString("\xC0\xAF"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(jsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
}

TEST(MasterJson, ObjectsKeepTheirOrder) {
    EXPECT_EQ(JsonObject().text(), "{}");
    EXPECT_EQ(JsonObject()
                  .add("b", jsonNumber(int64_t{-3}))
                  .add("a", jsonArray({jsonBool(true), jsonNumber(0.5), "null"}))
                  .add("c", JsonObject().add("d", jsonString("e")).text())
                  .text(),
              "{\"b\": -3, \"a\": [true, 0.500, null], \"c\": {\"d\": \"e\"}}");
}

class DumpFilesTest : public VarnixTest::TempDirectoryTest {};

TEST_F(DumpFilesTest, EarlierDumpsAreThoseOfTheSameFrameOnly) {
    EXPECT_EQ(dumpFileName(12, 1), "frame12_dump001.exr");
    EXPECT_EQ(dumpFileName(-3, 1234), "frame-3_dump1234.exr");
    EXPECT_TRUE(earlierDumps(directory, 12).empty());
    for (const char* name :
         {"frame12_dump002.exr", "frame12_dump001.exr", "frame12_dump1000.exr", "frame1_dump001.exr",
          "frame120_dump001.exr", "frame12_dump001.exr.part", "frame12_dumpx.exr", "frame12_dump.exr", "notes.txt"})
        PeerTest::writeFile(pathOf(name), "x");
    EXPECT_EQ(earlierDumps(directory, 12),
              (std::vector<std::string>{"frame12_dump001.exr", "frame12_dump002.exr", "frame12_dump1000.exr"}));
    EXPECT_EQ(earlierDumps(directory, 1), std::vector<std::string>{"frame1_dump001.exr"});
    EXPECT_TRUE(earlierDumps(directory, 7).empty());
    EXPECT_TRUE(earlierDumps(directory / "missing", 12).empty());
}

TEST(DumpFiles, TheExrMagicNumber) {
    EXPECT_TRUE(startsLikeExr("\x76\x2f\x31\x01\x02\x00", 6));
    EXPECT_TRUE(startsLikeExr("v/1\x01", 4));
    EXPECT_FALSE(startsLikeExr("v/1\x01", 3));
    EXPECT_FALSE(startsLikeExr("", 0));
    EXPECT_FALSE(startsLikeExr("\x89PNG", 4));
    EXPECT_FALSE(startsLikeExr("\x76\x2f\x31\x02", 4));
}

}  // namespace
