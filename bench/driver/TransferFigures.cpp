// Scene download, dump relay and dump pick-up, each against its plain baseline.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

#include <cstdio>

namespace bench {

void Bench::benchTransfers() {
    // Without the node the dumps are files of the size the stand-in writes.
    const bool baselinesOnly = !opt.wants("transfers");
    std::vector<double> node, raw, prim, nodeCpu, rawCpu, primCpu;
    double bytes = double(opt.sceneBytes);
    // Round 0 warms up (the first transfer after a pause meets cold caches,
    // sockets and page allocation): taken like the others, then dropped.
    for (int rep = 0; rep <= opt.reps; ++rep) {
        const bool warmUp = rep == 0;
        say(warmUp ? std::string("scene download: warm-up round, not counted")
                   : "scene download " + std::to_string(rep) + " of " + std::to_string(opt.reps));
        double r = 0, p = 0, n = 0, rc = 0, pc = 0, nc = 0;
        // Each repetition starts with another of the three, so that none
        // always runs first or last; the ratios are taken within a repetition.
        for (int turn = 0; turn < 3; ++turn) {
            double cpu = 0;
            switch ((rep + turn) % 3) {
            case 0:
                r = megabytesPerSecond(
                    bytes, baselineTransfer("raw", {sceneBig}, FileWatch::Start::firstWrite, &cpu)[0].seconds());
                rc = cpu / (bytes / gib);
                break;
            case 1:
                p = megabytesPerSecond(
                    bytes, baselineTransfer("primitives", {sceneBig}, FileWatch::Start::firstWrite, &cpu)[0].seconds());
                pc = cpu / (bytes / gib);
                break;
            default:
                if (baselinesOnly) break;
                n = megabytesPerSecond(bytes, nodeScene(sceneBig, &cpu));
                nc = cpu / (bytes / gib);
            }
        }
        if (!baselinesOnly) bigSceneHwmKb = statusKb(nodePid, "VmHWM");
        say("scene MB/s: raw " + fmt(r, 0) + ", primitives " + fmt(p, 0) +
            (baselinesOnly ? std::string() : ", node " + fmt(n, 0)) + "; CPU s/GiB: raw " + fmt(rc, 2) +
            ", primitives " + fmt(pc, 2) + (baselinesOnly ? std::string() : ", node " + fmt(nc, 2)));
        if (warmUp) continue;
        raw.push_back(r), rawCpu.push_back(rc), prim.push_back(p), primCpu.push_back(pc);
        if (!baselinesOnly) node.push_back(n), nodeCpu.push_back(nc);
    }
    std::string what = grouped(bytes / (1 << 20)) + " MiB";
    std::string of = std::to_string(opt.reps);
    if (!baselinesOnly) {
        addRow(
            {"Scene download " + what + ", drmaster → varnix-node (MB/s, median (range) of " + of + "; ratio per pair)",
             spread(node), spread(raw), ratioSpread(ratiosOf(node, raw)), "≥ 0.9"});
        addRow({"Scene download: CPU seconds per GiB of the receiving process (user + system; mean (range) of " + of +
                    "; ratio of the means (range per pair))",
                cpuSpread(nodeCpu), cpuSpread(rawCpu), meanRatio(nodeCpu, rawCpu), ""});
    }
    addRow({"Scene " + what + " through the node's receive/send primitives alone (MB/s; CPU s/GiB of the receiver)",
            spread(prim) + "; " + fmt(mean(primCpu), 2), spread(raw) + "; " + fmt(mean(rawCpu), 2),
            ratioSpread(ratiosOf(prim, raw)), ""});

    std::vector<double> dumpNode, dumpBase, dumpNodeCpu, dumpThreadCpu, dumpBaseCpu, firstNode, firstBase;
    std::vector<double> receiveNodeCpu, receiveBaseCpu;
    double nodeCpuAll = 0, otherThreadsCpu = 0, jobSecondsAll = 0;
    double dumpBytes = 0;
    std::vector<fs::path> dumps;
    if (baselinesOnly) {
        fs::remove_all(root / "kept");
        fs::create_directories(root / "kept");
        for (int k = 1; k <= opt.dumps; ++k) makeFile(root / "kept" / ("dump" + std::to_string(k) + ".exr"), 67108864);
        dumps = keptDumps(&dumpBytes);
    }
    auto each = [&](const char* who, const DumpRun& run) {
        std::string text;
        for (size_t i = 0; i < run.arrivals.size() && i < run.spans.size(); ++i)
            text +=
                " " +
                fmt(std::chrono::duration<double, std::milli>(run.spans[i].closed - run.arrivals[i].when).count(), 1);
        say(std::string(who) + ": ms per dump, appearance to last byte:" + text + "; CPU " + fmt(run.cpuSeconds, 2) +
            " s; receiver's CPU " + fmt(run.receiverCpu, 2) + " s");
    };
    bool counted = false;
    // Beside the plain relay, the same loop sending with sendfile(): on
    // loopback the receiver then reads the file's pages itself, and that
    // shows how much of a gap is the way of sending rather than the node.
    std::vector<double> zeroCopyBase, zeroCopyCpu, zeroCopyReceiveCpu;
    // What the machine itself can do with the same bytes: the same files
    // sent with sendfile() to a reader that drops them, the sides on the
    // same processors; in each pair, so that its ratio is taken per pair.
    std::vector<double> limit, limitCpu;
    auto loopbackLimit = [&] {
        fs::path output = root / "limit.out";
        std::vector<std::string> argv{opt.bin + "/varnix-bench-transfer", "limit", std::to_string(nodeSide),
                                      std::to_string(masterSide)};
        for (const auto& dump : dumps) argv.push_back(dump.string());
        settle();
        double mbs = 0, cpu = 0;
        if (bench::run(argv, root.string(), output.string(), 600) != 0 ||
            std::sscanf(readText(output).c_str(), "%lf %lf", &mbs, &cpu) != 2)
            die("the loopback limit failed; see " + root.string());
        say("loopback limit: " + fmt(mbs, 0) + " MB/s; sending thread " + fmt(cpu, 2) + " s/GiB");
        if (counted) limit.push_back(mbs), limitCpu.push_back(cpu);
    };
    auto baseline = [&] {
        DumpRun run = baselineRelay(dumps, 1000);
        each("plain relay", run);
        DumpRun zero = baselineRelay(dumps, 1000, true);
        each("plain relay with sendfile", zero);
        if (!baselinesOnly) loopbackLimit();
        if (!counted) return;
        dumpBase.push_back(megabytesPerSecond(run.bytes, run.seconds()));
        dumpBaseCpu.push_back(run.cpuSeconds / (run.bytes / gib));
        receiveBaseCpu.push_back(run.receiverCpu / (run.bytes / gib));
        for (double ms : run.firstByteMs()) firstBase.push_back(ms);
        zeroCopyBase.push_back(megabytesPerSecond(zero.bytes, zero.seconds()));
        zeroCopyCpu.push_back(zero.cpuSeconds / (zero.bytes / gib));
        zeroCopyReceiveCpu.push_back(zero.receiverCpu / (zero.bytes / gib));
    };
    for (int rep = 0; rep <= opt.reps; ++rep) {
        counted = rep > 0;
        say(counted ? "dump relay " + std::to_string(rep) + " of " + std::to_string(opt.reps)
                    : std::string("dump relay: warm-up pair, not counted"));
        // Every other pair starts with the baseline, which then sends the
        // dumps of the node's previous run.
        bool baselineFirst = rep % 2 == 0 && !dumps.empty();
        if (baselineFirst) baseline();
        if (!baselinesOnly) {
            DumpRun run = nodeDumps("2015", opt.dumps);
            each("node", run);
            if (counted) {
                dumpNode.push_back(megabytesPerSecond(run.bytes, run.seconds()));
                dumpNodeCpu.push_back(run.cpuSeconds / (run.bytes / gib));
                receiveNodeCpu.push_back(run.receiverCpu / (run.bytes / gib));
                dumpThreadCpu.push_back(run.relayThreadCpu / (run.bytes / gib));
                nodeCpuAll += run.threadsCpu;
                otherThreadsCpu += run.threadsCpu - run.relayThreadCpu;
                jobSecondsAll += run.jobSeconds;
                for (double ms : run.firstByteMs()) firstNode.push_back(ms);
            }
            dumps = keptDumps(&dumpBytes);
        }
        if (!baselineFirst) baseline();
    }
    std::string dumpWhat = std::to_string(opt.dumps) + " × " + fmt(dumpBytes / opt.dumps / (1 << 20), 1) + " MiB";
    if (!baselinesOnly) {
        addRow({"Dump relay " + dumpWhat +
                    ", stand-in → varnix-node → drmaster, from each dump's appearance to "
                    "its last byte on the master's disk (MB/s, median (range) of " +
                    of + "; ratio per pair)",
                spread(dumpNode), spread(dumpBase), ratioSpread(ratiosOf(dumpNode, dumpBase)), "≥ 1.0"});
        addRow({"Dump relay: CPU seconds per GiB of the relaying process (user + system; mean (range) of " + of +
                    "; ratio of the means (range per pair)); the node's job thread alone",
                cpuSpread(dumpNodeCpu) + "; thread " + fmt(mean(dumpThreadCpu), 2), cpuSpread(dumpBaseCpu),
                meanRatio(dumpNodeCpu, dumpBaseCpu), "≤ 0.5"});
        addRow({"Dump relay: CPU seconds per GiB of the receiving side, drmaster (the whole job) against the plain "
                "receiver (mean (range) of " +
                    of + "; ratio of the means (range per pair))",
                cpuSpread(receiveNodeCpu), cpuSpread(receiveBaseCpu), meanRatio(receiveNodeCpu, receiveBaseCpu), ""});
        addRow({"Dump relay against the plain relay sending with sendfile() (MB/s, median (range); CPU s/GiB of "
                "the relay; of the receiving side; ratios per pair, and of the means)",
                spread(dumpNode) + "; " + fmt(mean(dumpNodeCpu), 2) + "; " + fmt(mean(receiveNodeCpu), 2),
                spread(zeroCopyBase) + "; " + fmt(mean(zeroCopyCpu), 2) + "; " + fmt(mean(zeroCopyReceiveCpu), 2),
                ratioSpread(ratiosOf(dumpNode, zeroCopyBase)) + "; " + meanRatio(dumpNodeCpu, zeroCopyCpu) + "; " +
                    meanRatio(receiveNodeCpu, zeroCopyReceiveCpu),
                ""});
        // The same runs again with the window hidden in the tray, as a farm
        // machine keeps it; then the node is started afresh with its window
        // shown, as the rows after this one expect.
        double trayCpuAll = 0, trayOtherCpu = 0, trayJobSeconds = 0;
        const int trayRuns = std::max(3, opt.reps / 2);
        bool inTray = hideNodeWindow();
        if (inTray) {
            for (int k = 1; k <= trayRuns; ++k) {
                say("dump relay, window in the tray: " + std::to_string(k) + " of " + std::to_string(trayRuns));
                DumpRun run = nodeDumps("2015", opt.dumps);
                each("node, window in the tray", run);
                trayCpuAll += run.threadsCpu;
                trayOtherCpu += run.threadsCpu - run.relayThreadCpu;
                trayJobSeconds += run.jobSeconds;
            }
            stopNode();
            startNode();
            dumps = keptDumps(&dumpBytes);
        }
        auto share = [](double other, double all) { return fmt(all > 0 ? 100 * other / all : 0, 1) + " %"; };
        // The same CPU over the job's length: what the other threads take
        // from the renderer's machine, whatever the dumps' pace.
        auto ofCore = [](double other, double seconds) { return fmt(seconds > 0 ? 100 * other / seconds : 0, 3); };
        addRow({"Dump relay: the node's threads other than the job thread, share of the node's CPU while dumps move; "
                "window shown (all " +
                    of + " runs) / hidden in the tray (" + (inTray ? std::to_string(trayRuns) : "none") +
                    " runs); the same CPU in % of one core over the jobs (one dump every 1.5 s)",
                share(otherThreadsCpu, nodeCpuAll) + " / " + (inTray ? share(trayOtherCpu, trayCpuAll) : "-") + "; " +
                    ofCore(otherThreadsCpu, jobSecondsAll) + " / " +
                    (inTray ? ofCore(trayOtherCpu, trayJobSeconds) : "-"),
                "", "", "< 5 %"});
        if (!limit.empty())
            addRow({"Loopback limit: the same " + dumpWhat +
                        " sent with sendfile() to a socket read into nothing, in each pair, per dump as above (MB/s, "
                        "median (range) of " +
                        of +
                        "; CPU s/GiB: the node, and the sending thread alone); node / limit per pair, and of "
                        "the CPU means",
                    spread(dumpNode) + "; " + fmt(mean(dumpNodeCpu), 2), spread(limit) + "; " + fmt(mean(limitCpu), 2),
                    ratioSpread(ratiosOf(dumpNode, limit)) + "; " + fmt(mean(dumpNodeCpu) / mean(limitCpu), 2), ""});
        addRow({"Dump " + dumpWhat + ": appearance to first bytes at the master, median / p99 / max of " +
                    std::to_string(firstNode.size()) + " (ms)",
                latencies(firstNode, 1), latencies(firstBase, 2), "", "p99 < 50"});
    } else {
        addRow({"Plain dump relay " + dumpWhat + " (MB/s; CPU s/GiB; first bytes median / p99 / max ms)", "",
                spread(dumpBase) + "; " + fmt(mean(dumpBaseCpu), 2) + "; " + latencies(firstBase, 2), "", ""});
    }

    double mib = 1024.0;
    if (smallSceneHwmKb > 0 && bigSceneHwmKb > 0)
        addRow({"Peak resident memory of the node after a 1 MiB scene / after the " + what + " scenes (MiB)",
                fmt(smallSceneHwmKb / mib, 1) + " / " + fmt(bigSceneHwmKb / mib, 1), "idle " + fmt(idleRssKb / mib, 1),
                "+" + fmt((bigSceneHwmKb - smallSceneHwmKb) * 1024.0 / 1e6, 2) + " MB", "difference < 8 MB"});
}

void Bench::benchDumpLatency() {
    say("dump pick-up: " + std::to_string(opt.smallDumps) + " small dumps, 100 ms apart");
    DumpRun node = nodeDumps("2012", opt.smallDumps);
    double bytes = 0;
    DumpRun base = baselineRelay(keptDumps(&bytes), 100);
    addRow({"Small dumps (" + std::to_string(opt.smallDumps) + " × " + grouped(bytes / opt.smallDumps) +
                " bytes, 100 ms apart): appearance to first bytes at the master, median / p99 / max (ms); all arrived",
            latencies(node.firstByteMs(), 1), latencies(base.firstByteMs(), 2), "", "p99 < 50"});
}

}  // namespace bench
