#include "Status.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "Json.h"
#include "MasterExit.h"
#include "Reporter.h"
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
};

Round runRound(const StatusOptions& options, Reporter& report) {
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
    if (broadcasting && round.nodes.empty() && result.status == masterOk)
        note(result.status, report.fail(masterNoAnswer, "no node answered the status request within " +
                                                            secondsText(options.waitSeconds)));
    result.nodes = std::move(round.nodes);
    std::sort(result.nodes.begin(), result.nodes.end(),
              [](const NodeAnswer& a, const NodeAnswer& b) { return a.address.host < b.address.host; });
    return result;
}

void printTable(const Round& round) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"NAME", "ADDRESS", "STATE", "JOB", "IN STATE", "LAST JOB", "ATTENTION"});
    for (const NodeAnswer& node : round.nodes) rows.push_back(statusCells(node));
    for (const std::string& name : round.silent) rows.push_back({"-", name, "no answer", "-", "-", "-", "-"});
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
    return JsonObject()
        .add("command", jsonString("status"))
        .add("wait_seconds", jsonNumber(waitSeconds))
        .add("asked", jsonArray(asked))
        .add("nodes", jsonArray(nodes))
        .add("silent", jsonArray(silent))
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
    if (options.watch) Port::catchInterrupts();
    const bool terminal = Port::isTerminal(Port::StandardStream::Output);
    int status = masterOk;
    for (bool first = true;; first = false) {
        Reporter reporter(options.json);
        const auto started = std::chrono::steady_clock::now();
        Round round = runRound(options, reporter);
        status = round.status;
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
