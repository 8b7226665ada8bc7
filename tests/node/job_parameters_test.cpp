// Parameters, version choice and the renderer's command line of a job.
#include "node/JobParameters.h"

#include "support/TempDirectory.h"
#include "port/files.h"
#include "port/process.h"
#include "port/shellquote.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using Varnix::buildRenderCommand;
using Varnix::chooseHostVersion;
using Varnix::firstExpandedReference;
using Varnix::firstHostYear;
using Varnix::JobParameters;
using Varnix::NodeSettings;
using Varnix::parseJobParameters;

namespace {

std::string narrow(Varnix::String text) { return text.toNarrow(); }

JobParameters parse(const char* text) { return parseJobParameters(Varnix::String(text)); }

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
    EXPECT_NE(narrow(buildRenderCommand(u"/opt/max/", u"s", u"/w/", -3)).find("-start:-3 -end:-3 "), std::string::npos);
}

// cmd.exe replaces %NAME% even inside double quotes when NAME is set; the
// data folder's name must reach the renderer as text, so such a reference
// in it is found. Names the interpreter does not know stay as they are.
TEST(JobParameters, ReferencesTheInterpreterWouldReplaceAreFound) {
    auto setHere = [](const std::u16string& name) { return name == u"USERNAME" || name == u"TEMP"; };
    EXPECT_EQ(firstExpandedReference(u"C:\\Farm\\%USERNAME%\\drData/", setHere), u"%USERNAME%");
    EXPECT_EQ(firstExpandedReference(u"C:\\%TEMP:~0,2%\\drData/", setHere), u"%TEMP:~0,2%");
    // A lone percent, an unknown name, or an empty pair are left alone.
    EXPECT_EQ(firstExpandedReference(u"C:\\100% done\\drData/", setHere), u"");
    EXPECT_EQ(firstExpandedReference(u"C:\\%NOPE%\\%%\\drData/", setHere), u"");
    // Each percent pairs with the next one: "%a%TEMP%" holds %TEMP%.
    EXPECT_EQ(firstExpandedReference(u"C:\\%a%TEMP%\\", setHere), u"%TEMP%");
    EXPECT_EQ(firstExpandedReference(u"C:\\Node\\drData/", setHere), u"");
    // /bin/sh replaces nothing of the kind.
    EXPECT_EQ(firstExpandedReference(u"/w/%PATH%/", &Varnix::Port::interpreterExpandsVariable),
              Varnix::Port::interpreterExpandsVariable(u"PATH") ? u"%PATH%" : u"");
}

// The install directory comes from DrConfig.txt and the data directory from
// the working directory: whatever they hold, the shell must see them as text.
class RenderCommandTest : public VarnixTest::TempDirectoryTest {};

TEST_F(RenderCommandTest, ShellSeesFileSystemPiecesAsText) {
    namespace fs = std::filesystem;
    std::string odd = "$(touch injected1)`touch injected2`\"q\"\\$HOME\\";
    fs::path install = directory / ("max " + odd);
    fs::path data = directory / ("data " + odd);
    fs::create_directories(install);
    fs::create_directories(data);
    {
        std::ofstream stub(install / "3dsmaxcmd.exe");
        stub << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done\n";
    }
    fs::permissions(install / "3dsmaxcmd.exe", fs::perms::owner_all);
    std::string w = data.string() + "/";
    Varnix::String command =
        buildRenderCommand(Varnix::String((install.string() + "/").c_str()),
                           Varnix::String((w + "/received_scene.max").c_str()), Varnix::String(w.c_str()), 4);

    fs::path previous = fs::current_path();
    fs::current_path(directory);
    auto started = Varnix::Port::ChildProcess::start(command.wideCString());
    ASSERT_TRUE(started.isOk()) << started.status().text();
    auto shell = started.take();
    ASSERT_TRUE(shell->wait(-1));
    int status = shell->exitStatus();
    fs::current_path(previous);

    EXPECT_EQ(status, 0) << command.toNarrow();
    EXPECT_FALSE(fs::exists(directory / "injected1"));
    EXPECT_FALSE(fs::exists(directory / "injected2"));
    std::ifstream log(data / "MaxLog.txt");
    std::string first, second;
    std::getline(log, first);
    std::getline(log, second);
    EXPECT_EQ(first, w + "/received_scene.max");
    EXPECT_EQ(second, "-o:" + w + "/dr_out.png");
}

}  // namespace
