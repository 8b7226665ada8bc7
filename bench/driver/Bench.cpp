// What the figures share: the work directory, the node, and one transfer of
// each kind (the node's and the baselines'), each timed from outside.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

// The port a receiver announces as its first line ("port N"); empty when it
// has not within about 5 s.
std::string receiverPort(const fs::path& receiverOut) {
    std::string port;
    for (int i = 0; i < 5000 && port.empty(); ++i) {
        std::string text = readText(receiverOut);
        if (text.rfind("port ", 0) == 0 && text.find('\n') != std::string::npos)
            port = text.substr(5, text.find('\n') - 5);
        else
            sleepMs(1);
    }
    return port;
}

}  // namespace

std::map<std::string, std::string> Bench::nodeEnv() const {
    return {{"VARNIX_REGISTRY", (root / "registry.reg").string()}, {"NO_AT_BRIDGE", "1"}};
}

std::string Bench::installStub(const std::string& name, const std::string& behaviour) {
    fs::path dir = root / "max" / name;
    fs::create_directories(dir);
    fs::copy_file(opt.bin + "/maxstub/3dsmaxcmd.exe", dir / "3dsmaxcmd.exe", fs::copy_options::overwrite_existing);
    writeText(dir / "maxstub-behaviour.txt", behaviour);
    return dir.string() + "/";
}

// A directory for the work files: the one asked for, else /dev/shm when it
// is a tmpfs with room for the scenes, the dumps and their copies, else /tmp.
std::string workParentFor(const Options& opt, std::string* kind) {
    auto isTmpfs = [](const std::string& dir, double* freeBytes) {
        struct statfs s {};
        if (statfs(dir.c_str(), &s) != 0) return false;
        *freeBytes = double(s.f_bavail) * double(s.f_bsize);
        return s.f_type == 0x01021994;  // TMPFS_MAGIC
    };
    double freeBytes = 0;
    if (!opt.workParent.empty()) {
        *kind = isTmpfs(opt.workParent, &freeBytes) ? "tmpfs" : "disk";
        return opt.workParent;
    }
    double needed = 3.0 * double(opt.sceneBytes) + 4.0 * gib;
    if (isTmpfs("/dev/shm", &freeBytes) && freeBytes > needed) {
        *kind = "tmpfs";
        return "/dev/shm";
    }
    *kind = isTmpfs("/tmp", &freeBytes) ? "tmpfs" : "disk";
    return "/tmp";
}

void Bench::prepare() {
    std::string parent = workParentFor(opt, &workKind);
    std::string name = parent + "/varnix-bench-XXXXXX";
    if (!mkdtemp(name.data())) die("cannot make a temporary directory in " + parent);
    root = name;
    work = root / "work";
    data = work / "drData";
    out = root / "out";
    files = root / "files";
    for (const auto& dir : {data, out, files}) fs::create_directories(dir);
    if (opt.pin && sysconf(_SC_NPROCESSORS_ONLN) >= 2) {
        masterSide = 0, nodeSide = 1;
        say("the master's side runs on processor 0, the node's side on processor 1");
    }
    writeText(root / "registry.reg", "Windows Registry Editor Version 5.00\n\n");
    stubScene = installStub("scene", "dumps = 0\nend_wait_seconds = 60\nend_linger_ms = 0\n");
    // The stand-in keeps a copy of every dump before the node can see it, so
    // that the plain relay gets the very same files.
    std::string keep = "\nkeep_dumps_in = " + (root / "kept").string();
    stubDumps = installStub("dumps", "dumps = " + std::to_string(opt.dumps) +
                                         "\ndump_interval_ms = 1500\ndump_size = " + opt.dumpSize +
                                         "\nend_wait_seconds = 60\nend_linger_ms = 0" + keep + "\n");
    stubEnd = installStub("end", "dumps = 0\nhang_until_end = yes\nend_linger_ms = 60000\n");
    stubSmall = installStub(
        "small", "dumps = " + std::to_string(opt.smallDumps) +
                     "\ndump_interval_ms = 100\ndump_size = 64x64\nend_wait_seconds = 60\nend_linger_ms = 0" + keep +
                     "\n");
    stubTiny = installStub(
        "tiny", "dumps = 1\ndump_interval_ms = 0\ndump_size = 64x32\nend_wait_seconds = 0\nend_linger_ms = 0\n");
    writeText(data / "DrConfig.txt", "2012 " + stubSmall + "\n2013 " + stubTiny + "\n2014 " + stubScene + "\n2015 " +
                                         stubDumps + "\n2016 " + stubEnd + "\n");
    sceneBig = files / "scene_big.max";
    sceneSmall = files / "scene_1MiB.max";
    say("writing a " + grouped(double(opt.sceneBytes)) + "-byte scene in " + files.string());
    makeFile(sceneBig, opt.sceneBytes);
    makeFile(sceneSmall, 1 << 20);
}

