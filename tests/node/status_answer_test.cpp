// The status answer's text: JSON strings of any text, and the trimming that
// keeps an answer within its request's length.

#include "node/Protocol.h"
#include "node/StatusAnswer.h"
#include "support/StatusAsker.h"

#include <functional>
#include <gtest/gtest.h>

using namespace Varnix;
using VarnixTest::jsonValue;
using VarnixTest::statusJson;

TEST(StatusAnswer, JsonStringsAreValidUtf8WithEveryControlCharacterEscapedAndCutAtACharactersEnd) {
    struct Case {
        std::u16string text;
        std::size_t maxBytes;
        std::string json;
    } cases[] = {
        {u"plain", std::string::npos, "\"plain\""},
        {u"a\"b\\c/", std::string::npos, "\"a\\\"b\\\\c/\""},
        {std::u16string(u"\n\t\x01\0\x1f\x7f", 6), std::string::npos, "\"\\u000a\\u0009\\u0001\\u0000\\u001f\x7f\""},
        {u"\u00e9\u20ac", std::string::npos, "\"\xc3\xa9\xe2\x82\xac\""},
        {u"\xd83d\xde00", std::string::npos, "\"\xf0\x9f\x98\x80\""},  // a pair: one character
        {u"\xd83dx\xde00", std::string::npos, "\"?x?\""},              // lone halves
        {u"\u00e9\u00e9\u00e9", 6, "\"\xc3\xa9\xc3\xa9\""},
        {u"\u00e9\u00e9\u00e9", 5, "\"\xc3\xa9\""},
        {u"a\"", 4, "\"a\""},  // an escape is never split
        {u"\xd83d\xde00", 5, "\"\""},
    };
    for (const Case& c : cases) EXPECT_EQ(jsonString(c.text, c.maxBytes), c.json);
}

namespace {

// Every text at its longest, a dialog, many exit statuses.
NodeState busiestState() {
    NodeState state;
    state.stage = NodeStage::rendering;
    state.startedMs = 0;
    state.stageSinceMs = 1000;
    JobDetails job;
    job.master = u"192.168.100.200";
    job.maxVersion = 2016;
    job.frame = 123456;
    job.startedMs = 2000;
    job.dumpsSent = 99999;
    job.bytesSent = 99999999999;
    job.rendererPid = 4000000;
    job.rendererCpuSeconds = 123456.78;
    job.rendererMemoryMb = 65536;
    job.lastActivityMs = 3000;
    job.dialog = RendererDialog{4000001, std::u16string(500, u'\x01'), std::u16string(5000, u'\u20ac')};
    state.job = job;
    state.lastJob = {JobOutcome::limit, std::u16string(1000, u'"'), -1073741819, 4000};
    for (int i = 0; i < int(JobCounts::maxExitStatuses); ++i)
        state.counts.rendererExits.emplace_back(-1073741819 + i, 99999999);
    state.counts.served = state.counts.bytesSent = 99999999999;
    state.lastWarning = u"WARNING: " + std::u16string(NodeStateBoard::maxWarningUnits, u'w');
    return state;
}

StatusFacts facts() {
    return {std::u16string(300, u'n'),
            u"6.0.0",
            {{"rendererConnectSeconds", 4000000000u}, {"renderSeconds", 0}},
            {2011, 2012, 2013, 2014, 2015, 2016},
            {"02:42:ac:11:00:02", "52:54:00:12:34:56", "d8:bb:c1:0a:0b:0c", "f0:2f:74:aa:bb:cc"}};
}

}  // namespace

