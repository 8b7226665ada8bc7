// The parts of "drmaster status" and "drmaster farm" that need no socket: the
// answer's parsing, when a node needs an admin's eye, the board's order and
// the page's escaping, the options.
#include <gtest/gtest.h>

#include "FarmPage.h"
#include "MasterOptions.h"
#include "Status.h"
#include "StatusQuery.h"
#include "node/RendererExit.h"

using namespace Varnix::Peer;

namespace {

std::string datagram(const std::string& body, const std::string& signal = std::string("\x55\x53\xC0\xC0", 4)) {
    return signal + body;
}

bool parses(const std::string& bytes, StatusJson& status) {
    return parseStatusAnswer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), status);
}

TEST(StatusAnswer, OnlyTheAnswerSignalWithAJsonObjectIsAnAnswer) {
    const struct {
        std::string bytes;
        bool answer;
    } cases[] = {
        {datagram(R"({"name":"n","state":"idle"})"), true},
        {datagram(R"({"truncated":true})"), true},
        {datagram(R"({"name":"n")"), false},                                       // cut short
        {datagram(R"(["idle"])"), false},                                          // no object
        {datagram(""), false},                                                     // the signal alone
        {datagram(R"({"name":"n"})", std::string("\x54\x53\xC0\xC0", 4)), false},  // a request
        {datagram(R"({"name":"n"})", std::string("\x27\x18\xC0\xC0", 4)), false},  // a discovery reply
        {std::string("\x55\x53\xC0", 3), false},
        {datagram("{\"name\":\"\xFF\"}"), false},  // no UTF-8
    };
    for (const auto& c : cases) {
        StatusJson status = "untouched";
        EXPECT_EQ(parses(c.bytes, status), c.answer) << c.bytes;
        if (!c.answer) {
            EXPECT_EQ(status, "untouched");
        }
    }
}

TEST(StatusAnswer, WhyANodeNeedsAnAdminsEye) {
    const struct {
        const char* answer;
        std::vector<std::string> reasons;
    } cases[] = {
        {R"({"state":"idle","job":null,"last_job":{"outcome":"served"},"log_lines_lost":0})", {}},
        {R"({"last_job":{"outcome":"failed"}})", {"failed job"}},
        {R"({"last_job":{"outcome":"limit"},"log_lines_lost":3})", {"limit reached", "log lines lost"}},
        {R"({"job":{"dialog":{"pid":1,"title":"t","text":"x"},"renderer_silent_seconds":599}})", {"dialog open"}},
        {R"({"job":{"dialog":null,"renderer_silent_seconds":600}})", {"renderer silent"}},
        // A licence or graphics device error, as Windows (signed or not) and POSIX hand the code on.
        {R"({"last_job":{"outcome":"failed","renderer_exit":-8}})", {"failed job", "licence error"}},
        {R"({"last_job":{"outcome":"failed","renderer_exit":4294967289}})", {"failed job", "graphics device failure"}},
        {R"({"last_job":{"outcome":"failed","renderer_exit":248}})", {"failed job", "licence error"}},
        // Mistyped fields are no reason, and no crash.
        {R"({"last_job":"failed","log_lines_lost":"3","job":[1]})", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(attentionReasons(StatusJson::parse(c.answer)), c.reasons) << c.answer;
}

// Each return code 3ds Max documents is named as this platform hands it on
// (all 32 bits on Windows, the low byte on POSIX); other codes are not.
TEST(StatusAnswer, EachDocumentedReturnCodeIsNamed) {
#ifdef _WIN32
    auto handedOn = [](int code) { return code; };
#else
    auto handedOn = [](int code) { return code & 0xFF; };
#endif
    for (int code : {1, -1, -2, -3, -4, -5, -6, -7, -8, -9, -12}) {
        std::string meaning = Varnix::rendererExitMeaning(handedOn(code));
        EXPECT_EQ(meaning.rfind("3ds Max return code " + std::to_string(code) + ": ", 0), 0u) << meaning;
        EXPECT_TRUE(Varnix::isRendererErrorCode(handedOn(code))) << code;
    }
    for (int plain : {0, 2, 7, -10})
        EXPECT_FALSE(Varnix::isRendererErrorCode(handedOn(plain)) ||
                     !Varnix::rendererExitMeaning(handedOn(plain)).empty())
            << plain;
}

TEST(StatusAnswer, ALineShowsWhatTheNodeSaidAndDashesForTheRest) {
    NodeAnswer node;
    node.address = Varnix::Port::IPv4Address{0x7F000002u, 0};
    node.status = StatusJson::parse(R"({"name":"render07","state":"rendering","state_seconds":125,
        "stop_requested":true,"job":{"frame":12,"max_version":"2016","dumps_sent":3,"seconds":3725},
        "last_job":{"outcome":"served","ended_seconds_ago":90000}})");
    EXPECT_EQ(statusCells(node),
              (std::vector<std::string>{"render07", "127.0.0.2", "rendering (stop asked)",
                                        "frame 12, 3ds Max 2016, 3 dumps, 1h02m", "2m05s", "served 1d01h ago", "-"}));
    node.status = StatusJson::parse(R"({"name":7,"job":null})");
    EXPECT_EQ(statusCells(node), (std::vector<std::string>{"7", "127.0.0.2", "-", "-", "-", "-", "-"}));
}

TEST(FarmBoard, NodesNeedingAnEyeComeFirstAndSilentNodesStayListed) {
    FarmBoard board(1.0);
    const auto start = FarmBoard::Clock::now();
    const auto answer = [](uint32_t host, const char* json) {
        NodeAnswer node;
        node.address = Varnix::Port::IPv4Address{host, 0};
        node.status = StatusJson::parse(json);
        return node;
    };
    board.update({answer(0x0A000001, R"({"name":"a"})"), answer(0x0A000002, R"({"name":"b"})"),
                  answer(0x0A000003, R"({"name":"c","last_job":{"outcome":"limit"}})")},
                 start);
    StatusJson nodes = board.snapshot(start)["nodes"];
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0]["address"], "10.0.0.3");
    EXPECT_EQ(nodes[0]["attention"], StatusJson::array({"limit reached"}));
    EXPECT_EQ(nodes[1]["status"]["name"], "a");

    // "b" falls silent: after a few rounds it is listed first, as not answering.
    const auto later = start + std::chrono::seconds(30);
    board.update({answer(0x0A000001, R"({"name":"a"})")}, later);
    nodes = board.snapshot(later)["nodes"];
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0]["address"], "10.0.0.2");
    EXPECT_EQ(nodes[0]["answering"], false);
    EXPECT_EQ(nodes[0]["attention"], StatusJson::array({"not answering"}));
    EXPECT_EQ(nodes[2]["address"], "10.0.0.1");
}

