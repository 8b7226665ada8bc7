#include <gtest/gtest.h>

#include "MasterOptions.h"

using namespace Varnix::Peer;

namespace {

TEST(MasterOptions, RenderTakesBothOptionForms) {
    RenderOptions o;
    std::string error;
    ASSERT_TRUE(parseRenderOptions({"--node", "render07", "--version=2014", "--frame", "-3", "--scene", "a b.max",
                                    "--out=/tmp/out dir", "--end-after-dumps", "2", "--end-after-seconds=1.5",
                                    "--wait", "0"},
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
    const std::vector<std::string> full = {"--node", "n", "--version", "2014", "--frame", "1", "--scene", "s",
                                           "--out", "d"};
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
}

}  // namespace