// Full when it fits; else without the last warning, then without the
// lists, marked truncated; else nothing. The busiest node still answers
// the request of one Ethernet frame.
TEST(StatusAnswer, TrimsTheWarningThenTheListsAndNeverExceedsTheRequest) {
    NodeState state = busiestState();
    StatusSample sample{123456, 7};
    std::size_t full = buildStatusAnswer(state, facts(), sample, 10000000, 65507).size();
    NodeState noWarning = state;
    noWarning.lastWarning.clear();
    StatusFacts noLists = facts();
    noLists.limits.clear();
    noLists.maxVersions.clear();
    noLists.macAddresses.clear();
    const std::size_t mark = std::string(",\"truncated\":true").size();
    std::size_t withoutWarning = buildStatusAnswer(noWarning, facts(), sample, 10000000, 65507).size() + mark;
    std::size_t withoutLists = buildStatusAnswer(noWarning, noLists, sample, 10000000, 65507).size() + mark;
    ASSERT_LT(withoutWarning, full);
    ASSERT_LE(withoutLists, statusRequestBytes) << "the busiest answer does not fit one frame";
    struct Case {
        std::size_t maxBytes;
        const char* truncated;
        bool warning;
        bool lists;
    } cases[] = {{full, "", true, true},
                 {full - 1, "true", false, true},
                 {withoutWarning, "true", false, true},
                 {withoutWarning - 1, "true", false, false},
                 {withoutLists, "true", false, false},
                 {statusRequestBytes, "true", false, false},
                 {withoutLists - 1, nullptr, false, false},
                 {8, nullptr, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxBytes);
        std::string answer = buildStatusAnswer(state, facts(), sample, 10000000, c.maxBytes);
        EXPECT_LE(answer.size(), c.maxBytes);
        if (c.truncated == nullptr) {
            EXPECT_EQ(answer, "");
            continue;
        }
        std::string json = statusJson(answer);
        ASSERT_NE(json, "");
        EXPECT_EQ(json.find('\0'), std::string::npos);
        EXPECT_EQ(jsonValue(json, "truncated"), c.truncated);
        EXPECT_EQ(jsonValue(json, "last_warning").empty(), !c.warning);
        EXPECT_EQ(jsonValue(json, "max_versions") != "[]", c.lists);
        EXPECT_EQ(jsonValue(json, "mac_addresses") != "[]", c.lists);
        EXPECT_EQ(jsonValue(json, "limits") != "{}", c.lists);
        EXPECT_EQ(jsonValue(json, "renderer_cpu_seconds"), "123456.8");
        EXPECT_EQ(jsonValue(json, "renderer_silent_seconds"), "9997");
    }
}

// A job's cause comes whole when it is a limit's line; a longer one is cut
// at a word, never inside a figure.
TEST(StatusAnswer, AJobsCauseKeepsItsFiguresWhole) {
    const std::string memory =
        "memory limit: Memory limit reached: 3dsmax's process tree used up to 65536 MB, the memory limit is 65536 MB";
    const std::string words = std::string(90, 'w') + " 123456789 " + std::string(20, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {memory, memory}, {words, words.substr(0, 100)}, {std::string(300, 'w'), std::string(110, 'w')}};
    for (const auto& [why, sent] : cases) {
        NodeState state;
        state.lastJob = {JobOutcome::limit, std::u16string(why.begin(), why.end()), std::nullopt, 0};
        std::string json = statusJson(buildStatusAnswer(state, facts(), {}, 1000, statusRequestBytes));
        EXPECT_EQ(jsonValue(json, "why", "last_job"), sent);
    }
}

// An answer stays true until the moment it gives: the first of the seconds
// it counts to move on, whatever the moments they count from, one of them
// still ahead of the clock.
TEST(StatusAnswer, TellsTheMomentItsSecondsMoveOn) {
    NodeState state = busiestState();
    state.stageSinceMs = 1250;
    state.job->startedMs = 2500;
    state.job->lastActivityMs = 12900;
    state.lastJob.endedMs = 4333;
    const StatusSample sample{1, 0};
    std::string answer, later;
    for (long long now = 10000; now < 14000; now += 7) {
        SCOPED_TRACE(now);
        const long long changesAt = buildStatusAnswer(state, facts(), sample, now, 65507, answer);
        ASSERT_GT(changesAt, now);
        ASSERT_LE(changesAt, now + 1000);
        buildStatusAnswer(state, facts(), sample, changesAt - 1, 65507, later);
        EXPECT_EQ(later, answer);
        buildStatusAnswer(state, facts(), sample, changesAt, 65507, later);
        EXPECT_NE(later, answer);
    }
}

// Every change to the board moves its version on: an answer sent again
// while the version stays the same would otherwise tell an old state.
TEST(StatusAnswer, EveryChangeOfTheBoardMovesItsVersionOn) {
    NodeStateBoard board;
    const std::function<void()> changes[] = {
        [&] { board.beginJob(u"10.0.0.1"); },
        [&] { board.setJobStage(NodeStage::receivingScene); },
        [&] { board.setJobRequest(2016, 5); },
        [&] { board.setRendererPid(42); },
        [&] { board.rendererRendering(); },
        [&] { board.dumpSent(10); },
        [&] { board.setRendererUsage(1.5, 20); },
        [&] {
            board.setDialog(RendererDialog{43, u"title", u"text"});
        },
        [&] { board.clearDialog(); },
        [&] { board.noteLogLine(u"WARNING: low disk"); },
        [&] { board.countRefusal(); },
        [&] { board.endJob(JobOutcome::served, u""); },
        [&] { board.setStopRequested(); },
    };
    for (const auto& change : changes) {
        const std::uint64_t before = board.version();
        change();
        EXPECT_GT(board.version(), before) << &change - changes;
    }
    const std::uint64_t before = board.version();
    board.noteLogLine(u"not a warning");
    NodeState state;
    board.read(state);
    EXPECT_EQ(board.version(), before);
}
