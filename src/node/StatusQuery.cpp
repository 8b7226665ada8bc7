#include "node/StatusQuery.h"

#include "node/StatusClient.h"
#include "port/utf8.h"

#include <vector>

namespace Varnix {

namespace {

String fromUtf8(const std::string& text) {
    std::vector<char16_t> units(text.size() + 1);
    int count = Port::Utf8::decode(text.data(), int(text.size()), units.data(), int(units.size()),
                                   Port::Utf8::BadInput::replace);
    units.resize(std::size_t(count));
    units.push_back(u'\0');
    return String(units.data());
}

// Whole seconds and frames; -1 when missing or no number.
long long whole(const StatusJson* value) { return value && value->is_number() ? (long long)value->get<double>() : -1; }

String number(long long value) { return String(std::to_string(value).c_str()); }

}  // namespace

bool parseStatusAnswer(const unsigned char* bytes, std::size_t size, NodeStatus& out) {
    StatusJson json;
    if (!parseStatusAnswer(bytes, size, json)) return false;
    NodeStatus status;
    if (const StatusJson* state = jsonMember(json, "state"); state && state->is_string()) status.state = *state;
    status.stateSeconds = whole(jsonMember(json, "state_seconds"));
    const StatusJson* stop = jsonMember(json, "stop_requested");
    status.stopRequested = stop && *stop == true;
    // A job of null has no fields.
    const StatusJson* job = jsonMember(json, "job");
    if (const StatusJson* master = job ? jsonMember(*job, "master") : nullptr; master && master->is_string()) {
        status.hasJob = true;
        status.master = *master;
        status.frame = whole(jsonMember(*job, "frame"));
        const StatusJson* dialog = jsonMember(*job, "dialog");
        status.hasDialog = dialog && (jsonMember(*dialog, "pid") || jsonMember(*dialog, "title"));
    }
    out = status;
    return true;
}

String describeStatus(const NodeStatus& status) {
    String text(u"Node: ");
    std::string state = status.state.empty() ? "running" : status.state;
    for (char& c : state)
        if (c == '_') c = ' ';
    text += fromUtf8(state);
    if (status.stateSeconds >= 0) text += u" for " + number(status.stateSeconds) + u" s";
    if (status.hasJob) {
        text += u", job from " + fromUtf8(status.master);
        if (status.frame >= 0) text += u", frame " + number(status.frame);
    }
    if (status.hasDialog) text += String(u", a renderer dialog waits for a click");
    if (status.stopRequested && status.state != "stopping") text += String(u", stop requested");
    return text;
}

StatusQuery::StatusQuery(std::uint16_t port) : socket(Port::IPv4Address::loopback(0)), port(port) {}

bool StatusQuery::ask() {
    static const std::vector<unsigned char> request = statusRequestDatagram(requestBytes);
    return socket.IsOk() &&
           socket.SendTo(Port::IPv4Address::loopback(port), request.data(), request.size()) == int(request.size());
}

bool StatusQuery::takeAnswer(NodeStatus& out) {
    bool got = false;
    std::vector<unsigned char> buffer(requestBytes);
    Port::IPv4Address from;
    // A failed receive may only be the report of an earlier request that
    // found no node (Windows tells a datagram's sender so): the queue is
    // read on while something waits, a bounded number of times.
    for (int turn = 0; turn < 64 && socket.WaitForRead(0); ++turn) {
        int n = socket.RecvFrom(from, buffer.data(), buffer.size());
        if (n < 0 || from.port != port) continue;
        NodeStatus status;
        if (parseStatusAnswer(buffer.data(), std::size_t(n), status)) {
            out = status;
            got = true;
        }
    }
    return got;
}

}  // namespace Varnix
