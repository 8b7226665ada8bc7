#pragma once
// The benchmark: the real node, driven by drmaster and the stand-in, next
// to plain baselines on the same machine in the same run. One member per
// figure (or group of figures), each in its own file; Bench.cpp holds what
// they share (the node, the transfers of each kind). Linux only.

#include "FileWatch.h"

#include <sys/types.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

struct Options {
    std::string bin;
    int reps = 7;
    // Where the work directory goes: a tmpfs when there is one with room, so
    // that no transfer waits for a disk that other programs also write to.
    std::string workParent;
    int idleSeconds = 60;
    int pings = 100;
    int ends = 100;
    int jobs = 100;        // tiny jobs for the node's own time per job
    int smallDumps = 100;  // small dumps for the pick-up latency
    int bogus = 20;
    int startups = 5;
    long long sceneBytes = 1ll << 30;
    int dumps = 8;
    std::string dumpSize = "2048x2730";  // about 64 MiB of float RGB EXR
    bool keep = false;
    bool pin = true;  // --no-pin: let the system place every process
    // Which figures to take (all when empty): logsink, startup, transfers,
    // dumplatency, pile, end, bogus, discovery, jobs, idle; "baselines" takes only
    // the transfer baselines.
    std::vector<std::string> only;
    bool wants(const std::string& name) const {
        return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
    }
};

// One run of dumps from their appearance in a directory to the receiver.
struct DumpRun {
    std::vector<Arrival> arrivals;  // each dump whole in the source directory
    std::vector<WriteSpan> spans;   // the receiver's file: created (size read) to closed
    double bytes = 0;
    double cpuSeconds = 0;      // of the relaying process
    double relayThreadCpu = 0;  // of the node's job thread alone
    // Of all the node's threads from their nanosecond counts (the process
    // figure comes in 10 ms ticks); a thread that ended is not in it.
    double threadsCpu = 0;
    double receiverCpu = 0;  // of the receiving side (drmaster, or the plain receiver)
    double jobSeconds = 0;   // drmaster's job, from its start to the node's "Ready for new connection"
    // Seconds from each dump's appearance to the receiver's last byte, added up.
    double seconds() const {
        double t = 0;
        for (size_t i = 0; i < arrivals.size() && i < spans.size(); ++i)
            t += std::chrono::duration<double>(spans[i].closed - arrivals[i].when).count();
        return t;
    }
    // Milliseconds from each dump's appearance to its first bytes at the receiver.
    std::vector<double> firstByteMs() const {
        std::vector<double> ms;
        for (size_t i = 0; i < arrivals.size() && i < spans.size(); ++i)
            ms.push_back(std::chrono::duration<double, std::milli>(spans[i].firstWrite - arrivals[i].when).count());
        return ms;
    }
};

class Bench {
public:
    explicit Bench(Options options) : opt(std::move(options)) {}
    int run();

private:
    void prepare();
    std::string installStub(const std::string& name, const std::string& behaviour);
    std::map<std::string, std::string> nodeEnv() const;

    // The node: started and probed until the master port greets.
    double startNode();
    void stopNode();
    // Minimises the running node's window through the window manager,
    // which puts it into the tray; false when it cannot.
    bool hideNodeWindow();
    double startGreeterBaseline();
    int logCount(const std::string& text);
    bool waitForLogCount(const std::string& text, int count, double seconds);

    // The seconds of the scene's write on the node's disk; `cpu` gets the
    // node's CPU seconds over the job.
    double nodeScene(const fs::path& scene, double* cpu = nullptr);
    // A drmaster job of the stand-in for `version`, which writes `count`
    // dumps; the stand-in keeps a copy of each in root/kept.
    DumpRun nodeDumps(const std::string& version, int count);
    // The plain relay (varnix-bench-transfer relay) of the same files,
    // written into its folder one by one `pauseMs` apart.
    DumpRun baselineRelay(const std::vector<fs::path>& sources, double pauseMs, bool zeroCopy = false);
    std::vector<fs::path> keptDumps(double* bytes);
    // The raw receiver creates each file right after reading its size, like
    // drmaster; the primitives, like the node, create it before the size comes.
    // `cpu` gets the receiver's CPU seconds.
    std::vector<WriteSpan> baselineTransfer(const std::string& kind, const std::vector<fs::path>& files,
                                            FileWatch::Start start, double* cpu = nullptr);

    void benchLogSink();
    void benchStartupAndMemory();
    void benchTransfers();
    void benchDumpLatency();
    void benchPile();
    void benchJobs();
    void benchEnd();
    void benchBogus();
    void benchDiscovery();
    void benchIdle();

    Options opt;
    fs::path root, work, data, out, files;
    fs::path sceneBig, sceneSmall;
    std::string stubScene, stubDumps, stubEnd, stubSmall, stubTiny;
    pid_t nodePid = -1;
    int nodeRuns = 0;
    int transfers = 0;
    long smallSceneHwmKb = -1, bigSceneHwmKb = -1, idleRssKb = -1;
    std::vector<double> startupNode, startupBase;
    std::string workKind;  // "tmpfs" or "disk"
    // The master's side (drmaster, the baselines' senders and dump receiver)
    // runs on processor 0, the node's side (the node and what it starts, the
    // baselines' scene receivers and relay) on processor 1: left to itself, a
    // 2-core machine placed the two sides on one processor in some transfers
    // and on two in others, which moved single transfers by a factor of two.
    // -1 (anywhere) with --no-pin or on one processor.
    int masterSide = -1, nodeSide = -1;
};

}  // namespace bench
