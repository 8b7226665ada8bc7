// Parameters, version choice and the renderer's command line of a job.
#include "node/JobParameters.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string narrow(Varnix::String text) {
    return text.toNarrow();
}

JobParameters parse(const char* text) {
    return parseJobParameters(Varnix::String(text));
}

TEST(JobParameters, TakesTheFirstTwoIntegersAndStopsAtTheFirstUnreadable) {
    EXPECT_EQ(parse("2014 12").requestedVersion, 2014);
    EXPECT_EQ(parse("2014 12").frame, 12);
    EXPECT_EQ(parse("2014 -3").frame, -3);
    EXPECT_EQ(parse("2014").frame, 0);
    EXPECT_EQ(parse("  2016\t7 trailing words 9").frame, 7);
    EXPECT_EQ(parse("abc 2014").requestedVersion, 0);
    EXPECT_EQ(parse("abc 2014").frame, 0);
    EXPECT_EQ(parse("").requestedVersion, 0);
    // An overflowing field counts as unread, not as a clamped number.
    EXPECT_EQ(parse("99999999999 5").requestedVersion, 0);
    EXPECT_EQ(parse("99999999999 5").frame, 0);
    EXPECT_EQ(parse("2014 99999999999").frame, 0);
}

TEST(JobParameters, ChoosesItsOwnVersionOrTheNearestNewerNeverAnOlder) {
    NodeSettings settings;
    settings.hostInstalls[2014 - firstHostYear] = u"C:\\Max 2014\\";
    settings.hostInstalls[2016 - firstHostYear] = u"C:\\Max 2016\\";
    EXPECT_EQ(chooseHostVersion(settings, 2014), 2014);
    EXPECT_EQ(chooseHostVersion(settings, 2012), 2014);
    EXPECT_EQ(chooseHostVersion(settings, 2011), 2014);
    EXPECT_EQ(chooseHostVersion(settings, 2015), 2016);
    EXPECT_EQ(chooseHostVersion(settings, 2010), 0);
    EXPECT_EQ(chooseHostVersion(settings, 2017), 0);
    EXPECT_EQ(chooseHostVersion(settings, 0), 0);
    EXPECT_EQ(chooseHostVersion(settings, -2147483647 - 1), 0);

    NodeSettings only2015;
    only2015.hostInstalls[2015 - firstHostYear] = u"D:\\Max\\";
    EXPECT_EQ(chooseHostVersion(only2015, 2016), 0);
    EXPECT_EQ(chooseHostVersion(NodeSettings(), 2014), 0);
}

TEST(JobParameters, CommandLineIsBuiltPieceByPiece) {
    Varnix::String w = u"C:\\Node/drData/";
    Varnix::String command =
        buildRenderCommand(u"C:\\Program Files\\Autodesk\\3ds Max 2014\\", w + u"/received_scene.max", w, 12);
    EXPECT_EQ(narrow(command),
              "echo Starting 3dsmax DR... && \"C:\\Program Files\\Autodesk\\3ds Max 2014\\3dsmaxcmd.exe\" "
              "\"C:\\Node/drData//received_scene.max\" -o:\"C:\\Node/drData//dr_out.png\" -start:12 -end:12 "
              "-continueOnError -gammaCorrection:1 -rfw:1 -sf  >> \"C:\\Node/drData//MaxLog.txt\"");
    // The directory is taken as stored: no separator is inserted.
    EXPECT_NE(narrow(buildRenderCommand(u"/opt/max", u"s", u"/w/", -3)).find("\"/opt/max3dsmaxcmd.exe\""),
              std::string::npos);
    EXPECT_NE(narrow(buildRenderCommand(u"/opt/max/", u"s", u"/w/", -3)).find("-start:-3 -end:-3 "),
              std::string::npos);
}

}  // namespace
