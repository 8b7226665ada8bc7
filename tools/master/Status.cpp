#include "Status.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "Json.h"
#include "MasterExit.h"
#include "Reporter.h"
#include "Roster.h"
#include "port/console.h"

namespace Varnix::Peer {

namespace {

using json = StatusJson;

std::string text(const json& object, const char* key) {
    if (!object.is_object()) return "-";
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return "-";
    if (it->is_string()) return it->get<std::string>().empty() ? "-" : it->get<std::string>();
    if (it->is_number_integer()) return std::to_string(it->get<long long>());
    return "-";
}

long long seconds(const json& object, const char* key) {
    if (!object.is_object()) return -1;
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? static_cast<long long>(it->get<double>()) : -1;
}

std::string secondsText(double value) {
    char out[32];
    std::snprintf(out, sizeof out, "%g s", value);
    return out;
}

// Keeps the worst failure: an unknown name, a request not sent, a bad answer, silence.
void note(int& status, int failure) {
    const auto rank = [](int s) {
        return s == masterUnknownHost   ? 4
               : s == masterPingNotSent ? 3
               : s == masterBadAnswer   ? 2
               : s == masterNoAnswer    ? 1
                                        : 0;
    };
    if (rank(failure) > rank(status)) status = failure;
}

struct Round {
    int status = masterOk;
    std::vector<NodeAnswer> nodes;
    std::vector<std::string> silent;  // named hosts that did not answer
    std::vector<std::string> asked;
    std::vector<Roster::Node> missing;  // roster nodes that did not answer
    std::time_t now = 0;
};

// "9m42s ago, idle" or "never seen": what a silent roster node last said.
std::string lastSeen(const Roster::Node& node, std::time_t now) {
    if (node.lastSeen <= 0) return "never seen";
    return "last seen " + shortDuration(static_cast<long long>(now - node.lastSeen)) + " ago" +
           (node.lastState.empty() ? "" : ", " + node.lastState);
}

Round runRound(const StatusOptions& options, Reporter& report, Roster* roster) {
    Round result;
    std::vector<std::string> unresolved;
    std::vector<AskTarget> targets = askTargets(options.hosts, options.broadcasts, discoveryPort, unresolved);
    for (const std::string& name : unresolved)
        note(result.status, report.fail(masterUnknownHost, "cannot resolve host '" + name + "'"));
    StatusRound round = askStatus(targets, options.waitSeconds);
    if (round.socketFailed)
        note(result.status, report.fail(masterPingNotSent, "cannot open a UDP socket for the status request"));
    if (round.broadcastRefused)
        note(result.status, report.fail(masterPingNotSent, "this system does not allow broadcasts"));
    for (const AskTarget& target : targets)
        if (target.notSent)
            note(result.status, report.fail(masterPingNotSent, "cannot send the status request to " + target.name +
                                                                   ": no route to that network, or the address is "
                                                                   "not one this machine may send to"));
    for (const std::string& address : round.badAnswers)
        note(result.status, report.fail(masterBadAnswer, address + " answered with no readable status"));
    bool broadcasting = false;
    for (const AskTarget& target : targets) {
        result.asked.push_back(target.name);
        broadcasting = broadcasting || target.broadcast;
        if (target.broadcast || target.answered || round.socketFailed) continue;
        note(result.status,
             report.fail(masterNoAnswer, "no answer from " + target.name + " (" + target.address.dotted() +
                                             ") within " + secondsText(options.waitSeconds)));
        result.silent.push_back(target.name);
    }
    if (round.dropped > 0 && (broadcasting || result.status == masterNoAnswer))
        note(result.status, report.fail(masterNoAnswer, droppedAnswers(round.dropped)));
    if (broadcasting && round.nodes.empty() && result.status == masterOk)
        note(result.status, report.fail(masterNoAnswer, "no node answered the status request within " +
                                                            secondsText(options.waitSeconds)));
    result.nodes = std::move(round.nodes);
    result.now = std::time(nullptr);
    if (roster) {
        std::vector<std::string> answered;
        for (const NodeAnswer& node : result.nodes) {
            answered.push_back(node.address.dotted());
            roster->seen(answered.back(), text(node.status, "name") == "-" ? "" : text(node.status, "name"),
                         text(node.status, "state") == "-" ? "" : text(node.status, "state"), result.now);
        }
        for (const AskTarget& target : targets) answered.push_back(target.address.dotted());  // reported above
        for (const Roster::Node& node : roster->nodes()) {
            if (std::find(answered.begin(), answered.end(), node.address) != answered.end()) continue;
            result.missing.push_back(node);
            note(result.status, report.fail(masterNoAnswer, "roster node " + node.address +
                                                                (node.name.empty() ? "" : " (" + node.name + ")") +
                                                                " is not answering; " + lastSeen(node, result.now)));
        }
    }
    return result;
}

struct Row {
    std::vector<std::string> cells;
    bool attention;
    std::uint32_t host;
};

// Those that need an admin first (not answering counts), then by name and address.
void sortRows(std::vector<Row>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (a.attention != b.attention) return a.attention;
        if (a.cells[0] != b.cells[0]) return a.cells[0] < b.cells[0];
        return a.host < b.host;
    });
}

std::uint32_t hostOf(const std::string& dotted) {
    Port::IPv4Address address;
    return Port::IPv4Address::resolve(dotted, 0, address) ? address.host : 0;
}

