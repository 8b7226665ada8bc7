#include "node/StatusHttp.h"

#include <httplib.h>

#include "node/DiscoveryReplier.h"
#include "node/StatusAnswer.h"
#include "port/clock.h"
#include "port/socket.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace Varnix {

namespace {

void line(std::string& out, const char* text) {
    out += text;
    out += '\n';
}

void sample(std::string& out, const std::string& name, const std::string& labels, double value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.17g", value);
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ';
    out += number;
    out += '\n';
}

// A label value: backslash, double quote and line feed escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace

std::string nodeMetrics(const NodeState& state, const MetricsContext& context) {
    std::string out;
    line(out, "# HELP varnix_node_info The node's version.");
    line(out, "# TYPE varnix_node_info gauge");
    sample(out, "varnix_node_info", "version=\"" + labelValue(context.version) + "\"", 1);
    line(out, "# HELP varnix_uptime_seconds Seconds since the node started.");
    line(out, "# TYPE varnix_uptime_seconds gauge");
    sample(out, "varnix_uptime_seconds", "", state.startedMs < 0 ? 0 : (context.nowMs - state.startedMs) / 1000);
    line(out, "# HELP varnix_node_state The node's stage: 1 for the current one.");
    line(out, "# TYPE varnix_node_state gauge");
    for (NodeStage stage : {NodeStage::idle, NodeStage::receivingScene, NodeStage::waitingForHost, NodeStage::rendering,
                            NodeStage::finishing, NodeStage::stopping})
        sample(out, "varnix_node_state", std::string("state=\"") + stageName(stage) + "\"", stage == state.stage);
    line(out, "# HELP varnix_node_stop_requested 1 once a stop was asked for.");
    line(out, "# TYPE varnix_node_stop_requested gauge");
    sample(out, "varnix_node_stop_requested", "", state.stopRequested);
    line(out, "# HELP varnix_job_seconds Seconds the running job has run; 0 without one.");
    line(out, "# TYPE varnix_job_seconds gauge");
    sample(out, "varnix_job_seconds", "",
           state.job && state.job->startedMs >= 0 ? (context.nowMs - state.job->startedMs) / 1000 : 0);
    line(out, "# HELP varnix_jobs_total Jobs ended since the start, by outcome.");
    line(out, "# TYPE varnix_jobs_total counter");
    const JobCounts& counts = state.counts;
    const std::pair<JobOutcome, std::uint64_t> outcomes[] = {{JobOutcome::served, counts.served},
                                                             {JobOutcome::refused, counts.refused},
                                                             {JobOutcome::cut, counts.cut},
                                                             {JobOutcome::failed, counts.failed},
                                                             {JobOutcome::limit, counts.limitsReached}};
    for (const auto& [outcome, count] : outcomes)
        sample(out, "varnix_jobs_total", std::string("outcome=\"") + outcomeName(outcome) + "\"",
               static_cast<double>(count));
    line(out, "# HELP varnix_limits_reached_total Renderer time limits reached since the start.");
    line(out, "# TYPE varnix_limits_reached_total counter");
    sample(out, "varnix_limits_reached_total", "", static_cast<double>(counts.limitsReached));
    line(out, "# HELP varnix_dumps_sent_total Image dumps relayed whole to masters.");
    line(out, "# TYPE varnix_dumps_sent_total counter");
    sample(out, "varnix_dumps_sent_total", "", static_cast<double>(counts.dumpsSent));
    line(out, "# HELP varnix_dump_bytes_sent_total Bytes of the dumps relayed whole to masters.");
    line(out, "# TYPE varnix_dump_bytes_sent_total counter");
    sample(out, "varnix_dump_bytes_sent_total", "", static_cast<double>(counts.bytesSent));
    line(out, "# HELP varnix_renderer_exits_total Renderer exits by exit status.");
    line(out, "# TYPE varnix_renderer_exits_total counter");
    for (const auto& [status, count] : counts.rendererExits)
        sample(out, "varnix_renderer_exits_total", "status=\"" + std::to_string(status) + "\"",
               static_cast<double>(count));
    line(out, "# HELP varnix_log_lines_lost_total Lines DrLog.txt did not take.");
    line(out, "# TYPE varnix_log_lines_lost_total counter");
    sample(out, "varnix_log_lines_lost_total", "", static_cast<double>(context.logLinesLost));
    if (context.freeDiskMb >= 0) {
        line(out, "# HELP varnix_free_disk_bytes Free space on the data folder's disk, in whole megabytes.");
        line(out, "# TYPE varnix_free_disk_bytes gauge");
        sample(out, "varnix_free_disk_bytes", "", static_cast<double>(context.freeDiskMb) * 1024 * 1024);
    }
    return out;
}

std::string statusJson(const StatusSource& source) {
    const NodeState state = source.board->read();
    const std::string answer =
        buildStatusAnswer(state, source.facts, source.sample(), Port::elapsedMilliseconds(), std::string::npos);
    return answer.size() > 4 ? answer.substr(4) : std::string("{}");
}

std::string nodeMetrics(const StatusSource& source, const std::string& version) {
    MetricsContext context;
    const NodeState state = source.board->read();
    context.nowMs = Port::elapsedMilliseconds();
    context.version = version;
    const StatusSample sample = source.sample();
    context.logLinesLost = sample.logLinesLost;
    context.freeDiskMb = sample.freeDiskMb;
    return nodeMetrics(state, context);
}

StatusHttpServer::StatusHttpServer(std::function<std::string()> metrics, std::function<std::string()> status)
    : server(std::make_unique<httplib::Server>()) {
    server->Get("/metrics", [metrics](const httplib::Request&, httplib::Response& response) {
        response.set_content(metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (status)
        server->Get("/status", [status](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-store");
            response.set_content(status(), "application/json");
        });
    // One request per connection: the library waits for a kept-alive
    // connection's next request by polling it about a hundred times a
    // second, which a scrape every few seconds would pay for all the time.
    server->set_keep_alive_max_count(1);
    // Not the library's own options: on Linux they would share the port with a second server.
    server->set_socket_options([](socket_t socket) { Port::setListenerOptions(static_cast<std::intptr_t>(socket)); });
}

StatusHttpServer::~StatusHttpServer() {
    if (!running) return;
    // A stop before the server thread has begun to listen would be lost.
    while (!server->is_running() && !served) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server->stop();
    Port::joinThread(thread);
    Port::closeThread(thread);
}

bool StatusHttpServer::start(const std::string& address, int port) {
    if (running || !server->bind_to_port(address.c_str(), port)) return false;
    thread = Port::createThread(&StatusHttpServer::serve, this, 256 * 1024);
    if (!thread) return false;
    Port::nameThread(thread, "MY_StatusHttp");
    running = true;
    return true;
}

void StatusHttpServer::serve(void* self) {
    auto* owner = static_cast<StatusHttpServer*>(self);
    owner->server->listen_after_bind();
    owner->served = true;
}

}  // namespace Varnix
