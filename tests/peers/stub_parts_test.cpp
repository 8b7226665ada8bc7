#include <gtest/gtest.h>

#include "Behaviour.h"
#include "RenderCommand.h"

using namespace Varnix::Peer;

namespace {

TEST(Behaviour, WithoutAFileTheStandInIsAWellBehavedRenderer) {
    std::vector<std::string> warnings;
    const Behaviour b = parseBehaviour("", warnings);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(b.dumps, 3);
    EXPECT_EQ(b.dumpIntervalMs, 500);
    EXPECT_TRUE(b.connect);
    EXPECT_FALSE(b.wrongGreeting);
    EXPECT_EQ(b.crashAfterDumps, -1);
    EXPECT_FALSE(b.hangUntilEnd);
    EXPECT_EQ(b.endWaitSeconds, 60);
    EXPECT_EQ(b.exitCode, 0);
    EXPECT_EQ(b.bytesAfterGreeting, 0);
    EXPECT_FALSE(b.dumpsInPlace);
    EXPECT_FALSE(b.reuseDumpName);
}

TEST(Behaviour, ReadsEveryKeyWithCommentsAndWindowsLineEnds) {
    std::vector<std::string> warnings;
    const Behaviour b = parseBehaviour("# test behaviour\r\n"
                                       "dumps = 7\r\n"
                                       "DUMP_INTERVAL_MS=20   # fast\r\n"
                                       "dump_size = 300 x 40\r\n"
                                       "connect = no\r\n"
                                       "connect_timeout_seconds = 2\r\n"
                                       "greeting = Wrong\r\n"
                                       "crash_after_dumps = 2\r\n"
                                       "hang_until_end = yes\r\n"
                                       "end_wait_seconds = 5\r\n"
                                       "end_linger_ms = 900\r\n"
                                       "exit_code = 17\r\n"
                                       "record_file = /tmp/some where/rec.txt\r\n"
                                       "bytes_after_greeting = 300\r\n"
                                       "dump_write = In_Place\r\n"
                                       "reuse_dump_name = yes\r\n"
                                       "message_box_title = Missing plug-in\r\n"
                                       "message_box_text = Needs: a = b\r\n"
                                       "\r\n",
                                       warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_EQ(b.dumps, 7);
    EXPECT_EQ(b.dumpIntervalMs, 20);
    EXPECT_EQ(b.dumpWidth, 300);
    EXPECT_EQ(b.dumpHeight, 40);
    EXPECT_FALSE(b.connect);
    EXPECT_EQ(b.connectTimeoutSeconds, 2);
    EXPECT_TRUE(b.wrongGreeting);
    EXPECT_EQ(b.crashAfterDumps, 2);
    EXPECT_TRUE(b.hangUntilEnd);
    EXPECT_EQ(b.endWaitSeconds, 5);
    EXPECT_EQ(b.endLingerMs, 900);
    EXPECT_EQ(b.exitCode, 17);
    EXPECT_EQ(b.recordFile, "/tmp/some where/rec.txt");
    EXPECT_EQ(b.bytesAfterGreeting, 300);
    EXPECT_TRUE(b.dumpsInPlace);
    EXPECT_TRUE(b.reuseDumpName);
    EXPECT_EQ(b.messageBoxTitle, "Missing plug-in");
    EXPECT_EQ(b.messageBoxText, "Needs: a = b");
}

TEST(Behaviour, BadLinesWarnAndKeepTheDefaults) {
    std::vector<std::string> warnings;
    const Behaviour b = parseBehaviour("dumps = many\n"
                                       "dump_size = 4x4\n"
                                       "greeting = maybe\n"
                                       "frobnicate = 1\n"
                                       "just some words\n"
                                       "dump_interval_ms = -5\n",
                                       warnings);
    EXPECT_EQ(warnings.size(), 6u);
    EXPECT_EQ(b.dumps, 3);
    EXPECT_EQ(b.dumpWidth, 128);
    EXPECT_FALSE(b.wrongGreeting);
    EXPECT_EQ(b.dumpIntervalMs, 500);
    EXPECT_NE(warnings[3].find("line 4"), std::string::npos);
}

TEST(RenderCommand, TakesTheCommandLineTheNodeBuilds) {
    // As the command interpreter hands it over: quotes removed, two slashes kept.
    RenderCommand c;
    std::string error;
    ASSERT_TRUE(parseRenderCommand({"C:\\Node/drData//received_scene.max", "-o:C:\\Node/drData//dr_out.png",
                                    "-start:12", "-end:12", "-continueOnError", "-gammaCorrection:1", "-rfw:1", "-sf"},
                                   c, error))
        << error;
    EXPECT_EQ(c.scene, "C:\\Node/drData//received_scene.max");
    EXPECT_EQ(c.output, "C:\\Node/drData//dr_out.png");
    EXPECT_EQ(c.start, 12);
    EXPECT_EQ(c.end, 12);
    EXPECT_EQ(c.ignored.size(), 4u);
    EXPECT_TRUE(c.unknown.empty());
}

TEST(RenderCommand, NegativeFramesCaseAndUnknownOptions) {
    RenderCommand c;
    std::string error;
    ASSERT_TRUE(parseRenderCommand({"-START:-3", "scene.max", "-v:5", "-O:out.exr"}, c, error)) << error;
    EXPECT_EQ(c.start, -3);
    EXPECT_EQ(c.end, -3);  // -end: missing: one frame
    EXPECT_EQ(c.output, "out.exr");
    ASSERT_EQ(c.unknown.size(), 1u);
    EXPECT_EQ(c.unknown[0], "-v:5");
}

TEST(RenderCommand, RefusesWhatCannotBeRendered) {
    RenderCommand c;
    std::string error;
    EXPECT_FALSE(parseRenderCommand({"-o:x.png", "-start:1"}, c, error));
    EXPECT_NE(error.find("no scene"), std::string::npos);
    EXPECT_FALSE(parseRenderCommand({"a.max", "b.max"}, c, error));
    EXPECT_FALSE(parseRenderCommand({"a.max", "-start:twelve"}, c, error));
    EXPECT_FALSE(parseRenderCommand({"a.max", "-end:99999999999"}, c, error));
    EXPECT_FALSE(parseRenderCommand({"a.max", "-start:"}, c, error));
}

}  // namespace
