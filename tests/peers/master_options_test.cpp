#include <gtest/gtest.h>

#include "CheckConfig.h"
#include "MasterExit.h"
#include "MasterOptions.h"
#include "support/TempDirectory.h"

#include <filesystem>
#include <fstream>

using namespace Varnix::Peer;

namespace {

TEST(MasterOptions, RenderTakesBothOptionForms) {
    RenderOptions o;
    std::string error;
    ASSERT_TRUE(
        parseRenderOptions({"--node", "render07", "--version=2014", "--frame", "-3", "--scene", "a b.max",
                            "--out=/tmp/out dir", "--end-after-dumps", "2", "--end-after-seconds=1.5", "--wait", "0"},
                           o, error))
        << error;
    EXPECT_EQ(o.node, "render07");
    EXPECT_EQ(o.version, 2014);
    EXPECT_EQ(o.frame, -3);
    EXPECT_EQ(o.scene, "a b.max");
    EXPECT_EQ(o.outDirectory, "/tmp/out dir");
    EXPECT_EQ(o.endAfterDumps, 2);
    EXPECT_DOUBLE_EQ(o.endAfterSeconds, 1.5);
    EXPECT_EQ(o.waitSeconds, 0);
}

TEST(MasterOptions, RenderNamesWhatIsWrong) {
    RenderOptions o;
    std::string error;
    const std::vector<std::string> full = {"--node", "n",       "--version", "2014",  "--frame",
                                           "1",      "--scene", "s",         "--out", "d"};
    for (const char* required : {"--node", "--version", "--frame", "--scene", "--out"}) {
        std::vector<std::string> args;
        for (size_t i = 0; i < full.size(); i += 2)
            if (full[i] != required) {
                args.push_back(full[i]);
                args.push_back(full[i + 1]);
            }
        EXPECT_FALSE(parseRenderOptions(args, o, error)) << required;
        EXPECT_NE(error.find(required), std::string::npos) << error;
    }
    std::vector<std::string> bad = full;
    bad.insert(bad.end(), {"--end-after-dumps", "-1"});
    EXPECT_FALSE(parseRenderOptions(bad, o, error));
    EXPECT_NE(error.find("--end-after-dumps"), std::string::npos);
    bad = full;
    bad.insert(bad.end(), {"--end-after-seconds", "soon"});
    EXPECT_FALSE(parseRenderOptions(bad, o, error));
    bad = full;
    bad.push_back("--frame");
    EXPECT_FALSE(parseRenderOptions(bad, o, error));
    EXPECT_NE(error.find("needs a value"), std::string::npos);
    bad = full;
    bad.insert(bad.end(), {"--colour", "red"});
    EXPECT_FALSE(parseRenderOptions(bad, o, error));
    EXPECT_NE(error.find("unknown option --colour"), std::string::npos);
    EXPECT_TRUE(parseRenderOptions(full, o, error)) << error;
}

TEST(MasterOptions, DiscoverHostsAndWait) {
    DiscoverOptions o;
    std::string error;
    ASSERT_TRUE(parseDiscoverOptions({}, o, error));
    EXPECT_TRUE(o.hosts.empty());
    EXPECT_DOUBLE_EQ(o.waitSeconds, 1.0);
    ASSERT_TRUE(parseDiscoverOptions({"a", "--wait=0.5", "-n", "b"}, o, error)) << error;
    EXPECT_EQ(o.hosts, (std::vector<std::string>{"a", "b"}));
    EXPECT_DOUBLE_EQ(o.waitSeconds, 0.5);
    EXPECT_TRUE(o.numeric);
    EXPECT_FALSE(parseDiscoverOptions({"--wait"}, o, error));
    EXPECT_FALSE(parseDiscoverOptions({"--wait", "-1"}, o, error));
    EXPECT_FALSE(parseDiscoverOptions({"--numeric=yes"}, o, error));
    EXPECT_FALSE(parseDiscoverOptions({"--loud"}, o, error));
    EXPECT_TRUE(asksForHelp({"--node", "x", "--help"}));
    EXPECT_TRUE(asksForHelp({"/?"}));
    EXPECT_FALSE(asksForHelp({"--version", "2014"}));

    ASSERT_TRUE(parseDiscoverOptions(
        {"--node", "n1", "--broadcast=10.0.0.255", "--node=n2", "n3", "--json", "--broadcast", "10.1.0.255"}, o, error))
        << error;
    EXPECT_EQ(o.hosts, (std::vector<std::string>{"n1", "n2", "n3"}));
    EXPECT_EQ(o.broadcasts, (std::vector<std::string>{"10.0.0.255", "10.1.0.255"}));
    EXPECT_TRUE(o.json);
    EXPECT_FALSE(parseDiscoverOptions({"--broadcast"}, o, error));
    EXPECT_FALSE(parseDiscoverOptions({"--node="}, o, error));
    EXPECT_FALSE(parseDiscoverOptions({"--json=yes"}, o, error));
}

TEST(MasterOptions, RenderChecksWhatItCanBeforeConnecting) {
    RenderOptions o;
    std::string error;
    const std::vector<std::string> job = {"--node", "n", "--frame", "1", "--scene", "s", "--out", "d"};
    const auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), job.begin(), job.end());
        return extra;
    };
    for (const char* year : {"2011", "2014", "2016", "2024", "2030"}) {
        EXPECT_TRUE(parseRenderOptions(with({"--version", year}), o, error)) << error;
        EXPECT_EQ(o.version, std::stoi(year));
    }
    for (const char* year : {"2010", "2031", "0", "-2014", "14", "2014.0"}) {
        EXPECT_FALSE(parseRenderOptions(with({"--version", year}), o, error)) << year;
        EXPECT_EQ(error, "option --version needs the 3ds Max release of the scene, from 2011 to 2030, not '" +
                             std::string(year) + "'");
    }
    ASSERT_TRUE(parseRenderOptions(with({"--version", "2014", "--expect-dumps=4", "--overwrite", "--json"}), o, error))
        << error;
    EXPECT_EQ(o.expectDumps, 4);
    EXPECT_TRUE(o.overwrite);
    EXPECT_TRUE(o.json);
    ASSERT_TRUE(parseRenderOptions(with({"--version", "2014"}), o, error));
    EXPECT_EQ(o.expectDumps, -1);
    EXPECT_FALSE(o.overwrite);
    EXPECT_FALSE(o.json);
    EXPECT_FALSE(parseRenderOptions(with({"--version", "2014", "--expect-dumps", "0"}), o, error));
    EXPECT_FALSE(parseRenderOptions(with({"--version", "2014", "--overwrite=no"}), o, error));
    EXPECT_TRUE(asksForJson(with({"--json"})));
    EXPECT_FALSE(asksForJson(job));
}