void printTable(const Round& round) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"NAME", "ADDRESS", "STATE", "JOB", "IN STATE", "LAST JOB", "ATTENTION"});
    std::vector<Row> table;
    for (const NodeAnswer& node : round.nodes) {
        table.push_back({statusCells(node), !attentionReasons(node.status).empty(), node.address.host});
    }
    for (const std::string& name : round.silent)
        table.push_back({{"-", name, "no answer", "-", "-", "-", "not answering"}, true, hostOf(name)});
    for (const Roster::Node& node : round.missing)
        table.push_back({{node.name.empty() ? "-" : node.name, node.address, "no answer", "-",
                          node.lastSeen > 0 ? shortDuration(static_cast<long long>(round.now - node.lastSeen)) : "-",
                          "-", "not answering, " + lastSeen(node, round.now)},
                         true,
                         hostOf(node.address)});
    sortRows(table);
    for (Row& row : table) rows.push_back(std::move(row.cells));
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

std::string report(const Round& round, const Reporter& reporter, double waitSeconds) {
    std::vector<std::string> nodes, asked, silent;
    for (const NodeAnswer& node : round.nodes) {
        json object = json::object();
        object["address"] = node.address.dotted();
        object["reply_ms"] = static_cast<double>(static_cast<long long>(node.replyMilliseconds * 10)) / 10;
        object["attention"] = attentionReasons(node.status);
        for (const auto& field : node.status.items())
            if (!object.contains(field.key())) object[field.key()] = field.value();
        nodes.push_back(jsonText(object));
    }
    for (const std::string& name : round.asked) asked.push_back(jsonString(name));
    for (const std::string& name : round.silent) silent.push_back(jsonString(name));
    std::vector<std::string> missing;
    for (const Roster::Node& node : round.missing) {
        json object = json::object();
        object["address"] = node.address;
        object["name"] = node.name.empty() ? json() : json(node.name);
        object["seen_seconds_ago"] =
            node.lastSeen > 0 ? json(static_cast<long long>(round.now - node.lastSeen)) : json();
        object["last_state"] = node.lastState.empty() ? json() : json(node.lastState);
        missing.push_back(jsonText(object));
    }
    return JsonObject()
        .add("command", jsonString("status"))
        .add("wait_seconds", jsonNumber(waitSeconds))
        .add("asked", jsonArray(asked))
        .add("nodes", jsonArray(nodes))
        .add("silent", jsonArray(silent))
        .add("roster_silent", jsonArray(missing))
        .add("outcome", jsonString(outcomeName(round.status)))
        .add("status", jsonNumber(static_cast<int64_t>(round.status)))
        .add("message", reporter.message().empty() ? "null" : jsonString(reporter.message()))
        .text();
}

}  // namespace

std::vector<std::string> statusCells(const NodeAnswer& node) {
    const json& status = node.status;
    std::string job = "-";
    const auto jobIt = status.find("job");
    if (jobIt != status.end() && jobIt->is_object()) {
        job = "frame " + text(*jobIt, "frame") + ", 3ds Max " + text(*jobIt, "max_version") + ", " +
              text(*jobIt, "dumps_sent") + " dumps, " + shortDuration(seconds(*jobIt, "seconds"));
    }
    std::string last = "-";
    const auto lastIt = status.find("last_job");
    if (lastIt != status.end() && lastIt->is_object())
        last = text(*lastIt, "outcome") + " " + shortDuration(seconds(*lastIt, "ended_seconds_ago")) + " ago";
    std::string attention;
    for (const std::string& reason : attentionReasons(status)) attention += (attention.empty() ? "" : ", ") + reason;
    std::string state = text(status, "state");
    const auto stop = status.find("stop_requested");
    if (stop != status.end() && stop->is_boolean() && stop->get<bool>()) state += " (stop asked)";
    return {text(status, "name"),
            node.address.dotted(),
            state,
            job,
            shortDuration(seconds(status, "state_seconds")),
            last,
            attention.empty() ? "-" : attention};
}

int runStatus(const StatusOptions& options) {
    Roster roster;
    if (!options.roster.empty()) {
        Reporter reporter(options.json);
        std::string error;
        if (!roster.load(options.roster, error)) return reporter.fail(masterLocalFile, error);
        for (const std::string& node : options.retire)
            if (!roster.retire(node)) reporter.warn(node + " is not on the roster '" + options.roster + "'");
    }
    if (options.watch) Port::catchInterrupts();
    const bool terminal = Port::isTerminal(Port::StandardStream::Output);
    int status = masterOk;
    std::time_t saved = 0;
    for (bool first = true;; first = false) {
        Reporter reporter(options.json);
        const auto started = std::chrono::steady_clock::now();
        Round round = runRound(options, reporter, options.roster.empty() ? nullptr : &roster);
        status = round.status;
        // Last-seen times go to the file once a minute even when nothing else changed.
        std::string error;
        if (!options.roster.empty() && (roster.changed() || round.now - saved >= 60)) {
            if (roster.save(error))
                saved = round.now;
            else
                status = reporter.fail(masterLocalFile, error);
        }
        if (options.json) {
            reporter.emit(report(round, reporter, options.waitSeconds));
        } else {
            if (options.watch) {
                // A terminal shows the current table alone; a file keeps every round.
                if (terminal)
                    std::printf("\x1b[H\x1b[2J");
                else if (!first)
                    std::printf("\n");
                const std::time_t now = std::time(nullptr);
                char clock[16];
                std::strftime(clock, sizeof clock, "%H:%M:%S", std::localtime(&now));
                std::printf("drmaster status at %s: %zu node(s) answered (Ctrl-C ends)\n", clock, round.nodes.size());
            }
            printTable(round);
        }
        std::fflush(stdout);
        if (!options.watch) break;
        const auto next = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(options.intervalSeconds));
        while (std::chrono::steady_clock::now() < next && Port::interruptCount() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (Port::interruptCount() > 0) break;
    }
    return status;
}

}  // namespace Varnix::Peer
