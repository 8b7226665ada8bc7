#include "FarmPage.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "Json.h"
#include "MasterExit.h"
#include "Reporter.h"
#include "Roster.h"
#include "port/console.h"
#include "port/socket.h"

namespace Varnix::Peer {

namespace {

using json = StatusJson;

// The page: plain HTML and a script in the oldest JavaScript that every
// browser an admin may have runs (no framework, no build step). Every text
// from a node goes in as text, never as markup.
const char* const pageHead = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Varnix farm</title>
<style>
body { font-family: Segoe UI, Helvetica, Arial, sans-serif; font-size: 14px; margin: 12px; color: #222; }
h1 { font-size: 18px; margin: 0 0 6px 0; }
#summary { margin: 0 0 8px 0; color: #444; }
#summary.lost { color: #a00; font-weight: bold; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 3px 8px; border-bottom: 1px solid #ddd; vertical-align: top; }
td.number { white-space: nowrap; }
th { background: #eee; position: sticky; top: 0; }
tr.attention td { background: #fde8e8; }
tr.attention td.why { color: #a00; font-weight: bold; }
tr.silent td { color: #888; }
tr.silent td.why { color: #a00; }
td.number { text-align: right; }
</style>
</head>
<body>
<h1>Varnix farm</h1>
<p id="summary"></p>
<table>
<thead><tr><th>Name</th><th>Address</th><th>State</th><th>Needs attention</th><th>Job</th><th>Frame</th><th>Running</th><th>Last job</th><th>Version</th><th>Free disk</th></tr></thead>
<tbody id="nodes"></tbody>
</table>
<script>
var farmFirst = )";

const char* const pageTail = R"(;
(function () {
  function duration(s) {
    if (typeof s !== 'number' || s < 0) return '';
    s = Math.floor(s);
    function two(n) { return (n < 10 ? '0' : '') + n; }
    if (s < 60) return s + 's';
    if (s < 3600) return Math.floor(s / 60) + 'm' + two(s % 60) + 's';
    if (s < 86400) return Math.floor(s / 3600) + 'h' + two(Math.floor(s / 60) % 60) + 'm';
    return Math.floor(s / 86400) + 'd' + two(Math.floor(s / 3600) % 24) + 'h';
  }
  function text(v) { return v === null || v === undefined ? '' : String(v); }
  function addCell(row, value, className) {
    var cell = document.createElement('td');
    cell.textContent = value;
    if (className) cell.className = className;
    row.appendChild(cell);
  }
  function render(board) {
    var body = document.getElementById('nodes');
    var rows = document.createDocumentFragment();
    var attention = 0;
    for (var i = 0; i < board.nodes.length; i++) {
      var node = board.nodes[i], s = node.status || {}, job = s.job, last = s.last_job;
      var row = document.createElement('tr');
      row.setAttribute('data-address', node.address);
      if (node.attention.length) attention++;
      // A silent node's last answer is old news: greyed, said to be so, its job left out.
      if (!node.answering) { row.className = 'silent'; job = last = null; }
      else if (node.attention.length) row.className = 'attention';
      var seen = node.seen_seconds_ago === null ? 'never seen' : 'last seen ' + duration(node.seen_seconds_ago) + ' ago' + (s.state ? ', ' + text(s.state) : '');
      addCell(row, text(s.name));
      addCell(row, node.address);
      addCell(row, node.answering ? text(s.state) + (s.stop_requested ? ' (stop asked)' : '') + ' ' + duration(s.state_seconds)
                 : board.rounds ? (node.seen_seconds_ago === null ? 'not answering; ' : 'not answering for ' + duration(node.seen_seconds_ago) + '; ') + seen
                 : 'asking; ' + seen);
      addCell(row, node.attention.join(', '), 'why');
      addCell(row, job ? '3ds Max ' + text(job.max_version) + ', ' + text(job.dumps_sent) + ' dumps, from ' + text(job.master) : '');
      addCell(row, job ? text(job.frame) : '', 'number');
      addCell(row, job ? duration(job.seconds) : '', 'number');
      addCell(row, last ? text(last.outcome) + (last.why ? ': ' + last.why : '') + ' (' + duration(last.ended_seconds_ago) + ' ago)' : '');
      addCell(row, text(s.version));
      addCell(row, typeof s.free_disk_mb === 'number' ? (s.free_disk_mb / 1024).toFixed(1) + ' GB' : '', 'number');
      rows.appendChild(row);
    }
    while (body.firstChild) body.removeChild(body.firstChild);
    body.appendChild(rows);
    var summary = document.getElementById('summary');
    summary.className = '';
    summary.textContent = board.nodes.length + ' node' + (board.nodes.length === 1 ? '' : 's') + ', ' + attention +
      ' need' + (attention === 1 ? 's' : '') + ' attention; updated ' + new Date().toLocaleTimeString() +
      ', every ' + board.refresh_seconds + ' s';
  }
  var period = Math.max(500, farmFirst.refresh_seconds * 1000);
  function lost() {
    var summary = document.getElementById('summary');
    summary.className = 'lost';
    summary.textContent = 'drmaster farm does not answer; retrying every ' + period / 1000 + ' s';
  }
  function poll() {
    var request = new XMLHttpRequest();
    request.open('GET', 'nodes.json', true);
    request.timeout = period * 4;
    request.onload = function () {
      var board = null;
      try { board = request.status === 200 ? JSON.parse(request.responseText) : null; } catch (e) { board = null; }
      if (board) render(board); else lost();
      setTimeout(poll, period);
    };
    request.onerror = request.ontimeout = function () { lost(); setTimeout(poll, period); };
    request.send();
  }
  render(farmFirst);
  setTimeout(poll, period);
})();
</script>
</body>
</html>
)";

bool needsEye(const json& node) { return !node["attention"].empty(); }

std::string sortName(const json& node) {
    const auto& status = node["status"];
    const auto it = status.find("name");
    return it != status.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string textMember(const json& status, const char* key) {
    const json* value = jsonMember(status, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

// Adds what a round saw to the roster; writes the file when that changed, and
// once a minute for the last-seen times.
void keepRoster(Roster& roster, const std::vector<NodeAnswer>& answers, Reporter& report, std::time_t& saved) {
    const std::time_t now = std::time(nullptr);
    for (const NodeAnswer& answer : answers)
        roster.seen(answer.address.dotted(), textMember(answer.status, "name"), textMember(answer.status, "state"),
                    now);
    if (!roster.changed() && now - saved < 60) return;
    std::string error;
    if (roster.save(error))
        saved = now;
    else
        report.warn(error);
}

}  // namespace

void FarmBoard::expect(std::uint32_t host, const std::string& name, std::time_t lastSeen,
                       const std::string& lastState) {
    std::lock_guard<std::mutex> lock(mutex);
    if (nodes.count(host)) return;
    Entry entry;
    entry.status = json::object();
    if (!name.empty()) entry.status["name"] = name;
    if (!lastState.empty()) entry.status["state"] = lastState;
    entry.seenAt = lastSeen;
    nodes[host] = std::move(entry);
}

void FarmBoard::update(const std::vector<NodeAnswer>& answers, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    ++rounds;
    for (const NodeAnswer& answer : answers) nodes[answer.address.host] = Entry{answer.status, now, true, 0};
}

StatusJson FarmBoard::snapshot(Clock::time_point now) const {
    std::vector<json> list;
    json board = json::object();
    {
        std::lock_guard<std::mutex> lock(mutex);
        board["refresh_seconds"] = refreshSeconds;
        board["rounds"] = rounds;
        // A node is silent once it missed a few rounds in a row (one lost datagram is no news).
        const double silentAfter = std::max(3 * refreshSeconds + 2, 10.0);
        const std::time_t wallNow = std::time(nullptr);
        for (const auto& [host, entry] : nodes) {
            json node = json::object();
            const double ago = entry.answered ? std::chrono::duration<double>(now - entry.seen).count()
                                              : static_cast<double>(wallNow - entry.seenAt);
            // Known from the roster alone: silent once a whole round went by without it.
            const bool silent = entry.answered ? ago >= silentAfter : rounds > 0;
            node["address"] = Port::IPv4Address{host, 0}.dotted();
            node["answering"] = !silent;
            node["seen_seconds_ago"] = entry.answered || entry.seenAt > 0 ? json(static_cast<long long>(ago)) : json();
            std::vector<std::string> reasons = silent ? std::vector<std::string>() : attentionReasons(entry.status);
            if (silent) reasons.insert(reasons.begin(), "not answering");
            node["attention"] = reasons;
            node["status"] = entry.status;
            list.push_back(std::move(node));
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const json& a, const json& b) {
        if (needsEye(a) != needsEye(b)) return needsEye(a);
        return sortName(a) < sortName(b);
    });
    board["nodes"] = std::move(list);
    return board;
}

std::string farmPageHtml(const std::string& firstSnapshot) {
    // "</" cannot end the script early once written "<\/", which JSON reads the same.
    std::string safe;
    safe.reserve(firstSnapshot.size());
    for (size_t i = 0; i < firstSnapshot.size(); ++i) {
        safe += firstSnapshot[i];
        if (firstSnapshot[i] == '<' && i + 1 < firstSnapshot.size() && firstSnapshot[i + 1] == '/') safe += '\\';
    }
    return pageHead + safe + pageTail;
}

int runFarm(const FarmOptions& options) {
    Reporter report(false);
    std::vector<std::string> unresolved;
    std::vector<AskTarget> targets = askTargets(options.hosts, options.broadcasts, discoveryPort, unresolved);
    if (!unresolved.empty()) return report.fail(masterUnknownHost, "cannot resolve host '" + unresolved.front() + "'");

    FarmBoard board(options.refreshSeconds);
    Roster roster;
    if (!options.roster.empty()) {
        std::string error;
        if (!roster.load(options.roster, error)) return report.fail(masterLocalFile, error);
        for (const Roster::Node& node : roster.nodes()) {
            Port::IPv4Address address;
            if (Port::IPv4Address::resolve(node.address, 0, address))
                board.expect(address.host, node.name, node.lastSeen, node.lastState);
        }
    }
    for (const AskTarget& target : targets)
        if (!target.broadcast) board.expect(target.address.host, "", 0, "");
    httplib::Server server;
    const auto noStore = [](httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
    };
    server.Get("/", [&](const httplib::Request&, httplib::Response& response) {
        noStore(response);
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                            "connect-src 'self'");
        response.set_content(farmPageHtml(jsonText(board.snapshot(FarmBoard::Clock::now()))),
                             "text/html; charset=utf-8");
    });
    server.Get("/nodes.json", [&](const httplib::Request&, httplib::Response& response) {
        noStore(response);
        response.set_content(jsonText(board.snapshot(FarmBoard::Clock::now())), "application/json");
    });
    // Not httplib's own options: on Linux they share the port with a second server.
    server.set_socket_options([](socket_t socket) { Port::setListenerOptions(static_cast<std::intptr_t>(socket)); });
    if (!server.bind_to_port(options.serveAddress.c_str(), options.servePort))
        return report.fail(masterNoServe, "cannot serve the farm page on " + options.serveAddress + ":" +
                                              std::to_string(options.servePort) +
                                              ": the port is taken, or the address is not this machine's");

    Port::catchInterrupts();
    std::mutex mutex;
    std::condition_variable wake;
    bool ending = false;
    std::thread asker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        bool warned = false;
        std::time_t rosterSaved = 0;
        while (!ending) {
            const auto started = FarmBoard::Clock::now();
            lock.unlock();
            std::vector<AskTarget> round = targets;
            StatusRound answers = askStatus(round, options.waitSeconds);
            board.update(answers.nodes, FarmBoard::Clock::now());
            if (!options.roster.empty()) keepRoster(roster, answers.nodes, report, rosterSaved);
            const bool notSent = std::any_of(round.begin(), round.end(), [](const AskTarget& t) { return t.notSent; });
            if (!warned && (answers.socketFailed || answers.broadcastRefused || notSent)) {
                report.warn("the status request could not be sent to every address; the page may miss nodes");
                warned = true;
            }
            lock.lock();
            wake.wait_until(lock,
                            started + std::chrono::duration_cast<FarmBoard::Clock::duration>(
                                          std::chrono::duration<double>(options.refreshSeconds)),
                            [&] { return ending; });
        }
    });
    std::atomic<bool> listened{false};
    std::thread stopper([&] {
        while (Port::interruptCount() == 0 && !listened) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.stop();
    });
    std::printf("drmaster: farm page on http://%s:%d/ (Ctrl-C ends)\n", options.serveAddress.c_str(),
                options.servePort);
    std::fflush(stdout);
    const bool served = server.listen_after_bind();
    listened = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ending = true;
    }
    wake.notify_all();
    asker.join();
    stopper.join();
    return served || Port::interruptCount() > 0 ? masterOk
                                                : report.fail(masterNoServe, "the farm page's server failed");
}

}  // namespace Varnix::Peer
