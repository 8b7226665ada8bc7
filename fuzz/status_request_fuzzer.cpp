// A status request as the node reads it: the input is one datagram to the
// discovery port, whose bytes after the first 8 also become the node's name
// (two bytes a UTF-16 unit, lone surrogates and controls included) and its
// last warning. Whatever comes: an answer only to a request, never longer
// than the request, and always the answer signal with one JSON object that
// drmaster's parser takes.

#include "node/DiscoveryReplier.h"
#include "node/StatusAnswer.h"
#include "node/StatusClient.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 70000) return 0;
    const std::size_t room = Varnix::statusAnswerRoom(data, static_cast<int>(size));
    if (room > size) std::abort();
    if (room == 0) return 0;

    std::u16string text;
    for (std::size_t i = 8; i + 1 < size; i += 2) text.push_back(char16_t(data[i] | data[i + 1] << 8));
    Varnix::StatusFacts facts;
    facts.name = text.substr(0, text.size() / 2);
    facts.version = u"1.0";
    facts.maxVersions = {2014, 2016};
    Varnix::NodeState state;
    state.startedMs = 0;
    state.stageSinceMs = 0;
    state.lastWarning = text.substr(text.size() / 2);
    Varnix::StatusSample sample;
    sample.freeDiskMb = size % 2 ? -1 : std::int64_t(size) << 20;
    const std::string answer = Varnix::buildStatusAnswer(state, facts, sample, 1000, room);
    if (answer.size() > room) std::abort();
    Varnix::StatusJson parsed;
    if (!answer.empty() &&
        !Varnix::parseStatusAnswer(reinterpret_cast<const unsigned char*>(answer.data()), answer.size(), parsed))
        std::abort();
    return 0;
}