double Bench::startNode() {
    ++nodeRuns;
    auto start = Clock::now();
    nodePid = spawn({opt.bin + "/varnix-node"}, work.string(),
                    (root / ("node-" + std::to_string(nodeRuns) + ".out")).string(), nodeEnv(), nodeSide);
    runningNode = nodePid;
    while (msSince(start, Clock::now()) < 30000) {
        int fd = connectTcp(masterPort, 200);
        if (fd >= 0) {
            unsigned char greeting[4];
            bool greeted = readExact(fd, greeting, 4, 10000) && decodeSignal(greeting) == nodeGreeting;
            auto answered = Clock::now();
            close(fd);
            if (!greeted) die("the master port did not greet like a node");
            return msSince(start, answered);
        }
        bool ended = false;
        waitFor(nodePid, 0, &ended);
        if (ended) die("varnix-node ended during start-up; see " + root.string());
        sleepMs(1);
    }
    die("varnix-node did not answer on the master port within 30 s");
}

void Bench::stopNode() {
    if (nodePid <= 0) return;
    if (!stop(nodePid, 20)) say("varnix-node did not end within 20 s of SIGTERM; killed");
    nodePid = runningNode = -1;
}

bool Bench::hideNodeWindow() {
    std::string search =
        "xdotool search --all --onlyvisible --pid " + std::to_string(nodePid) + " --name '^Varnix Tarvo'";
    std::string output = (root / "xdotool.out").string();
    int code = bench::run({"/bin/sh", "-c", search + " windowminimize"}, root.string(), output, 10);
    sleepMs(500);
    // The node answers a minimise by hiding the window into the tray.
    if (code != 0 || bench::run({"/bin/sh", "-c", search}, root.string(), output, 10) == 0) {
        say("could not put the node's window into the tray (xdotool exited with " + std::to_string(code) + ")");
        return false;
    }
    return true;
}

double Bench::startGreeterBaseline() {
    auto start = Clock::now();
    pid_t greeter = spawn({opt.bin + "/varnix-bench-transfer", "greet", std::to_string(masterPort)}, root.string(),
                          (root / "greeter.out").string(), {}, nodeSide);
    while (msSince(start, Clock::now()) < 10000) {
        int fd = connectTcp(masterPort, 200);
        if (fd >= 0) {
            unsigned char greeting[4];
            bool greeted = readExact(fd, greeting, 4, 5000);
            auto answered = Clock::now();
            close(fd);
            waitFor(greeter, 5);
            if (!greeted) die("the greeter did not greet");
            return msSince(start, answered);
        }
        sleepMs(1);
    }
    stop(greeter, 1);
    die("the greeter did not start");
}

int Bench::logCount(const std::string& text) { return countOf(readText(data / "DrLog.txt"), text); }

bool Bench::waitForLogCount(const std::string& text, int count, double seconds) {
    auto start = Clock::now();
    while (msSince(start, Clock::now()) < seconds * 1000) {
        if (logCount(text) >= count) return true;
        sleepMs(50);
    }
    return false;
}