TEST(FarmBoard, ANodesTextCannotEndThePagesScript) {
    const std::string page = farmPageHtml(R"({"name":"</script><script>alert(1)</script>"})");
    EXPECT_EQ(page.find("</script><script>alert"), std::string::npos);
    EXPECT_NE(page.find(R"(<\/script><script>alert(1)<\/script>)"), std::string::npos);
}

TEST(MasterOptions, StatusAndFarmOptions) {
    StatusOptions status;
    std::string error;
    ASSERT_TRUE(parseStatusOptions({"--broadcast", "--broadcast=10.0.0.255", "--node", "a", "b", "--wait=2", "--json",
                                    "--watch", "--interval", "0.5"},
                                   status, error))
        << error;
    EXPECT_EQ(status.broadcasts, (std::vector<std::string>{"255.255.255.255", "10.0.0.255"}));
    EXPECT_EQ(status.hosts, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(status.json && status.watch);
    EXPECT_DOUBLE_EQ(status.intervalSeconds, 0.5);

    FarmOptions farm;
    ASSERT_TRUE(parseFarmOptions({"--serve", "0.0.0.0:8080", "--refresh=5", "--node", "a"}, farm, error)) << error;
    EXPECT_EQ(farm.serveAddress, "0.0.0.0");
    EXPECT_EQ(farm.servePort, 8080);
    EXPECT_DOUBLE_EQ(farm.refreshSeconds, 5);

    const struct {
        bool farm;
        std::vector<std::string> args;
        const char* words;
    } bad[] = {
        {false, {"--interval", "0.01"}, "--interval"}, {false, {"--broadcast="}, "--broadcast="},
        {false, {"--json=1"}, "takes no value"},       {true, {"--node", "a"}, "missing option --serve"},
        {true, {"--serve", "8080"}, "ADDRESS:PORT"},   {true, {"--serve", "h:70000"}, "ADDRESS:PORT"},
        {true, {"--serve", "h:1", "x"}, "unexpected"}, {true, {"--serve", "h:1", "--refresh", "0"}, "--refresh"},
    };
    for (const auto& c : bad) {
        error.clear();
        EXPECT_FALSE(c.farm ? parseFarmOptions(c.args, farm, error) : parseStatusOptions(c.args, status, error))
            << c.args.front();
        EXPECT_NE(error.find(c.words), std::string::npos) << error;
    }
}

}  // namespace
