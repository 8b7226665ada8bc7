#pragma once
// The node's optional HTTP face for farms with Prometheus/Grafana: /metrics
// (Prometheus text format) and /status (the status answer's JSON). Off
// unless the admin sets "statusHttpAddress"; it reads the published state
// only, so that a scrape never waits on a job, a disk or the log.

#include "node/NodeState.h"
#include "port/notcopyable.h"
#include "port/thread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace Varnix {

struct StatusSource;

// What the metrics add to the published state.
struct MetricsContext {
    long long nowMs = 0;  // Port::elapsedMilliseconds()
    std::string version;
    std::uint64_t logLinesLost = 0;
    std::int64_t freeDiskMb = -1;  // -1: not known (then not given)
};

// The status answer's JSON text, as the UDP answer carries it (without its
// signal), whole: nothing left out for want of room. Any thread.
std::string statusJson(const StatusSource& source);

// The metrics of the node whose status `source` holds.
std::string nodeMetrics(const StatusSource& source, const std::string& version);

// The state as Prometheus text (exposition format 0.0.4): varnix_node_state
// (one series per stage, 1 for the current one), varnix_node_stop_requested,
// varnix_jobs_total{outcome}, varnix_dumps_sent_total,
// varnix_dump_bytes_sent_total, varnix_renderer_exits_total{status},
// varnix_limits_reached_total, varnix_log_lines_lost_total,
// varnix_free_disk_bytes, varnix_uptime_seconds, varnix_job_seconds and
// varnix_node_info{version}. Never fails.
std::string nodeMetrics(const NodeState& state, const MetricsContext& context);

// Serves GET /metrics and GET /status on its own thread until destroyed.
// The functions give the bodies; they are called on the server's threads.
class StatusHttpServer : Port::NotCopyable {
public:
    StatusHttpServer(std::function<std::string()> metrics, std::function<std::string()> status);
    ~StatusHttpServer();  // stops serving and joins its thread

    // Binds ADDRESS:PORT and starts serving. False when the port is taken or
    // the address is not this machine's (nothing is served then). Once.
    bool start(const std::string& address, int port);

private:
    static void serve(void* self);
    std::unique_ptr<httplib::Server> server;
    Port::ThreadHandle thread{};
    bool running = false;
    std::atomic<bool> served{false};  // the server thread's listening has ended
};

}  // namespace Varnix