// One drmaster job with `scene`; the seconds from the scene's first bytes on
// the node's disk to the node closing the file.
double Bench::nodeScene(const fs::path& scene, double* cpu) {
    fs::remove(data / "received_scene.max");
    settle();
    double cpuBefore = cpuTickSeconds(nodePid);
    FileWatch watch(
        data.string(), [](const std::string& n) { return n == "received_scene.max"; }, 1);
    int ready = logCount("Ready for new connection");
    int code = bench::run({opt.bin + "/drmaster", "render", "--node", "127.0.0.1", "--version", "2014", "--frame", "1",
                           "--scene", scene.string(), "--out", out.string(), "--end-after-dumps", "0"},
                          root.string(), (root / "drmaster.out").string(), 600, {}, nullptr, masterSide);
    auto spans = watch.wait(5);
    // This stand-in writes no dump, which drmaster reports as 11 (no image).
    if (code != 11) die("drmaster render (scene) failed with " + std::to_string(code) + "; see " + root.string());
    if (spans.size() != 1) die("the scene's write was not seen");
    waitForLogCount("Ready for new connection", ready + 1, 20);
    if (cpu) *cpu = cpuTickSeconds(nodePid) - cpuBefore;
    fs::remove(data / "received_scene.max");
    return spans[0].seconds();
}

DumpRun Bench::nodeDumps(const std::string& version, int count) {
    for (auto& entry : fs::directory_iterator(out)) fs::remove_all(entry.path());
    // drmaster creates each dump's file right after reading its size.
    FileWatch watch(
        out.string(), [](const std::string& n) { return n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0; },
        count, FileWatch::Start::creation);
    // The stand-in copies each dump into root/kept before writing it.
    fs::path kept = root / "kept";
    fs::remove_all(kept);
    fs::create_directories(kept);
    ArrivalWatch arrivals(data.string(), [](const std::string& n) { return n.rfind("dump", 0) == 0; });
    settle();
    int ready = logCount("Ready for new connection");
    double cpuBefore = cpuTickSeconds(nodePid);
    auto threadsBefore = threadCpuSeconds(nodePid);
    auto jobStart = Clock::now();
    double receiverCpu = 0;
    int code =
        bench::run({opt.bin + "/drmaster", "render", "--node", "127.0.0.1", "--version", version, "--frame", "1",
                    "--scene", sceneSmall.string(), "--out", out.string(), "--end-after-dumps", std::to_string(count)},
                   root.string(), (root / "drmaster.out").string(), 600, {}, &receiverCpu, masterSide);
    DumpRun result;
    result.receiverCpu = receiverCpu;
    result.spans = watch.wait(5);
    result.arrivals = arrivals.stop();
    if (code != 0) die("drmaster render (dumps) failed with " + std::to_string(code) + "; see " + root.string());
    if (int(result.spans.size()) != count || int(result.arrivals.size()) != count)
        die("not every dump was seen (" + std::to_string(result.arrivals.size()) + " written, " +
            std::to_string(result.spans.size()) + " received of " + std::to_string(count) + ")");
    waitForLogCount("Ready for new connection", ready + 1, 20);
    result.jobSeconds = msSince(jobStart, Clock::now()) / 1000;
    result.cpuSeconds = cpuTickSeconds(nodePid) - cpuBefore;
    std::string perThread;
    for (const auto& [thread, seconds] : threadCpuSeconds(nodePid)) {
        // A thread started during the job counts from nothing.
        double used = seconds - (threadsBefore.count(thread) ? threadsBefore[thread] : 0.0);
        result.threadsCpu += used;
        if (used < 0.005) continue;
        perThread += " " + thread + " " + fmt(used, 2);
        if (thread.find("MY_ServerThread") != std::string::npos) result.relayThreadCpu = used;
    }
    say("node CPU seconds by thread over the job:" + perThread);
    keptDumps(&result.bytes);
    return result;
}

std::vector<fs::path> Bench::keptDumps(double* bytes) {
    std::vector<fs::path> dumps;
    *bytes = 0;
    for (const auto& entry : fs::directory_iterator(root / "kept")) {
        dumps.push_back(entry.path());
        *bytes += double(fs::file_size(entry.path()));
    }
    std::sort(dumps.begin(), dumps.end());
    return dumps;
}