// "drmaster check-config": the node's reader on a file an admin prepared
// (the installer's /CONFIG=); a file a node would take only in part fails.
class CheckConfigTest : public VarnixTest::TempDirectoryTest {};

TEST_F(CheckConfigTest, PassesOnlyWhatANodeTakesWhole) {
    struct Case {
        const char* name;
        const char* text;  // nullptr: a folder of that name
        int status;
        const char* said;
        int newest = 2016;  // the node's newestMaxRelease
    };
    const Case cases[] = {
        {"good.txt", "# farm\r\n2014 C:\\Max 2014\r\n\r\n2016 D:\\Max 2016\\\r\n", masterOk,
         "3ds Max 2016 in D:\\Max 2016\\"},
        {"bad-line.txt", "2014 C:\\Max 2014\r\n2106 C:\\Max 2016\r\n2016 C:\\Max 2016\r\n", masterBadConfig,
         "line 2 is not a year from 2011 to 2016"},
        {"newer.txt", "2016 C:\\Max 2016\r\n2024 C:\\Max 2024\r\n", masterBadConfig,
         "line 2 is not a year from 2011 to 2016"},
        {"newer-taken.txt", "2016 C:\\Max 2016\r\n2024 C:\\Max 2024\r\n", masterOk, "3ds Max 2024 in C:\\Max 2024",
         2027},
        {"empty.txt", "", masterBadConfig, "names no 3ds Max release"},
        {"comments.txt", "# nothing yet\r\n", masterBadConfig, "names no 3ds Max release"},
        {"folder", nullptr, masterBadConfig, "cannot be read"},
    };
    for (const Case& c : cases) {
        if (c.text != nullptr)
            writeBytes(c.name, c.text);
        else
            std::filesystem::create_directory(directory / c.name);
        std::string report;
        EXPECT_EQ(checkConfig(pathOf(c.name).c_str(), c.newest, report), c.status) << c.name << ": " << report;
        EXPECT_NE(report.find(c.said), std::string::npos) << c.name << ": " << report;
    }
    // A name outside the ANSI code page (Cyrillic under 1252), given as
    // drmaster gives every path: in UTF-8.
    const std::string cyrillic = "\xD0\xA4\xD0\xB5\xD1\x80\xD0\xBC\xD0\xB0.txt";
    std::ofstream(directory / std::filesystem::u8path(cyrillic), std::ios::binary) << "2016 D:\\Max 2016\r\n";
    std::string report;
    EXPECT_EQ(checkConfig((directory / std::filesystem::u8path(cyrillic)).u8string().c_str(), 2016, report), masterOk)
        << report;
    report.clear();
    EXPECT_EQ(checkConfig(pathOf("missing.txt").c_str(), 2016, report), masterBadConfig);
    EXPECT_NE(report.find("no such file"), std::string::npos) << report;
    EXPECT_FALSE(std::filesystem::exists(pathOf("missing.txt"))) << "the check wrote a default file";
}

}  // namespace