DumpRun Bench::baselineRelay(const std::vector<fs::path>& sources, double pauseMs, bool zeroCopy) {
    fs::path from = root / "base-relay-data", to = root / "base-relay-out";
    for (const auto& dir : {from, to}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    int count = int(sources.size());
    FileWatch watch(
        to.string(), [](const std::string& n) { return n.rfind("received_", 0) == 0; }, count,
        FileWatch::Start::creation);
    fs::path receiverOut = root / ("receiver-" + std::to_string(++transfers) + ".out");
    pid_t receiver =
        spawn({opt.bin + "/varnix-bench-transfer", "receive", "raw", to.string(), std::to_string(count), "signals"},
              root.string(), receiverOut.string(), {}, masterSide);
    std::string port = receiverPort(receiverOut);
    if (port.empty()) die("the raw receiver did not start");
    fs::path relayOut = root / "relay.out";
    std::vector<std::string> relayArgv{opt.bin + "/varnix-bench-transfer", "relay", from.string(), port,
                                       std::to_string(count)};
    if (zeroCopy) relayArgv.push_back("sendfile");
    pid_t relay = spawn(relayArgv, root.string(), relayOut.string(), {}, nodeSide);
    for (int i = 0; i < 5000 && readText(relayOut).find("relaying") == std::string::npos; ++i) sleepMs(1);
    settle();
    DumpRun result;
    {
        ArrivalWatch arrivals(from.string(), [](const std::string& n) { return n.rfind("dump", 0) == 0; });
        // Written as the stand-in writes: under another name, then renamed,
        // on the node's side, where the node's stand-in writes.
        keepThreadOn(nodeSide);
        for (int k = 0; k < count; ++k) {
            if (k > 0) sleepMs(pauseMs);
            fs::path temporary = from / ("writing" + std::to_string(k) + ".tmp");
            // From memory, as the stand-in writes: the new file's pages are
            // in the cache, as the node's are.
            writeText(temporary, readText(sources[k]));
            fs::rename(temporary, from / ("dump" + std::to_string(k + 1) + ".exr"));
            result.bytes += double(fs::file_size(sources[k]));
        }
        keepThreadOn(-1);
        result.spans = watch.wait(60);
        result.arrivals = arrivals.stop();
    }
    int relayed = waitFor(relay, 60, nullptr, &result.cpuSeconds);
    int received = waitFor(receiver, 60, nullptr, &result.receiverCpu);
    if (relayed != 0 || received != 0 || int(result.spans.size()) != count || int(result.arrivals.size()) != count)
        die("the plain relay failed (relay " + std::to_string(relayed) + ", receiver " + std::to_string(received) +
            "); see " + root.string());
    fs::remove(receiverOut);
    return result;
}

std::vector<WriteSpan> Bench::baselineTransfer(const std::string& kind, const std::vector<fs::path>& sources,
                                               FileWatch::Start start, double* cpu) {
    fs::path dir = root / ("base-" + kind);
    fs::remove_all(dir);
    fs::create_directories(dir);
    FileWatch watch(
        dir.string(), [](const std::string& n) { return n.rfind("received_", 0) == 0; }, int(sources.size()), start);
    // A fresh name: the child truncates its output file only once it runs.
    fs::path receiverOut = root / ("receiver-" + std::to_string(++transfers) + ".out");
    pid_t receiver =
        spawn({opt.bin + "/varnix-bench-transfer", "receive", kind, dir.string(), std::to_string(sources.size())},
              root.string(), receiverOut.string(), {}, nodeSide);
    std::string port = receiverPort(receiverOut);
    if (port.empty()) die("the " + kind + " receiver did not start");
    // Files after the first come after a pause, as the stand-in's dumps do:
    // each moves on its own, not in a stream that keeps both cores busy.
    std::vector<std::string> argv{opt.bin + "/varnix-bench-transfer", "send", kind, port, "--pause-ms", "500"};
    for (const auto& source : sources) argv.push_back(source.string());
    settle();
    int sent = bench::run(argv, root.string(), (root / "sender.out").string(), 600, {}, nullptr, masterSide);
    int received = waitFor(receiver, 60, nullptr, cpu);
    auto spans = watch.wait(5);
    if (sent != 0 || received != 0 || spans.size() != sources.size())
        die("the " + kind + " transfer failed (sender " + std::to_string(sent) + ", receiver " +
            std::to_string(received) + ", " + std::to_string(spans.size()) + " files seen); see " + root.string());
    fs::remove_all(dir);
    fs::remove(receiverOut);
    return spans;
}

}  // namespace bench
